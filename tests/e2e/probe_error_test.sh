#!/bin/sh
# A failure that escapes the launcher's run: a symbolic-link loop at x64r
# makes the probe for x64r\quenby.exe fail with an error other than "not
# found" (Wine reports ERROR_CANT_RESOLVE_FILENAME, 1921). The launcher must
# print one "Exception: " line, exit with -1, and start nothing.
#   probe_error_test.sh WINE_RUN LAUNCHER_EXE STAND_IN_GAME_EXE
set -u
wine_run=$1 launcher=$2 game=$3

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$launcher" "$dir/launcher.exe"
mkdir "$dir/x86r" && cp "$game" "$dir/x86r/quenby.exe"
ln -s x64r "$dir/x64r"

"$wine_run" "$dir/launcher.exe" >"$dir/output" 2>/dev/null
code=$?
sleep 2

failed=0
check() { if ! eval "$1"; then echo "FAILED: $2"; failed=1; fi; }
check '[ "$code" -eq 255 ]' "exit code $code, expected -1 (255)"
check '[ "$(wc -l <"$dir/output")" -eq 1 ]' "expected exactly one line of output"
check 'grep -q "^Exception: .*boost::filesystem::status" "$dir/output"' "expected the probe's failure"
check '[ ! -e "$dir/x86r/received.txt" ]' "a game was started"
echo "output: $(cat "$dir/output")"
exit $failed
