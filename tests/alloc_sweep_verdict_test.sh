#!/usr/bin/env bash
# The verdicts of the allocation-failure sweep (tools/allocsweep/verdict.sh)
# on scenario outputs made up here: each kind of failure is named, the
# failed allocation and a leak are placed in the library's sources through
# the build's own libraries, and a clean run passes.
#
#   alloc_sweep_verdict_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
if [ $# -ne 2 ]; then
    echo "usage: alloc_sweep_verdict_test.sh BUILD_DIR SOURCE_DIR" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 2
repo=$(cd "$2" && pwd) || exit 2
run_limit=200
# Placing an address in the sources needs the line tables of a build made
# with debug information (the debug and sanitizer presets); an optimised
# build without them cannot be checked here.
if ! readelf -S "$build/libVorelCore.so" 2>/dev/null | grep -q '\.debug_line'; then
    echo "skipped: $build/libVorelCore.so has no debug information"
    exit 77
fi
# shellcheck source=tools/allocsweep/verdict.sh
. "$repo/tools/allocsweep/verdict.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

expect() {  # expect NAME ACTUAL PATTERN: ACTUAL must match the extended regex PATTERN
    if [[ "$2" =~ $3 ]]; then
        echo "ok: $1"
    else
        echo "FAILED: $1"
        echo "   got:      $2"
        echo "   expected: $3"
        failures=$((failures + 1))
    fi
}

# The offset of a function in one of the build's libraries, by its name as
# nm -C shows it (the symbols are local, but the debug build keeps them).
offset_of() {  # offset_of LIBRARY NAME_PREFIX
    local address
    address=$(nm -C "$build/$1" | awk -v name="$2" '$2 == "t" || $2 == "T" {
        line = $0; sub(/^[0-9a-f]+ [tT] /, "", line); if (index(line, name) == 1) { print $1; exit } }')
    [ -n "$address" ] && echo $((16#$address))
}

zero_alloc=$(offset_of libVorelCore.so "ZeroAlloc(")
hash_add=$(offset_of libQuorvex.so "hash_add")
if [ -z "$zero_alloc" ] || [ -z "$hash_add" ]; then
    echo "FAILED: ZeroAlloc or hash_add not found in $build (a build with symbols is needed)"
    exit 1
fi
# A return address a few bytes into each function.
ret_zero=$(printf '0x%x' $((zero_alloc + 8)))
ret_hash=$(printf '0x%x' $((hash_add + 8)))

# ---- where and site ---------------------------------------------------------------------

expect "where names the function and its file" "$(where libVorelCore.so "$ret_zero")" \
    '^ZeroAlloc \(alloc\.cpp:[0-9]+\)$'

out=$work/site.txt
cat >"$out" <<EOF
step: requests
failing allocator: failed calloc(32) #5 in thread 9 at libVorelCore.so+$ret_zero < libc.so.6+0x27305 < libQuorvex.so+$ret_hash
EOF
expect "site gives kind, size and the callers in the library's sources" "$(site "$out")" \
    '^calloc\(32\) in ZeroAlloc \(alloc\.cpp:[0-9]+\) < hash_add \(hash\.cpp:[0-9]+\)$'
echo "step: requests" >"$out"
expect "site is empty when the failure was not reached" "$(site "$out")" '^$'

# ---- leaks, after the unload ------------------------------------------------------------

base=$((16#7f0000000000))
out=$work/leak.txt
cat >"$out" <<EOF
module $build/libVorelCore.so 0x7f0000000000 0x7f0000200000 0x7f0000000000
module /lib/x86_64-linux-gnu/libc.so.6 0x7f1000000000 0x7f1000200000 0x7f1000000000
RESULT: passed

=================================================================
==77==ERROR: LeakSanitizer: detected memory leaks

Direct leak of 32 byte(s) in 1 object(s) allocated from:
    #0 0x7f2000001234 in __interceptor_calloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:77
    #1 0x55aa00001000 in calloc /somewhere/failing_allocator.cpp:356
    #2 $(printf '0x%x' $((base + zero_alloc + 8)))  (<unknown module>)
    #3 0x7f1000000100  (<unknown module>)

Direct leak of 8 byte(s) in 1 object(s) allocated from:
    #0 0x7f2000001234 in __interceptor_malloc ../../../../src/libsanitizer/asan/asan_malloc_linux.cpp:69

SUMMARY: AddressSanitizer: 40 byte(s) leaked in 2 allocation(s).
EOF
expect "a leak is placed through the module lines" "$(leak "$out")" \
    'leak: Direct leak of 32 byte\(s\) in 1 object\(s\), allocated in ZeroAlloc \(alloc\.cpp:[0-9]+\)$'
sed -i "s|^    #2 .*|    #2 0x7f1000000200  (<unknown module>)|" "$out"
expect "a leak outside the library is named without a place" "$(leak "$out")" \
    '^leak: Direct leak of 32 byte\(s\) in 1 object\(s\)$'
cp "$out" "$work/out.txt"
expect "a leak fails the run" "$(verdict "$work" 23)" '^leak: Direct leak of 32 byte'

# ---- the other verdicts ------------------------------------------------------------------

run_output() {  # run_output TEXT: the scenario's output for verdict
    printf '%s\n' "$1" >"$work/out.txt"
}

run_output $'step: unload\ncounted allocations: 148\nRESULT: passed'
expect "a clean run passes" "$(verdict "$work" 0)" '^pass$'

run_output $'step: log-on\nPROBLEM: Write_Message1(300, "300 1 a b") returned 7, a code vorel.h does not give\nPROBLEM: not working again: no log-on with allocations succeeding in 3 attempts\nPROBLEM: Write_Message1(300, "300 1 a b") returned 7, a code vorel.h does not give\nRESULT: FAILED, 3 problems'
expect "problems: a library that does not work again comes first, each text once" \
    "$(verdict "$work" 1 | tr '\n' '|')" \
    '^not working again: no log-on with allocations succeeding in 3 attempts\|Write_Message1\(300, "300 1 a b"\) returned 7, a code vorel\.h does not give\|$'

run_output "$(for i in 1 2 3 4 5 6; do echo "PROBLEM: problem $i"; done; echo 'RESULT: FAILED, 6 problems')"
expect "at most four problems, and how many more" "$(verdict "$work" 1 | tr '\n' '|')" \
    '^problem 1\|problem 2\|problem 3\|problem 4\|\.\.\. and 2 more problems\|$'

run_output $'step: before the log-on\nHANG: Read_Message1 did not return within 10 s'
expect "the watchdog's hang, with its step" "$(verdict "$work" 3)" \
    '^hang: Read_Message1 did not return within 10 s \(step: before the log-on\)$'

run_output $'step: downloads'
expect "a run ended by timeout is a hang" "$(verdict "$work" 124)" \
    '^hang: no end within 200 s \(step: downloads\)$'

run_output $'step: load\nterminate called after throwing an instance of \'std::bad_alloc\'\n  what():  std::bad_alloc'
expect "an abort is a crash, with what ended it" "$(verdict "$work" 134)" \
    "^crash: signal 6, terminate called after throwing an instance of 'std::bad_alloc' \\(step: load\\)$"

run_output "$(printf '%s\n' '==5==ERROR: AddressSanitizer: heap-use-after-free on address 0x602000000010' \
    "    #0 0x7f00000010 in ReturnResult(ClientEngine&, char*, int) $repo/src/exchange/retrieve.cpp:120" \
    "    #1 0x7f00000020 in Read_Message1 $repo/src/frame/exports.cpp:44")"
expect "ASan's report: its kind and the first frame in the sources" "$(verdict "$work" 1)" \
    '^ASan heap-use-after-free in ReturnResult \(retrieve\.cpp:120\)$'

run_output "$repo/src/exchange/queue_table.cpp:83:56: runtime error: store to null pointer of type 'struct MESSAGE_QUEUE'"
expect "UBSan's report" "$(verdict "$work" 1)" \
    "^UBSan: src/exchange/queue_table\\.cpp:83:56: runtime error: store to null pointer"

run_output $'step: works again\nRESULT: FAILED, the library did not load'
expect "a failed run without a named problem gives its status" "$(verdict "$work" 2)" \
    '^exit status 2: RESULT: FAILED, the library did not load$'

if [ "$failures" -gt 0 ]; then
    echo "$failures checks failed"
    exit 1
fi
echo "all checks passed"
