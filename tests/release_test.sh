#!/usr/bin/env bash
# The release path, end to end, with a throwaway certificate authority,
# code-signing certificates and time-stamping authority made here (nothing
# secret is in the repository): failures stop early with one line and no
# file in dist/; the signed release and the unsigned rebuild of it from its
# BUILDINFO (scripts/reproducible --buildinfo), built in two clones in
# different folders, are one file once the signature is removed; the signed
# file verifies against the authority, still does after the
# certificate has expired thanks to its time stamp (a signature without one
# does not), stops verifying when one byte of its code changes, and keeps
# the resources and properties the executable checks ask for. Releases build
# from the pinned Boost tarball: a changed one is refused, and the cached
# Boost tree, broken here on purpose, is never used. A release copied apart
# is signed only as the build made it (the hash it printed, its own files
# and nothing beside them), all or nothing, with no key left on disk, and
# scripts/verify accepts it only from its signer.
#   tests/release_test.sh
set -Eeuo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
tsa_pid=
trap '[ -z "$tsa_pid" ] || kill "$tsa_pid"; ! mountpoint -q "$work/small" || umount "$work/small"; rm -rf "$work"' EXIT
# Nothing ends this test without a word: a step that fails under set -e
# names itself, and what it printed (quiet steps write to $log) follows.
log=$work/log
touch "$log"
trap 'echo "FAILED: line $LINENO: $BASH_COMMAND" >&2; tail -n 15 "$log" >&2' ERR
failed=0
check() { if ! eval "$1"; then echo "FAILED: $2"; failed=1; fi; }

# A clean clone of HEAD to release from, as a maintainer would.
git clone --quiet --no-hardlinks . "$work/repo"
repo=$work/repo

# The authority and its CRL, a signer valid for two days, one that expired
# yesterday, two that name the CRL (one revoked, one whose key is on a
# SoftHSM2 token), and a time-stamping authority. Their dates are given outright to
# openssl ca: OpenSSL 3.5 refuses the negative -days of openssl x509.
pki=$work/pki
mkdir "$pki"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/ca.key" -out "$pki/ca.crt" -days 3650 \
    -subj "/CN=Throwaway Test CA" -addext basicConstraints=critical,CA:true \
    -addext keyUsage=critical,keyCertSign,cRLSign 2>>"$log"
printf '[ca]\ndefault_ca=authority\n[authority]\ndatabase=%s\nserial=%s\nnew_certs_dir=%s\n' \
    "$pki/index" "$pki/serial" "$pki" >"$pki/ca.cnf"
printf 'certificate=%s\nprivate_key=%s\ncrlnumber=%s\ndefault_crl_days=30\n' "$pki/ca.crt" "$pki/ca.key" \
    "$pki/crlnumber" >>"$pki/ca.cnf"
printf 'default_md=sha256\npolicy=policy\nunique_subject=no\n[policy]\ncommonName=supplied\norganizationName=optional\n' \
    >>"$pki/ca.cnf"
touch "$pki/index"
echo 1000 | tee "$pki/serial" >"$pki/crlnumber"
printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n' >"$pki/signer.ext"
printf 'extendedKeyUsage=critical,timeStamping\nkeyUsage=critical,digitalSignature\n' >"$pki/tsa.ext"
# Nothing answers there: osslsigncode 2.9 tries it unless given the CRL.
{ cat "$pki/signer.ext"; echo "crlDistributionPoints=URI:http://127.0.0.1:9/ca.crl"; } >"$pki/crl.ext"
echo "correct horse battery staple" >"$pki/password"
echo "wrong" >"$pki/wrong-password"
day() { date -u -d "@$(($(date +%s) + $1 * 86400))" +%Y%m%d%H%M%SZ; }
for signer in valid:-1:2:signer expired:-3:-1:signer tsa:-1:3650:tsa revoked:-1:2:crl token:-1:2:crl; do
    IFS=: read -r name from until ext <<<"$signer"
    # (The token's names an organisation: the launcher's supplier by default.)
    openssl req -newkey rsa:2048 -nodes -keyout "$pki/$name.key" -out "$pki/$name.csr" \
        -subj "$([ "$name" != token ] || echo /O=Throwaway Studio)/CN=Throwaway $name signer" 2>>"$log"
    openssl ca -batch -config "$pki/ca.cnf" -in "$pki/$name.csr" -startdate "$(day "$from")" \
        -enddate "$(day "$until")" -extfile "$pki/$ext.ext" -notext -out "$pki/$name.crt" 2>>"$log"
    openssl pkcs12 -export -inkey "$pki/$name.key" -in "$pki/$name.crt" -certfile "$pki/ca.crt" \
        -passout "file:$pki/password" -out "$pki/$name.p12"
done
openssl pkcs12 -export -legacy -inkey "$pki/expired.key" -in "$pki/expired.crt" -passout "file:$pki/password" \
    -out "$pki/legacy.p12"
