#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan + UBSan) and runs
# each for SECONDS (default 600) from its seeds and dictionary in
# tests/fuzz/, one after the other. Prints per target the executions, their
# rate, the coverage reached and the corpus size; any crash, leak, time-out
# or failed check counts as a failure and is kept with the command that
# replays it. The last line is "N passed, N failed"; the exit status is
# non-zero on any failure.
#
#   fuzz.sh [SECONDS] [TARGET...]    targets: inbound framer codec split config refserver
#
# The corpora grow in BUILD/work/corpus/TARGET across runs (the seeds are
# only read); logs and crash files go to BUILD/work/. BUILD is build/fuzz,
# or $VOREL_FUZZ_BUILD_DIR when set.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
shift $(( $# > 0 ? 1 : 0 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(inbound framer codec split config refserver)
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: $0 [SECONDS] [TARGET...]" >&2
    exit 2
fi

./scripts/install-deps.sh --native || exit 1
build=${VOREL_FUZZ_BUILD_DIR:-build/fuzz}
echo "=== fuzz: build in $build"
if ! cmake --preset fuzz -B "$build" >/dev/null || ! cmake --build "$build" --target vorel-fuzzers; then
    echo "=== FAILED: fuzz build"
    echo "0 passed, ${#targets[@]} failed"
    exit 1
fi

work=$build/work
mkdir -p "$work/logs" "$work/crashes"

# Inputs of the inbound and server targets reach a whole packet of 65,536
# bytes; the codec's up to an encoded request.
max_len() {
    case "$1" in
        inbound | framer | refserver) echo 70000 ;;
        codec) echo 16384 ;;
        *) echo 4096 ;;
    esac
}

passed=0
failed=0
summary=()
for target in "${targets[@]}"; do
    binary=$build/tests/fuzz/vorel-fuzz-$target
    if [ ! -x "$binary" ]; then
        echo "=== FAILED: no fuzz target $target"
        failed=$((failed + 1))
        continue
    fi
    corpus=$work/corpus/$target
    log=$work/logs/$target.log
    mkdir -p "$corpus"
    rm -f "$work/crashes/$target-"*
    options=(-max_total_time="$seconds" -timeout=10 -max_len="$(max_len "$target")"
             -print_final_stats=1 -artifact_prefix="$work/crashes/$target-")
    [ -f "tests/fuzz/$target.dict" ] && options+=(-dict="tests/fuzz/$target.dict")
    echo "=== fuzz: $target for ${seconds} s"
    "$binary" "${options[@]}" "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1
    rc=$?

    execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log" | tail -1)
    rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$log" | tail -1)
    # "#579154  DONE   cov: 444 ft: 1770 corp: 250/19Kb ..." (or the last
    # progress line when the run stopped early)
    progress=$(grep -aE '^#[0-9]+.*cov: [0-9]+' "$log" | tail -1)
    cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$progress")
    ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$progress")
    corp=$(sed -nE 's/.* corp: ([0-9]+\/[0-9]+[a-zA-Z]*).*/\1/p' <<<"$progress")
    line="$target: ${execs:-?} runs, ${rate:-?}/s, cov ${cov:-?}, ft ${ft:-?}, corpus ${corp:-?} ($(find "$corpus" -type f | wc -l) files kept)"
    crashes=$(find "$work/crashes" -name "$target-*" -type f | sort)
    if [ "$rc" -eq 0 ] && [ -z "$crashes" ]; then
        # Keeps the corpus small: only inputs that add coverage stay.
        rm -rf "$corpus.merged" && mkdir -p "$corpus.merged"
        if "$binary" -merge=1 -timeout=10 -max_len="$(max_len "$target")" "$corpus.merged" \
            "$corpus" >>"$log" 2>&1; then
            rm -rf "$corpus" && mv "$corpus.merged" "$corpus"
        else
            rm -rf "$corpus.merged"
        fi
        line="$line, $(find "$corpus" -type f | wc -l) after merging"
        passed=$((passed + 1))
        summary+=("$line")
        echo "$line"
    else
        failed=$((failed + 1))
        summary+=("$line: FAILED (exit $rc)")
        echo "=== FAILED: $target (exit $rc), log $log"
        grep -aE 'ERROR: |check failed|SUMMARY: ' "$log" | head -5
        for crash in $crashes; do
            echo "    replay: $binary $crash"
        done
    fi
done

echo "=== fuzz: summary"
printf '%s\n' "${summary[@]}"
echo "${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
