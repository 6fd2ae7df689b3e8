# shellcheck shell=bash
# shellcheck disable=SC2034 # odd_entry and stray_entry are for the caller to read
# What scripts/sign and scripts/verify both look at in a release: the
# entries of its folder, its CRLs and osslsigncode's report. A function that
# refuses calls the sourcing script's own fail.

# DIR: sets odd_entry to the name of DIR's first entry that is not a regular
# file of its own (a link, a folder, another kind, or a file with a second
# name elsewhere); false when every entry is one.
find_odd_entry() {
    local entry
    shopt -s nullglob dotglob
    for entry in "$1"/*; do
        [ -f "$entry" ] && [ ! -L "$entry" ] && [ "$(stat -c %h -- "$entry")" = 1 ] && continue
        odd_entry=${entry##*/}
        shopt -u nullglob dotglob
        return 0
    done
    shopt -u nullglob dotglob
    return 1
}

# DIR NAME...: sets stray_entry to the name of DIR's first entry that is none
# of the NAMEs; false when there is none. (Name by name: a file's name may
# hold blanks.)
find_stray_entry() {
    local dir=$1 entry name
    shift
    shopt -s nullglob dotglob
    for entry in "$dir"/*; do
        entry=${entry##*/}
        for name; do
            [ "$entry" != "$name" ] || continue 2
        done
        stray_entry=$entry
        shopt -u nullglob dotglob
        return 0
    done
    shopt -u nullglob dotglob
    return 1
}

# OUT FILE...: the CRLs of the FILEs, PEM or DER, appended to OUT in PEM,
# each one read by openssl crl; refuses a FILE that holds none it can read.
gather_crls() {
    local out=$1 crl part
    shift
    for crl; do
        # openssl crl reads the first CRL of a file: a PEM file may hold several.
        if grep -q -- '-----BEGIN X509 CRL-----' "$crl" 2>/dev/null; then
            csplit --quiet --prefix "$out.part-" --elide-empty-files "$crl" '/-----BEGIN X509 CRL-----/' '{*}'
            for part in "$out".part-*; do
                ! grep -q -- '-----BEGIN X509 CRL-----' "$part" || openssl crl -in "$part" 2>/dev/null >>"$out" ||
                    fail "cannot read a CRL from $crl"
            done
            rm -f "$out".part-*
        else
            openssl crl -inform DER -in "$crl" 2>/dev/null >>"$out" || fail "cannot read a CRL from $crl"
        fi
    done
}

# LOG: why osslsigncode verify, whose report LOG holds, did not call the
# signature ok. Its last words are "Signature verification: failed"; the
# reason comes before them.
authenticode_failure() {
    grep -m 1 -E 'Unsupported|[Ee]rror|unable|revoked|expired|not yet valid|[Mm]ismatch' "$1" ||
        grep -m 1 -i 'fail' "$1" || echo "osslsigncode printed no reason"
}

# osslsigncode's name and version, as a report names its verifier.
osslsigncode_version() { osslsigncode --version 2>&1 | head -n 1 | sed 's/,.*//'; }