# An intermediate authority, which the root's CRL revokes, and a signer
# under it whose own CRL (the intermediate's) lists nothing.
mkdir "$pki/inter"
sed "s|$pki/|$pki/inter/|g" "$pki/ca.cnf" >"$pki/inter/ca.cnf"
touch "$pki/inter/index"
echo 1000 | tee "$pki/inter/serial" >"$pki/inter/crlnumber"
openssl req -newkey rsa:2048 -nodes -keyout "$pki/inter/ca.key" -out "$pki/inter.csr" \
    -subj "/CN=Throwaway intermediate" 2>>"$log"
printf 'basicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n' >"$pki/inter.ext"
openssl ca -batch -config "$pki/ca.cnf" -in "$pki/inter.csr" -days 30 -extfile "$pki/inter.ext" -notext \
    -out "$pki/inter/ca.crt" 2>>"$log"
openssl ca -batch -config "$pki/inter/ca.cnf" -in "$pki/valid.csr" -days 2 -extfile "$pki/signer.ext" -notext \
    -out "$pki/under-revoked.crt" 2>>"$log"
openssl pkcs12 -export -inkey "$pki/valid.key" -in "$pki/under-revoked.crt" -certfile "$pki/inter/ca.crt" \
    -passout "file:$pki/password" -out "$pki/under-revoked.p12"
{
    openssl ca -config "$pki/inter/ca.cnf" -gencrl -out "$pki/inter.crl"
    openssl ca -config "$pki/ca.cnf" -revoke "$pki/inter/ca.crt"
    openssl ca -config "$pki/ca.cnf" -revoke "$pki/revoked.crt"
    openssl ca -config "$pki/ca.cnf" -gencrl -out "$pki/crl.pem"
} 2>>"$log"
cat "$pki/token.crt" "$pki/ca.crt" >"$pki/token-chain.pem"
cat "$pki/ca.crt" "$pki/token.crt" >"$pki/ca-first.pem"
# Another authority, which signed neither the signers nor the time stamps.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/other.key" -out "$pki/other.crt" -days 30 \
    -subj "/CN=Another CA" -addext basicConstraints=critical,CA:true 2>>"$log"
export SOFTHSM2_CONF=$work/softhsm2.conf
echo "directories.tokendir = $work/tokens" >"$SOFTHSM2_CONF"
mkdir "$work/tokens"
echo 2468 >"$pki/pin"
echo 1357 >"$pki/wrong-pin"
openssl pkcs8 -topk8 -nocrypt -in "$pki/token.key" -out "$pki/token.pk8"
softhsm2-util --init-token --free --label release --pin 2468 --so-pin 97531 >>"$log"
softhsm2-util --import "$pki/token.pk8" --token release --label signer --id 01 --pin 2468 >>"$log"
module=$(dpkg -L libsofthsm2 | grep -m 1 '/libsofthsm2\.so$')
token=(--pkcs11-module "$module" --pkcs11-key "pkcs11:token=release;object=signer")

# The time-stamping authority on 127.0.0.1: RFC 3161 over HTTP, answered
# by openssl ts.
printf '[tsa]\ndefault_tsa=t\n[t]\nserial=%s\nsigner_cert=%s\nsigner_key=%s\n' "$pki/tsa.serial" \
    "$pki/tsa.crt" "$pki/tsa.key" >"$pki/tsa.cnf"
printf 'signer_digest=sha256\ndefault_policy=1.2.3.4\ndigests=sha1,sha256\n' >>"$pki/tsa.cnf"
echo 01 >"$pki/tsa.serial"
/usr/bin/python3 - "$pki/tsa.cnf" >"$work/tsa.port" 2>>"$log" <<'PYTHON' &
import http.server, subprocess, sys
class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile", "/dev/stdin",
                                "-out", "/dev/stdout"], input=query, capture_output=True, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(reply)
server = http.server.HTTPServer(("127.0.0.1", 0), Authority)
print(server.server_port, flush=True)
server.serve_forever()
PYTHON
tsa_pid=$!
until [ -s "$work/tsa.port" ]; do kill -0 "$tsa_pid"; sleep 0.1; done
tsa=http://127.0.0.1:$(cat "$work/tsa.port")

