#!/bin/sh
# End-to-end cases that start the launcher from the Unix side, because what
# they need cannot be made or started from a Windows program under Wine:
#  probe-error: a symbolic-link loop at x64r makes the probe for
#    x64r\quenby.exe fail with an error other than "not found" (Wine reports
#    ERROR_CANT_RESOLVE_FILENAME, 1921).
#    - On a 64-bit Windows the failure escapes: the launcher prints one
#      "Exception: " line, exits with -1, and starts nothing.
#    - On a 32-bit Windows (WINEARCH=win32, which also picks wine-run's
#      prefix) x64r is not even looked at: the game in x86r starts, and the
#      launcher prints nothing and exits with 0.
#    The install lies in a folder named in Cyrillic and with a character
#    beyond the Basic Multilingual Plane, which the "Exception: " line names
#    in UTF-8.
#  deep-launcher: a launcher more than 270 units deep, in a folder whose last
#    name holds the path's 259th unit, started with --build ..\x86r. Its own
#    path must be read whole: cut to what MAX_PATH holds, the path would end
#    inside that name, and ..\x86r would be looked for one folder too high,
#    where a decoy game waits. (Wine's CreateProcessW refuses a program path
#    of MAX_PATH units or more, so the Windows-side table cannot start it.)
#   [WINEARCH=win32] from_unix_test.sh CASE WINE_RUN LAUNCHER_EXE STAND_IN_GAME_EXE
set -u
case_name=$1 wine_run=$2 launcher=$3 game=$4

# A step that fails ends the test, naming its command and its last lines of output.
step() {
    "$@" >"$dir/step.log" 2>&1 && return
    printf 'FAILED (%s): %s\n' "$?" "$*"; tail -n 20 "$dir/step.log"; exit 1
}
dir=$(mktemp -d) || { echo "FAILED: mktemp -d"; exit 1; }
trap 'rm -rf "$dir"' EXIT
case $case_name in
    probe-error)
        install="$dir/Игры 🎮"
        step mkdir -p "$install/x86r"
        step cp "$game" "$install/x86r/quenby.exe"
        step ln -s x64r "$install/x64r"
        set -- ;;
    deep-launcher)
        # Wine's drive Z: is the Unix root: a Windows path is two units longer.
        parent=$dir
        # The game's folder within 248 units, for the shell takes no game path
        # of 260 or more (x86r\quenby.exe adds 16).
        while [ $((${#parent} + 2)) -lt 210 ]; do parent=$parent/aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa; done
        install=$parent/bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb
        if [ $((${#parent} + 2 + 5)) -gt 248 ] || [ $((${#install} + 2)) -lt 260 ]; then
            echo "FAILED: TMPDIR is too long for a game folder within 248 units"; exit 1
        fi
        decoy=$(dirname "$parent")
        step mkdir -p "$install" "$parent/x86r" "$decoy/x86r"
        step cp "$game" "$parent/x86r/quenby.exe"
        step cp "$game" "$decoy/x86r/quenby.exe"
        set -- --build '..\x86r' ;;
    *) echo "FAILED: no case $case_name"; exit 1 ;;
esac
step cp "$launcher" "$install/launcher.exe"

# The run's processes carry this variable: Wine gives a process the
# environment of the one that started it, as Windows does. Once none is left
# (the launcher and any game it started have ended), a game that started has
# reported, and no report means that none started. A minute is a failure of
# its own, never a verdict.
marker=QUENBY_FROM_UNIX_TEST=$dir
run_ended() { ! grep -qszxF "$marker" /proc/[0-9]*/environ; }
env "$marker" "$wine_run" "$install/launcher.exe" "$@" >"$dir/output" 2>"$dir/wine.log"
code=$?
for _ in $(seq 600); do
    run_ended && break
    sleep 0.1
done
run_ended || { echo "FAILED: what the launcher started still runs after a minute"; exit 1; }

# shellcheck source=tests/check.sh
. "$(dirname "$0")/../check.sh"
if [ "$case_name" = deep-launcher ]; then
    check "exit code $code, expected 0" [ "$code" -eq 0 ]
    check "expected no output" [ ! -s "$dir/output" ]
    check "the game in ..\\x86r did not start" [ -e "$parent/x86r/received.txt" ]
    check "the game one folder higher was started" [ ! -e "$decoy/x86r/received.txt" ]
elif [ "${WINEARCH:-win64}" = win32 ]; then
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
