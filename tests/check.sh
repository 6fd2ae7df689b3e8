# shellcheck shell=sh
# shellcheck disable=SC2034 # failed is read by the test that sources this
# The shell tests' checks, in plain sh for the tests that are: check MESSAGE
# COMMAND... runs the command and, when it fails, prints one FAILED line and
# marks the test failed; the test ends with exit "$failed".
failed=0
check() {
    check_message=$1
    shift
    if ! "$@"; then printf 'FAILED: %s\n' "$check_message"; failed=1; fi
}