# Releases see a cache of their own: the real Wine prefixes and pinned Boost
# tarball, beside a cached Boost tree that breaks any build made from it.
# shellcheck disable=SC1091 # Boost's pins and cache paths (shellcheck -x follows it)
source cmake/boost-source.sh
# shellcheck disable=SC2154 # the boost_ variables come from cmake/boost-source.sh
cache_with() {
    mkdir -p "$1/quenby-launcher/download" "$1/quenby-launcher/boost-$boost_version"
    ln -s "$boost_cache"/wineprefix-win* "$1/quenby-launcher/"
    echo 'message(FATAL_ERROR "the cached Boost tree was used")' \
        >"$1/quenby-launcher/boost-$boost_version/CMakeLists.txt"
    ln -s "$boost_kept_tarball" "$1/quenby-launcher/download/$boost_tarball"
    ln -s "$boost_cache"/download/cyclonedx-cyclonedx-library-*.tgz "$1/quenby-launcher/download/"
    ln -s "$boost_cache"/cyclonedx-validator "$1/quenby-launcher/"
}
cache_with "$work/cache"
cache_with "$work/altered-cache"
rm "$work/altered-cache/quenby-launcher/download/$boost_tarball"
{ cat "$boost_kept_tarball"; echo; } >"$work/altered-cache/quenby-launcher/download/$boost_tarball"
export XDG_CACHE_HOME=$work/cache

