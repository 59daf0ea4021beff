# shellcheck shell=bash
# The checks of the test scripts, sourced by them: each check prints
# "ok    WHAT" or "FAIL  WHAT" and is counted in $passed or $failed.

passed=0
failed=0

pass() {  # pass WHAT...
    passed=$((passed + 1))
    echo "ok    $*"
}

fail() {  # fail WHAT...
    failed=$((failed + 1))
    echo "FAIL  $*"
}

check() {  # check DESCRIPTION COMMAND...: passes when COMMAND succeeds
    local what=$1
    shift
    if "$@"; then
        pass "$what"
    else
        fail "$what"
    fi
}

summary() {  # summary: prints "N passed, N failed"; true when nothing failed
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
