#!/usr/bin/env bash
# Runs vorel-demo against a vorel-server of its own on loopback.
#
#   run-demo.sh BUILD_DIR RUN_DIR [--server-args "ARGS"] [--no-server] [-- DEMO_ARGS...]
#
# BUILD_DIR holds vorel-server, vorel-demo and libVorel.so. RUN_DIR is made
# afresh: the demo runs there (its GameRun.log is its own), and the server's
# output and command FIFO live there too. The server gets a free port and
# --seconds as a safety limit; serverConfigs.ini beside vorel-demo gets its
# address. --no-server points the library at a port nobody listens on.
# Exits with the demo's status; the server is stopped however the run ends.
set -uo pipefail

if [ $# -lt 2 ]; then
    echo "usage: run-demo.sh BUILD_DIR RUN_DIR [--server-args \"ARGS\"] [--no-server] [-- DEMO_ARGS...]" >&2
    exit 2
fi
bin=$(cd "$1" && pwd) || exit 2
run=$2
shift 2
server_args=""
with_server=1
while [ $# -gt 0 ]; do
    case "$1" in
        --server-args) server_args=$2; shift 2 ;;
        --no-server) with_server=0; shift ;;
        --) shift; break ;;
        *) echo "run-demo.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

server_seconds=170  # longer than the demo's own limit, so the demo fails first
demo_seconds=180

case "$run" in
    "" | / | . | ..) echo "run-demo.sh: RUN_DIR must be a directory of its own" >&2; exit 2 ;;
esac
rm -rf "$run" && mkdir -p "$run" || exit 2
run=$(cd "$run" && pwd)

server_pid=""
stop_server() {  # asks the server to stop, and makes sure it has within 5 s
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        for _ in $(seq 50); do
            kill -0 "$server_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    server_pid=""
}
trap stop_server EXIT
trap 'exit 130' INT TERM

demo_args=()
if [ "$with_server" = 1 ]; then
    # The server reads its commands from a FIFO that this script holds open
    # for reading and writing: the open never blocks, the server never sees
    # the end of its input, and the demo can write commands into it.
    mkfifo "$run/server-control" || exit 2
    exec 3<>"$run/server-control"
    # shellcheck disable=SC2086  # the server's arguments are split on purpose
    "$bin/vorel-server" --seconds "$server_seconds" $server_args <"$run/server-control" >"$run/server.out" 2>&1 &
    server_pid=$!
    port=""
    for _ in $(seq 100); do
        port=$(head -n 1 "$run/server.out" 2>/dev/null | sed -n 's/^vorel-server listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p')
        [ -n "$port" ] && break
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$port" ]; then
        echo "run-demo.sh: vorel-server did not start:" >&2
        cat "$run/server.out" >&2
        exit 2
    fi
    echo "vorel-server (pid $server_pid) listening on 127.0.0.1:$port, output in $run/server.out"
    demo_args+=(--server-control "$run/server-control")
else
    port=1  # nobody listens there
    echo "no server: the library is pointed at 127.0.0.1:$port"
fi

printf '[Lumaro_COM]\r\nConfigInfo=127.0.0.1 %s\r\n' "$port" >"$bin/serverConfigs.ini"

(cd "$run" && exec timeout --foreground --kill-after=5 "$demo_seconds" "$bin/vorel-demo" "$bin/libVorel.so" "${demo_args[@]}" "$@")
status=$?
stop_server
if [ -f "$run/server.out" ]; then
    tail -n 1 "$run/server.out"
fi
exit $status
