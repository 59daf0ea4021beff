#!/usr/bin/env bash
# The allocation-failure sweep: runs the whole scenario of a game's use of
# the library (tools/allocsweep/alloc_scenario.cpp: load, engine, log-on,
# requests, a dropped connection and the reconnect, a background and a
# foreground download, the library working again, unload) once without
# failures, to count the allocations that libVorel.so, libVorelCore.so and
# libQuorvex.so make in it, and then once for every N from 1 to that count
# with the Nth allocation failing. Built with AddressSanitizer and
# UndefinedBehaviorSanitizer; a run fails on a code that vorel.h does not
# document, a wrong answer or file, a crash, a hang, a leak at exit after
# the unload, a thread or the core left behind by the unload, or a library
# that does not work again once allocations succeed.
#
#   alloc-sweep.sh [--sample K] [--jobs J] [--only N,N...] [--keep]
#
# --sample K runs K values of N spread evenly over the whole range instead
# of every one; --only the given ones. --jobs runs J scenarios at a time
# (default 4: a run mostly waits on the network and the library's timers).
# --keep keeps the directories of passing runs too.
#
# Prints a line per run (N, the allocation it failed, the verdict), then a
# summary of the failed runs and why, each with the failed allocation's
# place in the source. The last line is "N passed, N failed" (the baseline
# run counts as one); the exit status is non-zero on any failure. The build
# is preset asan in build/asan, or $VOREL_ALLOC_SWEEP_BUILD_DIR; each run's
# output, GameRun.log and downloads stay in BUILD/alloc-sweep/runs/N when
# it fails.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

sample=0
jobs=4
only=""
keep=0
usage() {
    echo "usage: alloc-sweep.sh [--sample K] [--jobs J] [--only N,N...] [--keep]" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case "$1" in
        --sample) [ $# -ge 2 ] || usage; sample=$2; shift 2 ;;
        --jobs) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
        --only) [ $# -ge 2 ] || usage; only=$2; shift 2 ;;
        --keep) keep=1; shift ;;
        *) usage ;;
    esac
done
if ! [[ "$sample" =~ ^[0-9]+$ && "$jobs" =~ ^[1-9][0-9]*$ && "$only" =~ ^[0-9,]*$ ]]; then
    usage
fi

./scripts/install-deps.sh --native || exit 1
build=${VOREL_ALLOC_SWEEP_BUILD_DIR:-build/asan}
echo "=== alloc-sweep: build in $build"
if ! cmake --preset asan -B "$build" >/dev/null ||
    ! cmake --build "$build" --target vorel-alloc-scenario vorel-server; then
    echo "=== FAILED: alloc-sweep build"
    echo "0 passed, 1 failed"
    exit 1
fi
build=$(cd "$build" && pwd)
repo=$(pwd)
# The verdict of a run and the places it names (where, site, leak, verdict).
# shellcheck source=tools/allocsweep/verdict.sh
. tools/allocsweep/verdict.sh
scenario=$build/allocsweep/vorel-alloc-scenario

work=$build/alloc-sweep
rm -rf "$work" && mkdir -p "$work/runs" "$work/www" || exit 1
head -c 262144 /dev/urandom >"$work/www/payload.bin" || exit 1

run_limit=200  # seconds for one run; the scenario's own limit is 150
# Without intercept_tls_get_addr=0, LeakSanitizer's own thread crashes at
# exit on the stale dynamic-TLS records of the unloaded libraries ("Tracer
# caught signal 11") in some runs. Dynamic TLS is still scanned, through the
# threads' static TLS that points to it.
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=0:intercept_tls_get_addr=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# ---- the reference server ---------------------------------------------------------

server_pid=""
stop_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        for _ in $(seq 50); do
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$server_pid" 2>/dev/null
    fi
    server_pid=""
}
trap stop_server EXIT
trap 'exit 130' INT TERM

# Its input is empty: every run provokes what it needs with its requests.
# Started from a subshell, so that waiting for the runs does not wait for it.
server_pid=$("$build/vorel-server" --seconds 14400 --http-dir "$work/www" </dev/null \
    >"$work/server.out" 2>&1 & echo $!)
