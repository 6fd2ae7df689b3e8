#!/usr/bin/env bash
# scripts/setup's pinned downloads, checked at every set-up, in a cache of
# the test's own (with a blank in its path) beside the real one's Wine
# prefixes and npm cache. Stand-ins for `apt-get source` and `npm pack` on
# the PATH hand out the kept tarballs, or changed ones.
#  - A byte changed in the kept CycloneDX schema tarball (checked at every
#    set-up), or in the Boost tarball when setup unpacks it: one line names
#    both hashes, the changed file is set aside and the pinned one fetched
#    anew (and Boost unpacked from that one).
#  - The archive handing out a changed one too: set-up fails, with that line,
#    and keeps no tarball under the pinned name.
#  - A file of the installed validator changed: it is installed anew from
#    the lockfile.
#  - The Boost tree unpacked and its tarball gone: the tarball is fetched.
#   tests/pinned_downloads_test.sh   (after scripts/setup)
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=cmake/boost-source.sh
source cmake/boost-source.sh
# shellcheck source=cmake/cyclonedx-schema.sh
source cmake/cyclonedx-schema.sh
real_cache=$boost_cache
real_schema=$schema_tarball

work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT
cache="$work/a cache/quenby-launcher"
mkdir -p "$cache/download" "$work/bin" "$work/kept"
ln -s "$real_cache"/wineprefix-win64 "$real_cache"/wineprefix-win32 "$real_cache"/npm "$cache/"
cp "$boost_kept_tarball" "$real_schema" "$work/kept/"
cp "$work/kept/"* "$cache/download/"
# A stand-in for the unpacked Boost tree, so that setup unpacks nothing
# until a case removes it.
mkdir "$cache/boost-$boost_version"
touch "$cache/boost-$boost_version/CMakeLists.txt"
# The stand-ins copy the kept tarball into the current folder, as the real
# commands download one; with CHANGED set, a changed one.
for command in apt-get npm; do
    cat >"$work/bin/$command" <<EOF
#!/bin/sh
case "\$1 \${2:-}" in
    "source --download-only") file="$work/kept/$boost_tarball" ;;
    "pack "*) file="$work/kept/${real_schema##*/}" ;;
    *) exec $(command -v "$command") "\$@" ;;
esac
cp "\$file" .
[ -z "\${CHANGED:-}" ] || echo changed >>"\${file##*/}"
EOF
    chmod +x "$work/bin/$command"
done

# shellcheck source=tests/check.sh
source tests/check.sh
setup() {
    status=0
    XDG_CACHE_HOME="$work/a cache" PATH=$work/bin:$PATH scripts/setup >"$work/out" 2>&1 || status=$?
}
change_a_byte() {
    printf X | dd of="$1" bs=1 seek=1000 conv=notrunc 2>/dev/null
}
sha256() { sha256sum <"$1" | cut -d' ' -f1; }
# One line naming the file, the hash it has and the pinned one.
# shellcheck disable=SC2317  # called through check
names_both_hashes() {
    grep -qxF "$1 is not the pinned $2: SHA-256 $3, expected $4" "$work/out"
}
# shellcheck disable=SC2317  # called through check
pinned() { [ "$(sha256 "$1")" = "$2" ]; }
output() { sed 's/^/    /' "$work/out" | tail -n 5; }

echo "== a file of the installed validator changed"
setup
check "set-up failed ($status): $(output)" [ "$status" -eq 0 ]
schema_file=$cache/cyclonedx-validator/node_modules/@cyclonedx/cyclonedx-library/res/schema/bom-1.6.SNAPSHOT.schema.json
original=$(sha256 "$schema_file")
echo '{}' >"$schema_file"
setup
check "set-up failed ($status): $(output)" [ "$status" -eq 0 ]
check "not said: $(output)" grep -q "cyclonedx-validator has changed since it was installed" "$work/out"
check "not installed anew" pinned "$schema_file" "$original"

schema=$cache/download/${real_schema##*/}
boost=$cache/download/$boost_tarball
for pin in "schema:$schema:$schema_package:$schema_tarball_sha256" \
    "Boost:$boost:Boost source:$boost_tarball_sha256"; do
    IFS=: read -r what file package sha256 <<<"$pin"
    echo "== a byte changed in the $what tarball"
    change_a_byte "$file"
    changed=$(sha256 "$file")
    [ "$what" != Boost ] || rm -r "$cache/boost-$boost_version"
    setup
    check "set-up failed ($status): $(output)" [ "$status" -eq 0 ]
    check "no line naming both hashes: $(output)" names_both_hashes "$file" "$package" "$changed" "$sha256"
    check "not fetched anew" pinned "$file" "$sha256"
    check "the changed one not set aside" pinned "$file.rejected" "$changed"
    [ "$what" != Boost ] || check "Boost not unpacked" [ -f "$cache/boost-$boost_version/LICENSE_1_0.txt" ]
    echo "== and the archive hands out a changed one"
    change_a_byte "$file"
    [ "$what" != Boost ] || rm -r "$cache/boost-$boost_version"
    CHANGED=1 setup
    check "set-up passed" [ "$status" -ne 0 ]
    changed=$(sha256 "$file.rejected")
    check "no line naming both hashes: $(output)" names_both_hashes "$file" "$package" "$changed" "$sha256"
    check "a tarball that is not the pinned one kept" [ ! -e "$file" ]
    # Back to the kept one for what follows.
    cp "$work/kept/${file##*/}" "$file"
done
echo "== the Boost tree unpacked, its tarball gone"
# A release unpacks Boost afresh from the tarball, so the tree alone is not
# enough.
mkdir -p "$cache/boost-$boost_version"
touch "$cache/boost-$boost_version/CMakeLists.txt"
rm "$boost"
setup
check "set-up failed ($status): $(output)" [ "$status" -eq 0 ]
check "not fetched anew" pinned "$boost" "$boost_tarball_sha256"
[ "$failed" -eq 0 ] && echo "pinned downloads: passed"
exit $failed
