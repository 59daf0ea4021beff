#!/usr/bin/env bash
# Memcheck over the tests that run the library's threads for real: the
# session end to end against the reference server (session_e2e_test), load,
# use and unload as a game does (shutdown_test), and the demo (a game's whole
# part, the library loaded with dlopen, downloads included). Builds the debug
# preset, which has no sanitizer: valgrind and a sanitizer's runtime cannot
# share a process. First a canary (tests/memcheck_canary.cpp), which the
# same options must fail. Exits non-zero on any memory error or leak; the
# last line sums up the test cases.
#
#   valgrind.sh            the two test binaries and the demo
#   valgrind.sh --no-demo  the two test binaries only
#
# Leaks: definite and indirect leaks fail the run. "Possibly lost" blocks are
# shown but do not fail it: a thread of the library that is still running
# when the process ends (a set-up stuck in a name lookup keeps the library
# loaded on purpose) may hold a block only through a pointer into its middle,
# which memcheck cannot tell from a leak. "Still reachable" blocks are what
# the loader keeps for libraries that stay mapped (the TLS crypto library
# pins itself), and are not shown.
#
# scripts/valgrind.supp holds suppressions for faults in third-party code
# only (the C library, libcurl and what it loads), each with its reason.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
./scripts/install-deps.sh --native || exit 1

with_demo=1
case "${1:-}" in
    "") ;;
    --no-demo) with_demo=0 ;;
    *) echo "usage: valgrind.sh [--no-demo]" >&2; exit 2 ;;
esac

preset=debug
build=$PWD/build/$preset
runs=$build/valgrind-run
memcheck=(valgrind --error-exitcode=99 --leak-check=full
          --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect
          --num-callers=30 --fair-sched=yes --suppressions="$PWD/scripts/valgrind.supp")

passed=0
failed=0
status=0
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
step_failed_summary="0 passed, 1 failed"

# What memcheck said at the end of a run: its error count and leak totals.
summary() {  # summary VALGRIND_LOG
    grep -E "ERROR SUMMARY|(definitely|indirectly|possibly) lost:|All heap blocks were freed" "$1" |
        sed 's/^==[0-9]*== */    /'
}

# A GoogleTest binary under memcheck, in a directory of its own. Each case
# counts, and so does a memcheck error as one more failure.
gtest_binary() {  # gtest_binary NAME [GTEST_ARGS...]
    local name=$1 dir=$runs/$1 started=$SECONDS rc ok bad
    shift
    rm -rf "$dir" && mkdir -p "$dir"
    echo "=== valgrind: $name"
    (cd "$dir" && exec timeout --kill-after=10 600 "${memcheck[@]}" --log-file="$dir/valgrind.log" \
        "$build/tests/$name" "$@") >"$dir/output.txt" 2>&1
    rc=$?
    ok=$(grep -c '^\[       OK \]' "$dir/output.txt")
    bad=$(grep -cE '^\[  FAILED  \] [^ ]+\.[^ ]+' "$dir/output.txt")
    grep -E '^\[ *(OK|FAILED) *\]' "$dir/output.txt"
    summary "$dir/valgrind.log"
    echo "    $((SECONDS - started)) s, exit status $rc; output in $dir"
    passed=$((passed + ok))
    failed=$((failed + bad))
    if [ "$rc" -ne 0 ]; then
        status=1
        # A memcheck error, or an end (a crash, a time-out) that no failed
        # case accounts for.
        if [ "$rc" -eq 99 ] || [ "$bad" -eq 0 ]; then
            failed=$((failed + 1))
        fi
        echo "=== FAILED: $name under valgrind (exit status $rc)"
        cat "$dir/valgrind.log"
    fi
}

start=$SECONDS
step "configure ($preset preset)" cmake --preset "$preset"
step "build the test binaries, the library, vorel-server and vorel-demo" \
    cmake --build --preset "$preset" --target session_e2e_test shutdown_test Vorel VorelCore \
    Quorvex vorel-server vorel-demo
echo "    ready after $((SECONDS - start)) s"

# The canary: with these options memcheck must fail a program with a leak
# and a read of uninitialised memory, or the runs below would prove nothing.
echo "=== valgrind: the canary (tests/memcheck_canary.cpp) must fail"
canary=$runs/canary
rm -rf "$canary" && mkdir -p "$canary"
if c++ -g -O0 -o "$canary/memcheck_canary" tests/memcheck_canary.cpp >"$canary/build.txt" 2>&1; then
    "${memcheck[@]}" --log-file="$canary/valgrind.log" "$canary/memcheck_canary" >/dev/null 2>&1
    rc=$?
else
    cat "$canary/build.txt"
    rc=-1
fi
if [ "$rc" -eq 99 ] && grep -q "definitely lost: 64 bytes in 1 blocks" "$canary/valgrind.log" &&
    grep -q "depends on uninitialised value" "$canary/valgrind.log"; then
    echo "    caught: the leak and the uninitialised read (exit status 99)"
    passed=$((passed + 1))
else
    echo "=== FAILED: memcheck let the canary's faults pass (exit status $rc)"
    [ -f "$canary/valgrind.log" ] && cat "$canary/valgrind.log"
    status=1
    failed=$((failed + 1))
fi

gtest_binary session_e2e_test
# The chaos of sixteen game threads bounds its unloads in real time, which
# memcheck's pace would decide; the sanitizer builds run it instead.
gtest_binary shutdown_test --gtest_filter=-*Chaos*

if [ "$with_demo" = 1 ]; then
    echo "=== valgrind: vorel-demo"
    started=$SECONDS
    dir=$runs/demo
    mkdir -p "$runs"
    ./tools/demo/run-demo.sh "$build" "$dir" \
        --wrapper "${memcheck[*]} --log-file=$runs/demo-valgrind.log" >"$runs/demo-output.txt" 2>&1
    rc=$?
    grep -E '^Result:' "$runs/demo-output.txt"
    summary "$runs/demo-valgrind.log"
    echo "    $((SECONDS - started)) s, exit status $rc; output in $runs/demo-output.txt"
    if [ "$rc" -eq 0 ]; then
        passed=$((passed + 1))
    else
        status=1
        failed=$((failed + 1))
        echo "=== FAILED: vorel-demo under valgrind (exit status $rc)"
        cat "$runs/demo-output.txt" "$runs/demo-valgrind.log"
    fi
fi

echo "=== valgrind: $((SECONDS - start)) s in all"
echo "${passed} passed, ${failed} failed"
exit $status
