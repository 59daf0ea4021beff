#!/usr/bin/env bash
# The soak: drop/reconnect cycles (100 by default) against the reference
# server, with the library loaded at run time as a game loads it. Each cycle
# the server drops the connection, the game's window hears of it, the game
# logs on again and makes its requests; open descriptors, threads and heap
# are measured at the start and after every cycle, and the run fails when
# any of them grows beyond its small tolerance, or when the unload does not
# give back what the library took. See tools/soak/soak.cpp.
#
#   soak.sh [--cycles N] [--preset NAME] [-- VOREL_SOAK_ARGS...]
#
# Builds the given preset (release by default: the library as it ships) and
# runs vorel-soak in build/PRESET/soak-run, where its GameRun.log and the
# server's output (server.out) stay. About 1.6 s a cycle. Exits with the
# soak's status.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

cycles=100
preset=release
while [ $# -gt 0 ]; do
    case "$1" in
        --cycles) cycles=$2; shift 2 ;;
        --preset) preset=$2; shift 2 ;;
        --) shift; break ;;
        *) echo "usage: soak.sh [--cycles N] [--preset NAME] [-- VOREL_SOAK_ARGS...]" >&2; exit 2 ;;
    esac
done
./scripts/install-deps.sh --native || exit 1

# shellcheck source=scripts/lib.sh
. scripts/lib.sh

start=$SECONDS
step "configure ($preset preset)" cmake --preset "$preset"
step "build Vorel, Quorvex, vorel-server, vorel-soak" \
    cmake --build --preset "$preset" --target Vorel VorelCore Quorvex vorel-server vorel-soak
echo "    ready after $((SECONDS - start)) s"

build=$PWD/build/$preset
run=$build/soak-run
rm -rf "$run" && mkdir -p "$run" || exit 1
echo "=== soak: $cycles drop/reconnect cycles, in $run"
(cd "$run" && exec "$build/soak/vorel-soak" --server "$build/vorel-server" --cycles "$cycles" "$@")
status=$?
echo "=== soak: $((SECONDS - start)) s in all, status $status"
exit $status