# Each failure: its arguments, and what its one line must say, before the
# build (its folder is never made). Run from $work: relative paths are the
# caller's; without a terminal, as a pipeline runs it.
failures=(
    "${token[*]} --certs pki/token-chain.pem --pin-file pki/wrong-pin --no-timestamp|PIN incorrect"
    "${token[*]} --certs pki/valid.crt --pin-file pki/pin --no-timestamp|does not belong to the first certificate"
    "--pkcs12 pki/revoked.p12 --password-file pki/password --no-timestamp --ca-file pki/ca.crt \
        --crl-file pki/crl.pem|the certificate of CN = Throwaway revoked signer is revoked"
    "--pkcs12 pki/legacy.p12 --password-file pki/password --timestamp $tsa|has expired"
    "--pkcs12 $pki/valid.p12 --password-file $pki/wrong-password --no-timestamp|wrong password"
    "--pkcs12 $pki/missing.p12 --password-file $pki/password --no-timestamp|cannot read the certificate file"
    "--pkcs12 $pki/expired.p12 --password-file $pki/password --timestamp $tsa|has expired"
    "--pkcs12 $pki/valid.p12 --no-timestamp|needs --password-file"
    "--pkcs12 $pki/valid.p12 --password-file $pki/password|needs --timestamp URL or --no-timestamp"
    "--pkcs12 pki/under-revoked.p12 --password-file pki/password --no-timestamp --ca-file pki/ca.crt \
        --crl-file pki/crl.pem --crl-file pki/inter.crl|the certificate of CN = Throwaway intermediate is revoked"
    "--pkcs12 pki/tsa.p12 --password-file pki/password --no-timestamp --ca-file pki/ca.crt|is not for code signing"
    "${token[*]} --certs pki/ca-first.pem --pin-file pki/pin --no-timestamp|is an authority's (CN = Throwaway Test CA)"
    "--pkcs12 pki/valid.p12 --password-file pki/password --timestamp http://127.0.0.1:9/ \
        --ca-file pki/ca.crt|no time-stamp server grants a time stamp: http://127.0.0.1:9/ (.*connect"
    "${token[*]} --certs pki/token-chain.pem --no-timestamp|no PIN for pkcs11:token=release;object=signer"
    "--pkcs11-module pki/password --pkcs11-key pkcs11:token=release;object=signer --certs pki/token-chain.pem \
        --pin-file pki/pin --no-timestamp|cannot load the PKCS#11 module $work/pki/password: .*short"
    "${token[*]/token=release/token=absent} --certs pki/token-chain.pem --pin-file pki/pin \
        --no-timestamp|shows no token that pkcs11:token=absent;object=signer names"
    "--pkcs12 pki/valid.p12 --password-file pki/password --ca-file pki/ca.crt --timestamp $tsa --no-timestamp|exclude each other"
    "--pkcs12 pki/valid.p12 --password-file pki/password --ca-file pki/ca.crt --timestamp file:///etc/passwd|takes an http:// or https:// URL"
    "${token[*]/object=signer/object=signer;pin-value=1357} --certs pki/token-chain.pem \
        --no-timestamp|PIN in a file only you can read and give --pin-file FILE"
    "altered-cache|not the pinned Boost source: SHA-256 [0-9a-f]\{64\}, expected $boost_tarball_sha256"
)
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
for row in "${failures[@]}"; do
    args=${row%|*} expected=${row#*|} cache=$XDG_CACHE_HOME
    [ "$args" != altered-cache ] || args='' cache=$work/altered-cache
    started=$(date +%s%N)
    # (The row's arguments, split into words.)
    # shellcheck disable=SC2086
    if (cd "$work" && XDG_CACHE_HOME=$cache setsid -w "$repo/scripts/release" $args --build-dir never-built \
        >"$work/out" 2>"$work/err" </dev/null); then
        echo "FAILED: release $args succeeded"; failed=1
    fi
    echo "refused in $((($(date +%s%N) - started) / 1000000)) ms: $(cat "$work/err")"
    check '[ "$(wc -l <"$work/err")" -eq 1 ] && grep -q "$expected" "$work/err"' \
        "release $args: expected one line saying '$expected', got: $(cat "$work/err")"
    check '[ -z "$(ls -A "$repo/dist" 2>/dev/null)" ]' "release $args left files in dist/"
    check '! grep -qE "1357|2468|horse" "$work/err"' "release $args printed a PIN or password"
    check '[ ! -e "$work/never-built" ]' "release $args built before it refused"
    rm -rf "$work/never-built"
done
touch "$repo/uncommitted"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '! "$repo/scripts/release" 2>"$work/err" && grep -q "uncommitted changes" "$work/err"' \
    "a work tree with uncommitted changes was released"
rm "$repo/uncommitted"

echo "-- an unsigned release signed apart (scripts/sign, PKCS#12), and meanwhile one signed through PKCS#11"
# The token's release, from outside its checkout with every path relative,
# into a dist/ that an older release left a file in; its checks follow the
# other's. Side by side, since each waits on one core much of the time.
token_repo=$work/token-repo
git clone --quiet --no-hardlinks . "$token_repo"
mkdir "$token_repo/dist"
touch "$token_repo/dist/left-by-an-older-release" "$token_repo/dist/..left-too"
# What a release stopped by kill -9 leaves: its work folder, that nobody holds.
mkdir -p "$token_repo/build/release-work/stopped/dist"
touch "$token_repo/build/release-work/stopped/lock" "$token_repo/build/release-work/stopped/dist/launcher.exe"
(cd "$work" && token-repo/scripts/release "${token[@]}" --certs pki/token-chain.pem --pin-file pki/pin \
    --timestamp http://127.0.0.1:9/ --timestamp "$tsa" --ca-file pki/ca.crt --crl-file pki/crl.pem \
    --build-dir token-build) >"$work/token" 2>&1 &
token_pid=$!
build=$work/a-second-clone/elsewhere
"$repo/scripts/release" --build-dir "$build" | tee "$work/release.out"
# Its dist/, copied to the signing machine, and the hash of its SHA256SUMS
# that the release printed last, handed over apart.
cp -r "$repo/dist" "$work/signing"
sums_sha256=$(sed -n 's|^SHA-256 of dist/SHA256SUMS, for scripts/sign --expect-sha256: ||p' "$work/release.out")
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '[ "$sums_sha256" = "$(sha256sum <"$repo/dist/SHA256SUMS" | cut -d" " -f1)" ]' \
    "the unsigned release did not end with the SHA-256 of its SHA256SUMS"
# Each refusal: what is done to a copy of the release first, the arguments,
# and what its one line must say; the copy and everything beside it stay as
# they were. A row's preparation may name another folder (dir), drop the
# hash (anchor) or run the signing under another command (run).
echo outside >"$work/outside"
state() { ls -lAR --time-style=+ "$1" "$work/outside"; cat "$1"/* "$work/outside" | sha256sum; }
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
sign_failures=(
    "|--timestamp $tsa --tsa-ca-file $pki/other.crt|carries no time stamp that verifies against $pki/other.crt"
    'anchor=()|--no-timestamp|signing needs --expect-sha256 HEX: the SHA-256 of SHA256SUMS that scripts/release printed'
    # A release changed throughout, consistently: one byte of code, BUILDINFO, SHA256SUMS.
    'printf "\x01" | dd of="$dir/launcher.exe" bs=1 seek=4096 conv=notrunc status=none &&
        sed -i "s/^launcher-sha256: .*/launcher-sha256: $(sha256sum <"$dir/launcher.exe" | cut -d" " -f1)/" "$dir/BUILDINFO" &&
        (cd "$dir" && sha256sum launcher.exe NOTICES.txt launcher.cdx.json BUILDINFO >SHA256SUMS)|--no-timestamp|is not the release the build machine made'
    'ln -s "$work/outside" "$dir/.launcher.exe.signed"|--no-timestamp|holds .\.launcher\.exe\.signed., which is not a regular file'
    'touch "$dir/version.dll"|--no-timestamp|holds .version\.dll., which is not one of'
    # The path as given, its trailing line break included.
    'dir+=$'"'"'\n'"'"'|--no-timestamp|no folder'
    # Stopped as it puts anything in place, by name, in the folder.
    'run=(strace -f -qq -o /dev/null -P "$dir" -P "$dir/launcher.exe" -P "$dir/SHA256SUMS" -e trace=rename,renameat,renameat2
          -e inject=rename,renameat,renameat2:signal=KILL)|--no-timestamp|cannot put the signed release in place'
    # A full disk, where mounting a small file system is allowed.
    'mkdir "$work/small" && mount -t tmpfs -o size=$(($(du -sk "$dir" | cut -f1) + 64))k tmpfs "$work/small" 2>/dev/null &&
        cp -r "$dir" "$work/small/row" && dir=$work/small/row|--no-timestamp|No space left on device'
)
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
for row in "${sign_failures[@]}"; do
    expected=${row##*|} prepare=${row%|*}
    args=${prepare##*|} prepare=${prepare%|*}
    ! mountpoint -q "$work/small" || umount "$work/small"
    rm -rf "$work/row" "$work/small"
    cp -r "$work/signing" "$work/row"
    dir=$work/row anchor=(--expect-sha256 "$sums_sha256") run=()
    if ! eval "$prepare"; then
        echo "skipped, as its preparation failed: $prepare"
        continue
    fi
    watched=$dir
    [ -d "$dir" ] || watched=$work/row
    # shellcheck disable=SC2034 # the check below reads it
    before=$(state "$watched")
    started=$(date +%s%N)
    # (The row's arguments, split into words.)
    # shellcheck disable=SC2086
    if "${run[@]}" "$repo/scripts/sign" "$dir" "${anchor[@]}" --pkcs12 "$pki/valid.p12" --password-file "$pki/password" \
        --ca-file "$pki/ca.crt" $args >"$work/out" 2>"$work/err"; then
        echo "FAILED: sign $args succeeded"; failed=1
    fi
    echo "refused in $((($(date +%s%N) - started) / 1000000)) ms: $(cat "$work/err")"
    check '[ "$(wc -l <"$work/err")" -eq 1 ] && grep -q "$expected" "$work/err"' \
        "sign $args after '$prepare': expected one line saying '$expected', got: $(cat "$work/err")"
    check '[ "$before" = "$(state "$watched")" ] && ! ls -A "$(dirname "$watched")" | grep -q "^\.${watched##*/}\.signing"' \
        "sign $args after '$prepare' changed the release it refused to sign, or left files beside it"
done
! mountpoint -q "$work/small" || umount "$work/small"
# The files, watched as osslsigncode signs: no private key lies unencrypted
# in the signing's folders meanwhile; launcher.exe replaced in the folder
# then is not what gets signed.
mkdir "$work/spy"
cat >"$work/spy/osslsigncode" <<'SPY'
#!/usr/bin/env bash
if [ "$1" = sign ]; then
    grep -rl -- '-----BEGIN .*PRIVATE KEY-----' "$TMPDIR" "$SPY"/.signing.* >>"$SPY/keys-seen" 2>/dev/null
    printf '\x02' | dd of="$SPY/signing/launcher.exe" bs=1 seek=4096 conv=notrunc status=none
fi
exec /usr/bin/osslsigncode "$@"
SPY
chmod +x "$work/spy/osslsigncode"
mkdir "$work/tmp"
touch "$work/keys-seen"
PATH=$work/spy:$PATH SPY=$work TMPDIR=$work/tmp "$repo/scripts/sign" "$work/signing" --expect-sha256 "$sums_sha256" \
    --pkcs12 "$pki/valid.p12" --password-file "$pki/password" --timestamp "$tsa" --ca-file "$pki/ca.crt" |
    tee "$work/signing.out"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '[ ! -s "$work/keys-seen" ]' "a private key lay unencrypted in $(cat "$work/keys-seen") while signing"
signed=$work/signing/launcher.exe
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '(cd "$work/signing" && sha256sum --check --quiet SHA256SUMS)' "SHA256SUMS does not match"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '! "$repo/scripts/sign" "$work/signing" --expect-sha256 "$(sha256sum <"$work/signing/SHA256SUMS" | cut -d" " -f1)" \
    --pkcs12 "$pki/valid.p12" --password-file "$pki/password" \
    --no-timestamp 2>"$work/err" && grep -q "is not the build its BUILDINFO records" "$work/err"' \
    "a signed release was signed again"
osslsigncode verify -CAfile "$pki/ca.crt" -in "$signed" | tee "$work/verify"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check 'grep -q "^Signature verification: ok" "$work/verify"' "the signed file does not verify"
osslsigncode remove-signature -in "$signed" -out "$work/stripped.exe" >>"$log" 2>&1
# shellcheck disable=SC2034 # checks read it
recorded=$(sed -n 's/^launcher-sha256: //p' "$work/signing/BUILDINFO")
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '[ "$(sha256sum <"$work/stripped.exe" | cut -d" " -f1)" = "$recorded" ]' \
    "without its signature the signed file is not the build BUILDINFO records"

echo "-- signed through PKCS#11"
token_status=0
wait "$token_pid" || token_status=$?
cat "$work/token"
[ $token_status -eq 0 ]
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check 'grep -q "verified by osslsigncode [0-9]" "$work/token"' "the release line names no osslsigncode version"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check 'grep -q "time-stamped by $tsa, " "$work/token"' "the release was not time-stamped by the server that answers"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
for dist in "$token_repo/dist" "$work/signing"; do
    check 'openssl cms -verify -binary -inform DER -in "$dist/SHA256SUMS.p7s" -content "$dist/SHA256SUMS" \
        -purpose any -CAfile "$pki/ca.crt" -out /dev/null 2>>"$log"' "$dist/SHA256SUMS.p7s does not verify"
done
# scripts/verify, as a store checks a release: both pass, pinned to their
# signer, the PKCS#12 one as well 400 days after its certificate expired;
# each refusal is one line, on a copy changed as its row says.
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '"$repo/scripts/verify" "$token_repo/dist" --ca-file "$pki/ca.crt" --signer "$pki/token.crt" \
    --crl-file "$pki/crl.pem" && "$repo/scripts/verify" "$work/signing" --ca-file "$pki/ca.crt" --signer "$pki/valid.crt" \
    --time $(($(date +%s) + 402 * 86400))' "scripts/verify refuses a signed release"
verify_failures=(
    "touch \"\$work/verified/version.dll\"|--signer $pki/valid.crt|holds 'version.dll', which is not one of"
    # Signed again by another certificate under the same root, and time-stamped.
    "openssl cms -sign -binary -md sha256 -nosmimecap -outform DER -in \"\$work/verified/SHA256SUMS\" -signer \"\$pki/tsa.crt\" \\
        -inkey \"\$pki/tsa.key\" -out \"\$work/verified/SHA256SUMS.p7s\" &&
        openssl ts -query -data \"\$work/verified/SHA256SUMS.p7s\" -sha256 -cert 2>/dev/null |
        curl -fsS -H 'Content-Type: application/timestamp-query' --data-binary @- -o \"\$work/verified/SHA256SUMS.p7s.tsr\" \"\$tsa\"\
        |--signer $pki/valid.crt|SHA256SUMS.p7s is signed by CN = Throwaway tsa signer, not by"
)
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
for row in "${verify_failures[@]}"; do
    expected=${row##*|} prepare=${row%|*}
    args=${prepare##*|} prepare=${prepare%|*}
    rm -rf "$work/verified"
    cp -r "$work/signing" "$work/verified"
    eval "$prepare"
    check '! "$repo/scripts/verify" "$work/verified" --ca-file "$pki/ca.crt" $args 2>"$work/err" &&
        [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q "$expected" "$work/err"' \
        "verify $args after '$prepare': expected one line saying '$expected'"
done
osslsigncode verify -CAfile "$pki/ca.crt" -CRLfile "$pki/crl.pem" -TSA-CAfile "$pki/ca.crt" \
    -in "$token_repo/dist/launcher.exe" >"$work/verify" 2>&1
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check 'grep -q "^Signature verification: ok" "$work/verify" && grep -q "^Timestamp Server Signature verification: ok" \
    "$work/verify"' "the file signed through PKCS#11 does not verify with its time stamp"
osslsigncode remove-signature -in "$token_repo/dist/launcher.exe" -out "$work/token-stripped.exe" >>"$log" 2>&1
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check 'cmp "$work/token-stripped.exe" "$work/stripped.exe"' "the file signed through PKCS#11 is not the unsigned build"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check 'diff <(LC_ALL=C ls -A "$token_repo/dist" | grep -vxE "SHA256SUMS(\.p7s(\.tsr)?)?") <(cut -d" " -f3 "$token_repo/dist/SHA256SUMS" |
    LC_ALL=C sort)' \
    "SHA256SUMS does not list every file in dist/"
# shellcheck disable=SC2317 # the check below calls it
unsigned_bom() {
    sed -e "s/$(sha256sum <"$1/launcher.exe" | cut -d" " -f1)/LAUNCHER/" -e "s/Throwaway Studio/Quenby launcher/" \
        "$1/launcher.cdx.json"
}
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '[ -z "$(ls -A "$token_repo/build/release-work")" ]' "the release left its work folder, or kept an earlier one's"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check 'cmp "$token_repo/dist/NOTICES.txt" "$work/signing/NOTICES.txt" &&
       diff <(unsigned_bom "$token_repo/dist") <(unsigned_bom "$work/signing") &&
       diff <(cut -d" " -f3 "$token_repo/dist/SHA256SUMS") <(cut -d" " -f3 "$work/signing/SHA256SUMS")' \
    "the PKCS#11 and PKCS#12 releases differ in notices, bill of materials or sums"
# The bill of materials against CycloneDX's own schema (as setup keeps it,
# checked against its pin first), by Debian's validator; and it must name the
# components of the notices.
# shellcheck source=cmake/cyclonedx-schema.sh
source cmake/cyclonedx-schema.sh
pin_failure=$(schema_tarball_is_pinned 2>&1) || { echo "FAILED: $pin_failure"; exit 1; }
tar -xzf "$schema_tarball" -C "$work" package/res/schema
/usr/bin/python3 - "$work/package/res/schema" "$token_repo/dist" "$repo/dist" "$(git -C "$repo" show -s --format=%ct HEAD)" \
    <<'PYTHON' ||
import glob, hashlib, importlib.metadata, json, os, re, subprocess, sys, warnings, jsonschema
# RefResolver is the one way to hand over the schemas it refers to that
# Debian 12's jsonschema (4.10) knows; Debian 13's (4.19) warns about it.
warnings.filterwarnings("ignore", message=".*RefResolver", category=DeprecationWarning)
schemas, dist, unsigned_dist, commit_time = sys.argv[1:]
store = {"http://cyclonedx.org/schema/" + os.path.basename(f): json.load(open(f))
         for f in glob.glob(schemas + "/*.schema.json")}
schema = store["http://cyclonedx.org/schema/bom-1.6.SNAPSHOT.schema.json"]
bom = json.load(open(dist + "/launcher.cdx.json"))
jsonschema.Draft7Validator(schema, resolver=jsonschema.RefResolver.from_schema(schema, store=store),
                           format_checker=jsonschema.Draft7Validator.FORMAT_CHECKER).validate(bom)
rows = {tuple(cell.strip() for cell in row.split("|")[1:4]) for row in open(dist + "/NOTICES.txt")
        if re.match(r"\| [^-]", row)} - {("component", "version", "licence (SPDX)")}
named = {(c["name"], c["version"], c["licenses"][0]["expression"]) for c in bom["components"]}
named_refs = {c["bom-ref"] for c in bom["components"]}
assert named == rows, f"the bill of materials names {sorted(named)}, the notices {sorted(rows)}"
# NTIA's minimum elements, the Debian packages as dpkg -S names the files
# linked in, and purls written as packageurl's builders write them.
unsigned = json.load(open(unsigned_dist + "/launcher.cdx.json"))
launcher = bom["metadata"]["component"]
assert all(c["supplier"]["name"] for c in bom["components"] + [launcher])
# The token's certificate names an organisation, the unsigned release none.
assert launcher["supplier"]["name"] == "Throwaway Studio", launcher["supplier"]
assert unsigned["metadata"]["component"]["supplier"]["name"] == "Quenby launcher"
assert bom["metadata"]["authors"] and bom["metadata"]["tools"]["components"]
import datetime
assert bom["metadata"]["timestamp"] == datetime.datetime.fromtimestamp(int(commit_time), datetime.timezone.utc) \
    .strftime("%Y-%m-%dT%H:%M:%SZ"), bom["metadata"]["timestamp"]
assert re.fullmatch(r"urn:uuid:[0-9a-f-]{36}", bom["serialNumber"]) and bom["serialNumber"] == unsigned["serialNumber"]
assert launcher["purl"].startswith("pkg:generic/quenby-launcher@") and launcher["version"] in launcher["purl"]
shipped = hashlib.sha256(open(dist + "/launcher.exe", "rb").read()).hexdigest()
built = unsigned["metadata"]["component"]["hashes"][0]["content"]
assert launcher["hashes"] == [{"alg": "SHA-256", "content": shipped}], launcher["hashes"]
# CycloneDX: a bill of materials whose content changes is a new version.
assert bom["version"] == unsigned["version"] + 1, (bom["version"], unsigned["version"])
assert {(p["name"], p["value"]) for p in launcher["properties"]} == {("quenby:unsigned-sha256", built),
                                                                     ("quenby:signed-sha256", shipped)}
purls = {c["name"]: c["purl"] for c in bom["components"]}
assert purls["libgcc"].startswith("pkg:deb/debian/gcc-mingw-w64-i686-posix@"), purls
gxx = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "g++-mingw-w64-i686-posix"], capture_output=True,
                     text=True, check=True).stdout
assert purls["libstdc++"].startswith("pkg:deb/debian/g%2B%2B-mingw-w64-i686-posix@" + gxx.replace("+", "%2B") + "?"), \
    purls
boost = next(c for c in bom["components"] if c["name"] == "Boost")
assert boost["cpe"] == "cpe:2.3:a:boost:boost:1.81.0:*:*:*:*:*:*:*", boost.get("cpe")
pin = dict(re.findall(r"^(boost_\w+)=(\S+)", open("cmake/boost-source.sh").read(), re.M))
assert boost["purl"] == "pkg:deb/debian/%s@%s?arch=source" % (pin["boost_source_package"],
                                                             pin["boost_source_version"].replace("+", "%2B")), boost
assert {"type": "source-distribution", "url": boost["purl"],
        "hashes": [{"alg": "SHA-256", "content": pin["boost_tarball_sha256"]}]} in boost["externalReferences"], boost
assert {d["ref"] for d in bom["dependencies"]} == named_refs | {"launcher.exe"}, bom["dependencies"]
print(f"launcher.cdx.json: valid CycloneDX {bom['specVersion']} (jsonschema",
      importlib.metadata.version("jsonschema") + f"), {len(named)} components, those of the notices")
PYTHON
    { echo "FAILED: the bill of materials is not valid CycloneDX, or names other components than the notices"; failed=1; }
# And by CycloneDX's own strict validator (their library, as setup installs
# it), the signed and the unsigned one.
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
for bom in "$token_repo/dist/launcher.cdx.json" "$repo/dist/launcher.cdx.json"; do
    node -e '
const cdx = require(process.argv[1] + "/node_modules/@cyclonedx/cyclonedx-library");
const version = require(process.argv[1] + "/node_modules/@cyclonedx/cyclonedx-library/package.json").version;
new cdx.Validation.JsonStrictValidator("1.6")
    .validate(require("fs").readFileSync(process.argv[2], "utf8"))
    .then(errors => { if (errors !== null) { console.log(JSON.stringify(errors)); process.exit(1); }
                      console.log(process.argv[2].replace(/.*\/([^/]+\/dist)/, "$1") +
                                  ": valid by @cyclonedx/cyclonedx-library " + version + "'"'"'s strict JSON validator"); },
          error => { console.log(String(error)); process.exit(1); });' "$boost_cache/cyclonedx-validator" "$bom" ||
        { echo "FAILED: $bom fails CycloneDX's strict validator"; failed=1; }
done
# Only what the map shows in the image, and the notices its members carry.
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '! grep -qE "^\|.*(libuser32|libssp|libboost_atomic|libboost_container)" "$repo/dist/NOTICES.txt" &&
       grep -q "Silicon Graphics Computer Systems" "$repo/dist/NOTICES.txt" &&
       grep -q "Hewlett-Packard Company" "$repo/dist/NOTICES.txt"' \
    "NOTICES.txt lists archives that put nothing in the image, or misses tree.o's notices"

echo "-- unsigned rebuild from BUILDINFO, in another clone"
(cd "$work" && "$repo/scripts/reproducible" --buildinfo repo/dist/BUILDINFO) | tee "$work/rebuild"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check 'grep -q UNSIGNED "$work/rebuild"' "the unsigned release does not say it is unsigned"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check 'grep -q "^reproducible: $(git rev-parse HEAD) rebuilt to the recorded $recorded" "$work/rebuild" &&
       ! grep -q differs "$work/rebuild"' "a rebuild from BUILDINFO does not give the released file"

# Three days on, the signer has expired: only a time-stamped signature holds.
osslsigncode sign -pkcs12 "$pki/valid.p12" -readpass "$pki/password" -h sha256 \
    -in "$work/stripped.exe" -out "$work/no-timestamp.exe" >>"$log" 2>&1
later=$(($(date +%s) + 3 * 86400))
# shellcheck disable=SC2317 # the checks below call it
aged() { osslsigncode verify -CAfile "$pki/ca.crt" -TSA-CAfile "$pki/ca.crt" -time "$later" -in "$1"; }
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check 'aged "$signed" >"$work/aged" 2>&1' "the time-stamped release no longer verifies once its certificate expired"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '! aged "$work/no-timestamp.exe" >"$work/aged" 2>&1 && grep -q "certificate has expired" "$work/aged"' \
    "a signature without a time stamp outlived its certificate"

# One byte of code changed: the signature must no longer hold.
cp "$signed" "$work/tampered.exe"
/usr/bin/python3 - "$work/tampered.exe" <<'PYTHON'
import sys, pefile
path = sys.argv[1]
pe = pefile.PE(path)
text = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".text")
offset = text.PointerToRawData + 0x100
pe.close()
data = bytearray(open(path, "rb").read())
data[offset] ^= 0x01
open(path, "wb").write(data)
PYTHON
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '! osslsigncode verify -CAfile "$pki/ca.crt" -in "$work/tampered.exe" >/dev/null 2>&1' \
    "a signed file with one byte of code changed still verifies"

/usr/bin/python3 tests/executable_test.py "$signed" "$build/build/windows-x86/launcher.map" \
    "$build" 2>&1 | tail -n 3 || { echo "FAILED: the signed file fails the executable checks"; failed=1; }

# A library member the notices do not cover, in the image: the release must stop.
sed -i '/^Archive member included/a /usr/lib/libuncovered.a(uncovered.o)' "$build/build/windows-x86/launcher.map"
# shellcheck disable=SC2016 # check and eval expand the quoted commands when they run
check '! "$repo/scripts/notices" "$build" "$work" x 2>"$work/err" && grep -q "libuncovered.a" "$work/err"' \
    "a linked library the notices do not cover went unnoticed"

[ $failed -eq 0 ] && echo "release: all checks passed"
exit $failed
