#!/usr/bin/env bash
# vorel-client-bench --quick as a test: the program runs end to end, every
# check it makes on the answers, notices and log lines holds, and it prints
# the whole table with a figure for both clients where both have one. The
# figures themselves are not judged: speed is for the full run to show.
#
#   client-bench-test.sh BUILD_DIR
set -uo pipefail

bin=$(cd "$1" && pwd) || exit 2
run="$bin/client-bench-test"
rm -rf "$run" && mkdir -p "$run" || exit 2

out=$(cd "$run" && "$bin/bench/vorel-client-bench" --quick 2>&1)
status=$?
echo "$out"
if [ "$status" -ne 0 ]; then
    echo "client-bench-test: expected status 0, got $status"
    exit 1
fi

number='[0-9][0-9,]*(\.[0-9]+)?'
both="\\| $number \\| $number \\| [0-9][0-9,.]* \\|$"   # library, raw, ratio
library_only="\\| $number \\| - \\| - \\|$"
fail=0
expect() {  # expect REGEX: some line of the output matches
    if ! grep -qE -- "$1" <<<"$out"; then
        echo "client-bench-test: expected a line matching: $1"
        fail=1
    fi
}
expect '^\| measure \| library \| raw \| library / raw \|$'
expect "^\\| round trip p50 \\(ms\\) $both"
expect "^\\| round trip p99 \\(ms\\) $both"
for n in 1,000 5,000; do
    expect "^\\| pipelined $n: answers/s $both"
    expect "^\\| pipelined $n: CPU per answer, process \\(us\\) $both"
    expect "^\\| pipelined $n: CPU per answer, library's threads \\(us\\) $library_only"
done
for kind in 'a drop' 'a disconnect notice' 'an unknown identifier' 'a failed send'; do
    expect "^\\| reconnects after $kind: longest Write_Message1 \\(ms\\) $library_only"
    expect "^\\| reconnects after $kind: longest Read_Message1, limit 0 \\(ms\\) $library_only"
    expect "^\\| reconnects after $kind: logged on again with an answer, median \\(ms\\) $library_only"
    expect "^\\| reconnects after $kind: log-ons made at the notice and lost $library_only"
done
expect "^\\| 2,000 requests, 1 drops: logged on again with an answer after a drop, median \\(ms\\) $both"
expect "^\\| idle: wake-ups a second \\| $number \\| $number \\|"
expect "^\\| idle: CPU \\(ms a second\\) \\| $number \\| $number \\|"
for what in 'open descriptors' threads 'resident size \(MiB\)'; do
    expect "^\\| $what, before the requests and drops $both"
    expect "^\\| $what, after them $both"
done
expect '^quick run in [0-9]+ s; every check held$'
exit $fail
