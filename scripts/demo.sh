#!/usr/bin/env bash
# The demo: a game's part against the reference server on loopback.
#
# Installs the build's packages the first time, builds the library, its
# support library, the reference server and the demo (release preset, quick
# once built), then runs vorel-demo against a vorel-server of its own in
# build/release/demo-run, where GameRun.log and the server's output stay
# for a look afterwards. Exits with the demo's status.
#
#   demo.sh             the Linux build, loaded by the demo host
#   demo.sh --windows   the Windows build (Vorel.dll, Quorvex.dll), loaded by
#                       the Windows test host under Wine, against the same
#                       reference server running natively
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

windows=0
case "${1:-}" in
    "") ;;
    --windows) windows=1 ;;
    *) echo "usage: demo.sh [--windows]" >&2; exit 2 ;;
esac
if [ "$windows" = 1 ]; then
    ./scripts/install-deps.sh || exit 1
else
    ./scripts/install-deps.sh --native || exit 1
fi

# shellcheck source=scripts/lib.sh
. scripts/lib.sh

start=$SECONDS
if [ "$windows" = 1 ]; then
    step "configure (release preset)" cmake --preset release
    step "build vorel-server" cmake --build --preset release --target vorel-server
    step "configure (mingw preset)" cmake --preset mingw
    step "build Vorel.dll, Quorvex.dll and the Windows hosts" cmake --build --preset mingw
    echo "    ready after $((SECONDS - start)) s"
    echo "=== the Windows build under Wine"
    exec ./tests/windows/run-wine-tests.sh build/release build/mingw
fi
step "configure (release preset)" cmake --preset release
step "build Vorel, Quorvex, vorel-server, vorel-demo" \
    cmake --build --preset release --target Vorel Quorvex vorel-server vorel-demo
echo "    ready after $((SECONDS - start)) s"

echo "=== demo"
./tools/demo/run-demo.sh build/release build/release/demo-run