port=""
http_port=""
for _ in $(seq 100); do
    port=$(sed -n '1s/^vorel-server listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/server.out")
    http_port=$(sed -n '2s/^vorel-server http on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/server.out")
    [ -n "$port" ] && [ -n "$http_port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$port" ] || [ -z "$http_port" ]; then
    echo "=== FAILED: vorel-server did not start:"
    cat "$work/server.out"
    echo "0 passed, 1 failed"
    exit 1
fi

# ---- one run -----------------------------------------------------------------------------

# run_scenario N: runs the scenario failing allocation N in runs/N and
# writes its verdict to runs/N/verdict.
run_scenario() {
    local n=$1 dir=$work/runs/$1 rc
    mkdir -p "$dir"
    # The outer redirection keeps the shell's own word on a crashed run
    # ("Aborted") out of the sweep's output: the verdict says it.
    {
        (cd "$dir" && exec timeout -k 5 "$run_limit" "$scenario" --library "$build/libVorel.so" \
            --port "$port" --url "http://127.0.0.1:$http_port/payload.bin" \
            --file "$work/www/payload.bin" --fail "$n") >"$dir/out.txt" 2>&1
        rc=$?
    } 2>/dev/null
    verdict "$dir" "$rc" >"$dir/verdict"
    if [ "$keep" = 0 ] && [ "$(head -n 1 "$dir/verdict")" = pass ]; then
        # Only what the summary needs.
        find "$dir" -mindepth 1 ! -name verdict ! -name out.txt -exec rm -rf {} + 2>/dev/null
    fi
}

report() {  # report N: the run's line
    local n=$1 dir=$work/runs/$1 what
    what=$(site "$dir/out.txt")
    if grep -q '^failure #[0-9]*: not reached' "$dir/out.txt"; then what="not reached"; fi
    if [ "$(head -n 1 "$dir/verdict")" = pass ]; then
        printf 'N=%-4s pass   %s\n' "$n" "$what"
    else
        printf 'N=%-4s FAILED %s\n' "$n" "$what"
        sed 's/^/         /' "$dir/verdict"
    fi
}

# ---- the baseline, then the sweep ------------------------------------------------------

start=$SECONDS
echo "=== alloc-sweep: the scenario without failures"
run_scenario 0
count=$(sed -n 's/^counted allocations: \([0-9]*\).*/\1/p' "$work/runs/0/out.txt")
if [ "$(head -n 1 "$work/runs/0/verdict")" != pass ] || [ -z "$count" ] || [ "$count" = 0 ]; then
    echo "=== FAILED: the scenario fails without any allocation failing:"
    sed 's/^/   /' "$work/runs/0/verdict"
    echo "   (output in $work/runs/0/out.txt)"
    echo "0 passed, 1 failed"
    exit 1
fi
grep '^counted allocations' "$work/runs/0/out.txt"
echo "    in $((SECONDS - start)) s"

numbers=()
if [ -n "$only" ]; then
    IFS=, read -r -a numbers <<<"$only"
elif [ "$sample" -gt 0 ] && [ "$sample" -lt "$count" ]; then
    # Spread evenly from the first allocation to the last.
    for ((i = 0; i < sample; i++)); do
        if [ "$sample" = 1 ]; then n=1; else n=$((1 + i * (count - 1) / (sample - 1))); fi
        [ "${#numbers[@]}" -gt 0 ] && [ "${numbers[-1]}" = "$n" ] && continue
        numbers+=("$n")
    done
else
    mapfile -t numbers < <(seq 1 "$count")
fi
echo "=== alloc-sweep: ${#numbers[@]} runs, $jobs at a time"

running=0
for n in "${numbers[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
    run_scenario "$n" &
    running=$((running + 1))
done
wait

passed=1  # the baseline
failed=0
unreached=0
failures=()
for n in "${numbers[@]}"; do
    report "$n"
    grep -q '^failure #[0-9]*: not reached' "$work/runs/$n/out.txt" && unreached=$((unreached + 1))
    if [ "$(head -n 1 "$work/runs/$n/verdict")" = pass ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures+=("$n")
    fi
done

echo "=== alloc-sweep: $count allocation points, ${#numbers[@]} runs in $((SECONDS - start)) s"
[ "$unreached" = 0 ] || echo "    $unreached runs made fewer allocations than the baseline: their N was not reached"
if [ "$failed" -gt 0 ]; then
    echo "    failed, with the failed allocation and why (output in $work/runs/N/):"
    for n in "${failures[@]}"; do
        echo "    N=$n: $(site "$work/runs/$n/out.txt")"
        sed 's/^/        /' "$work/runs/$n/verdict"
    done
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
