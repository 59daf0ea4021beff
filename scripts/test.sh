#!/usr/bin/env bash
# Runs every test: the native suite, the same suite under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer, the suite built
# 32-bit under AddressSanitizer + UndefinedBehaviorSanitizer, a short run of
# the fuzz targets, memcheck over the end-to-end and unload tests and the
# demo, the Windows cross build, and the Windows suite under Wine.
# Exits non-zero on any failure; the last line sums up the test cases.
set -uo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh || exit 1

total_passed=0
total_failed=0
status=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT

run() {  # run STEP COMMAND...: runs a step, remembers a failure
    echo "=== $1"
    shift
    if ! "$@"; then
        echo "=== FAILED: $*"
        status=1
        return 1
    fi
}

native_suite() {  # native_suite PRESET
    run "$1: configure" cmake --preset "$1" >/dev/null || { total_failed=$((total_failed + 1)); return; }
    run "$1: build" cmake --build --preset "$1" || { total_failed=$((total_failed + 1)); return; }
    echo "=== $1: tests"
    ctest --preset "$1" 2>&1 | tee "$log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
    # "100% tests passed, 0 tests failed out of 72"
    line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$log" | tail -1)
    if [ -z "$line" ]; then
        status=1
        total_failed=$((total_failed + 1))
        return
    fi
    failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    all=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    # A skipped case ran no check: it is not counted as passed.
    skipped=$(grep -c '\*\*\*Skipped' "$log")
    [ "$skipped" -eq 0 ] || echo "=== $1: $skipped skipped, not counted"
    total_passed=$((total_passed + all - failed - skipped))
    total_failed=$((total_failed + failed))
}

native_suite debug
native_suite asan
native_suite tsan
# The same suite built 32-bit (-m32), as the shipping DLL is, under
# AddressSanitizer + UndefinedBehaviorSanitizer: faults that only 32-bit
# pointers, sizes and alignment bring out.
native_suite asan32

# A short run of every fuzz target (clang, ASan + UBSan; scripts/fuzz.sh):
# each target counts as one test, failed by a crash, a leak, a time-out or a
# failed check. VOREL_FUZZ_SECONDS sets the time per target.
add_summary() {  # add_summary LOG: adds the totals of its last "N passed, N failed" line
    local line
    line=$(tail -n 1 "$1")
    if [[ "$line" =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        total_passed=$((total_passed + BASH_REMATCH[1]))
        total_failed=$((total_failed + BASH_REMATCH[2]))
    else
        status=1
        total_failed=$((total_failed + 1))
    fi
}
echo "=== fuzz: every target for ${VOREL_FUZZ_SECONDS:-30} s"
scripts/fuzz.sh "${VOREL_FUZZ_SECONDS:-30}" 2>&1 | tee "$log"
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
add_summary "$log"

# Memcheck over the end-to-end and unload tests and the demo (the debug
# build, which has no sanitizer; scripts/valgrind.sh, about a minute and a
# half): each test case counts, and a memory error or a leak in a binary
# counts as one more failure. Its last line is read as the fuzz run's is.
echo "=== valgrind: the end-to-end and unload tests and the demo under memcheck"
scripts/valgrind.sh 2>&1 | tee "$log"
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
add_summary "$log"

# A sample of the allocation-failure sweep (scripts/alloc-sweep.sh; the asan
# build): the scenario without failures, then 12 runs spread over its
# allocations, each failing one. Each run counts as one test, failed by an
# undocumented code, a crash, a hang, a leak or a library that does not work
# again. Its last line is read as the fuzz run's is.
echo "=== alloc-sweep: a sample of 12 allocation failures"
scripts/alloc-sweep.sh --sample 12 2>&1 | tee "$log"
[ "${PIPESTATUS[0]}" -eq 0 ] || status=1
add_summary "$log"

# The reference server built for Windows (posix-thread MinGW-w64, linked
# statically): the Wine suite below runs it (tests/windows/wine-server-checks.sh).
if run "mingw-tools: configure" cmake --preset mingw-tools >/dev/null &&
    run "mingw-tools: build" cmake --build --preset mingw-tools; then
    total_passed=$((total_passed + 1))
else
    total_failed=$((total_failed + 1))
fi

if run "mingw: configure" cmake --preset mingw >/dev/null && run "mingw: build" cmake --build --preset mingw; then
    total_passed=$((total_passed + 1))
    # The Windows build under Wine, against the native reference server.
    echo "=== wine: the Windows suite"
    tests/windows/run-wine-tests.sh build/debug build/mingw 2>&1 | tee "$log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
    add_summary "$log"
    # The release archive as a studio meets it: unpacked, checked, the
    # examples built from it alone and run under Wine against its server.
    echo "=== package: the release archive"
    version=$(sed -n 's/^project(Vorel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
    if run "package: make the archive" scripts/package.sh; then
        tests/windows/package-test.sh "dist/vorel-$version-win32.zip" build/mingw 2>&1 | tee "$log"
        [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
        add_summary "$log"
    else
        total_failed=$((total_failed + 1))
    fi
else
    total_failed=$((total_failed + 1))
fi

echo "${total_passed} passed, ${total_failed} failed"
exit $status
