#!/usr/bin/env bash
# The library side by side with a raw-socket client of our own, against the
# reference server on loopback: round trips, pipelined answers a second, CPU
# per answer, the longest export calls while the connection is rebuilt, idle
# wake-ups, and descriptors, threads and resident size over many requests
# and drops. Prints one table (library | raw | library / raw); see
# docs/performance.md and bench/client_bench.cpp.
#
#   bench.sh [--quick] [--build-dir DIR] [-- VOREL_CLIENT_BENCH_ARGS...]
#
# Builds the release preset (build/release), or a release build in DIR, and
# runs vorel-client-bench in BUILD/bench-run, where GameRun.log and the two
# servers' output stay. A full run takes about ten minutes, most of it
# reconnect pauses and the idle minutes; --quick takes some seconds and
# shows only that everything works. Exits with the program's status.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

quick=()
build_dir=
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) quick=(--quick); shift ;;
        --build-dir) build_dir=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: bench.sh [--quick] [--build-dir DIR] [-- VOREL_CLIENT_BENCH_ARGS...]" >&2
           exit 2 ;;
    esac
done
./scripts/install-deps.sh --native || exit 1

# shellcheck source=scripts/lib.sh
. scripts/lib.sh

start=$SECONDS
targets=(Vorel VorelCore Quorvex vorel-server vorel-client-bench)
if [ -z "$build_dir" ]; then
    build=$PWD/build/release
    step "configure (release preset)" cmake --preset release
    step "build ${targets[*]}" cmake --build --preset release --target "${targets[@]}"
else
    mkdir -p "$build_dir" || exit 1
    build=$(cd "$build_dir" && pwd)
    if [ ! -f "$build/CMakeCache.txt" ]; then
        step "configure (release, in $build)" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
    fi
    step "build ${targets[*]}" cmake --build "$build" --target "${targets[@]}"
fi
echo "    ready after $((SECONDS - start)) s"

run=$build/bench-run
rm -rf "$run" && mkdir -p "$run" || exit 1
echo "=== vorel-client-bench ${quick[*]} $*, in $run"
(cd "$run" && exec "$build/bench/vorel-client-bench" "${quick[@]}" "$@")
status=$?
echo "=== bench: $((SECONDS - start)) s in all, status $status"
exit $status
