# shellcheck shell=bash
# Sourced by the scripts, after `set -euo pipefail`: no failure ends a script
# without a word. set -e alone stops at a failing command and says nothing,
# and a step whose output is hidden would leave only its exit code.

# Inherited by functions and subshells, so a failure inside one names itself
# too. A function that returns a failure on purpose has said why itself;
# the trap would only name its `return`.
set -E
trap 'loud_failure $? "$BASH_COMMAND"' ERR
loud_failure() {
    [[ $2 == return* ]] ||
        echo "${0##*/}: failed (exit $1) at line ${BASH_LINENO[0]}: $2" >&2
}

# The last lines of the file $1, indented, on standard error.
last_lines() {
    tail -n 25 "$1" | sed 's/^/    /' >&2
}

# Runs a command with its output kept aside; when it fails, shows the
# command and the last lines of what it printed.
quietly() {
    local kept status=0
    kept=$(mktemp)
    "$@" >"$kept" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "${0##*/}: failed (exit $status): $*; its last lines:" >&2
        last_lines "$kept"
    fi
    rm -f "$kept"
    return "$status"
}
