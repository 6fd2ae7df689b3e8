#!/usr/bin/env bash
# The release path, end to end, with a throwaway certificate authority and
# code-signing certificates made here (nothing secret is in the repository):
# failures stop early with one line and no file in dist/; the unsigned and
# the signed release of the same commit, built in two clones in different
# folders, are one file once the signature is removed; the signed file
# verifies against the authority, stops verifying when one byte of its code
# changes, and keeps the resources and properties the executable checks ask
# for.
#   tests/release_test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
check() { if ! eval "$1"; then echo "FAILED: $2"; failed=1; fi; }

# A clean clone of HEAD to release from, as a maintainer would.
git clone --quiet --no-hardlinks . "$work/repo"
repo=$work/repo

# The authority, a signer valid for two days, and one that expired yesterday.
pki=$work/pki
mkdir "$pki"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/ca.key" -out "$pki/ca.crt" -days 2 \
    -subj "/CN=Throwaway Test CA" -addext basicConstraints=critical,CA:true \
    -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\n' >"$pki/signer.ext"
echo "correct horse battery staple" >"$pki/password"
echo "wrong" >"$pki/wrong-password"
for signer in valid:2 expired:-1; do
    name=${signer%:*} days=${signer#*:}
    openssl req -newkey rsa:2048 -nodes -keyout "$pki/$name.key" -out "$pki/$name.csr" \
        -subj "/CN=Throwaway $name signer" 2>/dev/null
    openssl x509 -req -in "$pki/$name.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial \
        -days "$days" -extfile "$pki/signer.ext" -out "$pki/$name.crt" 2>/dev/null
    openssl pkcs12 -export -inkey "$pki/$name.key" -in "$pki/$name.crt" -certfile "$pki/ca.crt" \
        -passout "file:$pki/password" -out "$pki/$name.p12"
done

# Each failure: its arguments, and what its one line must say.
failures=(
    "--pkcs12 $pki/valid.p12 --password-file $pki/wrong-password|wrong password"
    "--pkcs12 $pki/missing.p12 --password-file $pki/password|cannot read the certificate file"
    "--pkcs12 $pki/expired.p12 --password-file $pki/password|has expired"
    "--pkcs12 $pki/valid.p12|needs --password-file"
)
for row in "${failures[@]}"; do
    args=${row%|*} expected=${row#*|}
    # shellcheck disable=SC2086
    if "$repo/scripts/release" $args >"$work/out" 2>"$work/err"; then
        echo "FAILED: release $args succeeded"; failed=1
    fi
    check '[ "$(wc -l <"$work/err")" -eq 1 ] && grep -q "$expected" "$work/err"' \
        "release $args: expected one line saying '$expected', got: $(cat "$work/err")"
    check '[ -z "$(ls -A "$repo/dist" 2>/dev/null)" ]' "release $args left files in dist/"
done
touch "$repo/uncommitted"
check '! "$repo/scripts/release" 2>"$work/err" && grep -q "uncommitted changes" "$work/err"' \
    "a work tree with uncommitted changes was released"
rm "$repo/uncommitted"

echo "-- unsigned release"
"$repo/scripts/release" | tee "$work/out"
check 'grep -q UNSIGNED "$work/out"' "the unsigned release does not say it is unsigned"
check '(cd "$repo/dist" && sha256sum --check --quiet SHA256SUMS)' "SHA256SUMS does not match"
cp "$repo/dist/launcher.exe" "$work/unsigned.exe"

echo "-- signed release"
build=$work/a-second-clone/elsewhere
"$repo/scripts/release" --pkcs12 "$pki/valid.p12" --password-file "$pki/password" \
    --ca-file "$pki/ca.crt" --build-dir "$build"
signed=$repo/dist/launcher.exe
check '(cd "$repo/dist" && sha256sum --check --quiet SHA256SUMS)' "SHA256SUMS does not match"
osslsigncode verify -CAfile "$pki/ca.crt" -in "$signed" | tee "$work/verify"
check 'grep -q "^Signature verification: ok" "$work/verify"' "the signed file does not verify"

osslsigncode remove-signature -in "$signed" -out "$work/stripped.exe" >/dev/null
check 'cmp "$work/stripped.exe" "$work/unsigned.exe"' \
    "without its signature the signed file is not the reproducible build"

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
check '! osslsigncode verify -CAfile "$pki/ca.crt" -in "$work/tampered.exe" >/dev/null 2>&1' \
    "a signed file with one byte of code changed still verifies"

/usr/bin/python3 tests/executable_test.py "$signed" "$build/build/windows-x86/launcher.map" \
    "$build" 2>&1 | tail -n 3 || { echo "FAILED: the signed file fails the executable checks"; failed=1; }

[ $failed -eq 0 ] && echo "release: all checks passed"
exit $failed
