#!/bin/sh
# A symbolic-link loop at x64r makes the probe for x64r\quenby.exe fail with
# an error other than "not found" (Wine reports ERROR_CANT_RESOLVE_FILENAME,
# 1921).
#  - On a 64-bit Windows the failure escapes: the launcher prints one
#    "Exception: " line, exits with -1, and starts nothing.
#  - On a 32-bit Windows (WINEARCH=win32, which also picks wine-run's
#    prefix) x64r is not even looked at: the game in x86r starts, and the
#    launcher prints nothing and exits with 0.
#   [WINEARCH=win32] probe_error_test.sh WINE_RUN LAUNCHER_EXE STAND_IN_GAME_EXE
set -u
wine_run=$1 launcher=$2 game=$3

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$launcher" "$dir/launcher.exe"
mkdir "$dir/x86r" && cp "$game" "$dir/x86r/quenby.exe"
ln -s x64r "$dir/x64r"

"$wine_run" "$dir/launcher.exe" >"$dir/output" 2>/dev/null
code=$?

failed=0
check() { if ! eval "$1"; then echo "FAILED: $2"; failed=1; fi; }
if [ "${WINEARCH:-win64}" = win32 ]; then
    for _ in $(seq 300); do
        [ -e "$dir/x86r/received.txt" ] && break
        sleep 0.1
    done
    check '[ "$code" -eq 0 ]' "exit code $code, expected 0"
    check '[ ! -s "$dir/output" ]' "expected no output"
    check '[ -e "$dir/x86r/received.txt" ]' "the game in x86r did not start"
else
    sleep 2
    check '[ "$code" -eq 255 ]' "exit code $code, expected -1 (255)"
    check '[ "$(wc -l <"$dir/output")" -eq 1 ]' "expected exactly one line of output"
    check 'grep -q "^Exception: .*boost::filesystem::status" "$dir/output"' "expected the probe's failure"
    check 'grep -qF "\\x64r\\quenby.exe" "$dir/output" && ! grep -q / "$dir/output"' \
        "expected the probe's path as Windows writes it"
    check '[ ! -e "$dir/x86r/received.txt" ]' "a game was started"
fi
printf 'output: %s\n' "$(cat "$dir/output")"
exit $failed
