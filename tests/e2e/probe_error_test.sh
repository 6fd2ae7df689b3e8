#!/bin/sh
# A symbolic-link loop at x64r makes the probe for x64r\quenby.exe fail with
# an error other than "not found" (Wine reports ERROR_CANT_RESOLVE_FILENAME,
# 1921).
#  - On a 64-bit Windows the failure escapes: the launcher prints one
#    "Exception: " line, exits with -1, and starts nothing.
#  - On a 32-bit Windows (WINEARCH=win32, which also picks wine-run's
#    prefix) x64r is not even looked at: the game in x86r starts, and the
#    launcher prints nothing and exits with 0.
#  The install lies in a folder named in Cyrillic and with a character beyond
#  the Basic Multilingual Plane, which the "Exception: " line names in UTF-8.
#   [WINEARCH=win32] probe_error_test.sh WINE_RUN LAUNCHER_EXE STAND_IN_GAME_EXE
set -u
wine_run=$1 launcher=$2 game=$3

# A step that fails ends the test, naming its command and its last lines of output.
step() {
    "$@" >"$dir/step.log" 2>&1 && return
    printf 'FAILED (%s): %s\n' "$?" "$*"; tail -n 20 "$dir/step.log"; exit 1
}
dir=$(mktemp -d) || { echo "FAILED: mktemp -d"; exit 1; }
trap 'rm -rf "$dir"' EXIT
install="$dir/Игры 🎮"
step mkdir -p "$install/x86r"
step cp "$launcher" "$install/launcher.exe"
step cp "$game" "$install/x86r/quenby.exe"
step ln -s x64r "$install/x64r"

# The run's processes carry this variable: Wine gives a process the
# environment of the one that started it, as Windows does. Once none is left
# (the launcher and any game it started have ended), a game that started has
# reported, and no report means that none started. A minute is a failure of
# its own, never a verdict.
marker=QUENBY_PROBE_ERROR_TEST=$dir
run_ended() { ! grep -qszxF "$marker" /proc/[0-9]*/environ; }
env "$marker" "$wine_run" "$install/launcher.exe" >"$dir/output" 2>"$dir/wine.log"
code=$?
for _ in $(seq 600); do
    run_ended && break
    sleep 0.1
done
run_ended || { echo "FAILED: what the launcher started still runs after a minute"; exit 1; }

failed=0
# check MESSAGE COMMAND...: runs the command, and when it fails prints the message.
check() {
    message=$1
    shift
    if ! "$@"; then printf 'FAILED: %s\n' "$message"; failed=1; fi
}
if [ "${WINEARCH:-win64}" = win32 ]; then
    check "exit code $code, expected 0" [ "$code" -eq 0 ]
    check "expected no output" [ ! -s "$dir/output" ]
    check "the game in x86r did not start" [ -e "$install/x86r/received.txt" ]
else
    check "exit code $code, expected -1 (255)" [ "$code" -eq 255 ]
    check "expected exactly one line of output" [ "$(wc -l <"$dir/output")" -eq 1 ]
    check "expected the probe's failure" grep -q "^Exception: .*boost::filesystem::status" "$dir/output"
    # Wine's drive Z: is the Unix root.
    expected="\"Z:$(printf %s "$install" | tr / '\134')\\x64r\\quenby.exe\""
    check "expected the probe's path exactly as Windows writes it: $expected" \
        [ "$(sed "s/.*: //" "$dir/output")" = "$expected" ]
    check "a game was started" [ ! -e "$install/x86r/received.txt" ]
fi
printf 'output: %s\n' "$(cat "$dir/output")"
[ "$failed" -eq 0 ] || { echo "Wine's last lines:"; tail -n 20 "$dir/wine.log"; }
exit $failed
