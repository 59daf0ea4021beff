# shellcheck shell=bash
# shellcheck disable=SC2154  # $run and the Wine environment are run-wine-tests.sh's
# The reference server built for Windows (the mingw-tools preset), under
# Wine: a program that needs no DLL of the compiler's, --version, --help and
# a bad --bind as a user meets them, --seconds, the Windows test host's whole
# run against it in place of the native server (log-on, requests from
# several threads, pushed messages, the disconnect notice, a dropped
# connection, downloads over its HTTP listener), and the commands on its
# input, which a client on this side of Wine watches on the wire.
#
# Sourced by run-wine-tests.sh, whose check, add_summary, $run, $objdump and
# Wine environment it uses; $server_exe is the path of vorel-server.exe.
# Its own names start with ws_.

ws_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ws_version=$(sed -n 's/^project(Vorel VERSION \([0-9][0-9.]*\).*/\1/p' "$ws_repo/CMakeLists.txt")

# ws_exe NAME ARGS...: runs vorel-server.exe in $run with its input closed;
# the status in ws_status, standard output and error (CR LF made LF) in
# $run/ws-NAME.out and $run/ws-NAME.err.
ws_exe() {
    local name=$1
    shift
    (cd "$run" && timeout 120 wine vorel-server.exe "$@") </dev/null \
        >"$run/ws-$name.raw-out" 2>"$run/ws-$name.raw-err"
    ws_status=$?
    tr -d '\r' <"$run/ws-$name.raw-out" >"$run/ws-$name.out"
    tr -d '\r' <"$run/ws-$name.raw-err" >"$run/ws-$name.err"
}

# ws_wait_for SECONDS COMMAND...: true once COMMAND holds, checked every
# tenth of a second.
ws_wait_for() {
    local tenths=$(($1 * 10))
    shift
    for _ in $(seq "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

ws_server_says() { tr -d '\r' <"$run/ws-server.out" | grep -q -- "$1"; }
ws_accepted() { tr -d '\r' <"$run/ws-server.out" | grep -c ' accepted$'; }
ws_accepted_more_than() { [ "$(ws_accepted)" -gt "$1" ]; }
ws_can_connect() { timeout 5 bash -c "exec 5<>/dev/tcp/127.0.0.1/$ws_port" 2>/dev/null; }
ws_refused() { ! ws_can_connect; }
ws_hex() { od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }

if [ ! -f "${server_exe:-}" ]; then
    fail "vorel-server.exe not found (${server_exe:-server_exe unset}): build the mingw-tools preset"
else
    cp "$server_exe" "$run/vorel-server.exe"

    # --- the program and its command line -------------------------------------
    ws_objdump=${objdump:-i686-w64-mingw32-objdump}
    check "vorel-server.exe is PE32 for i386" \
        sh -c "'$ws_objdump' -f '$server_exe' | grep -q 'file format pei-i386'"
    ws_imports=$("$ws_objdump" -p "$server_exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
        tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
    check "vorel-server.exe imports only system DLLs ($ws_imports)" \
        sh -c "[ -n '$ws_imports' ] && ! echo '$ws_imports' | grep -Eq 'libgcc|libstdc|libwinpthread|quorvex|vorel'"

    ws_exe version --version
    check "vorel-server.exe --version: status 0, 'vorel-server $ws_version' on standard output" \
        sh -c "[ $ws_status -eq 0 ] && [ \"\$(cat '$run/ws-version.out')\" = 'vorel-server $ws_version' ]"
    ws_exe help --help
    check "vorel-server.exe --help: status 0, the usage on standard output" \
        sh -c "[ $ws_status -eq 0 ] && grep -q '^usage: vorel-server ' '$run/ws-help.out' &&
            grep -q -- '--bind ADDRESS ' '$run/ws-help.out'"
    ws_exe bad-bind --bind 10.1.2 --seconds 5
    check "vorel-server.exe --bind 10.1.2: status 2, refused on standard error" \
        sh -c "[ $ws_status -eq 2 ] &&
            grep -q '^vorel-server: --bind: not a dotted IPv4 address.*10\.1\.2$' '$run/ws-bad-bind.err' &&
            ! grep -q listening '$run/ws-bad-bind.out'"
    ws_exe seconds --port 0 --seconds 2
    check "vorel-server.exe --port 0 --seconds 2: listens, stops by itself, status 0" \
        sh -c "[ $ws_status -eq 0 ] &&
            sed -n 1p '$run/ws-seconds.out' | grep -Eq '^vorel-server listening on 127\.0\.0\.1:[1-9][0-9]*$' &&
            tail -n 1 '$run/ws-seconds.out' | grep -q '^vorel-server stopped after 0 connections$'"

    # Ctrl-C: Wine hands SIGINT to a console program as Ctrl-C.
    (cd "$run" && exec wine vorel-server.exe --port 0 --seconds 60) </dev/null \
        >"$run/ws-ctrl-c.raw-out" 2>&1 &
    ws_pid=$!
    ws_listening() { tr -d '\r' <"$run/ws-ctrl-c.raw-out" | grep -q '^vorel-server listening on '; }
    ws_ended() { ! kill -0 "$ws_pid" 2>/dev/null; }
    ws_wait_for 60 ws_listening
    kill -INT "$ws_pid" 2>/dev/null
    ws_wait_for 20 ws_ended
    kill "$ws_pid" 2>/dev/null
    wait "$ws_pid"
    ws_status=$?
    check "vorel-server.exe stops cleanly on Ctrl-C (status $ws_status)" \
        sh -c "[ $ws_status -eq 0 ] && tr -d '\r' <'$run/ws-ctrl-c.raw-out' |
            grep -q '^vorel-server stopped after 0 connections$'"

    # --- the server at work -----------------------------------------------------
    # Its input is a FIFO held open here, so that commands can be typed and
    # the input never ends by itself; --seconds bounds the run whatever
    # happens.
    rm -f "$run/ws-control" "$run/GameRun.log"
    mkfifo "$run/ws-control"
    exec {ws_control}<>"$run/ws-control"
    (cd "$run" && exec timeout 400 wine vorel-server.exe --port 0 --http-port 0 --http-dir www \
        --seconds 300 --verbose) <"$run/ws-control" >"$run/ws-server.out" 2>&1 &
    ws_pid=$!
    ws_port=""
    ws_http_port=""
    ws_ports() {
        ws_port=$(tr -d '\r' <"$run/ws-server.out" |
            sed -n 's/^vorel-server listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p')
        ws_http_port=$(tr -d '\r' <"$run/ws-server.out" |
            sed -n 's/^vorel-server http on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p')
        [ -n "$ws_port" ] && [ -n "$ws_http_port" ]
    }
    ws_wait_for 60 ws_ports
    check "vorel-server.exe prints its listening and http lines" test -n "$ws_port" -a -n "$ws_http_port"
    if [ -z "$ws_port" ] || [ -z "$ws_http_port" ]; then
        tr -d '\r' <"$run/ws-server.out" | sed 's/^/      /'
    else
        # The Windows game's whole run, against this server.
        (cd "$run" && timeout 300 wine vorel-wine-host.exe "$ws_port" \
            "http://127.0.0.1:$ws_http_port/file.bin" 1048576) >"$run/ws-host.out" 2>&1
        ws_host_status=$?
        tr -d '\r' <"$run/ws-host.out" | sed 's/^/[windows server] /'
        add_summary "[windows server] the host" "$run/ws-host.out" "$ws_host_status"

        # The commands, as a client on this side sees them. The server takes
        # a connection a moment after the client's connect returns: its
        # "accepted" line tells when.
        ws_before=$(ws_accepted)
        exec {ws_sock}<>"/dev/tcp/127.0.0.1/$ws_port"
        ws_wait_for 10 ws_accepted_more_than "$ws_before"
        echo "push 401 401 0 news hello" >&"$ws_control"
        ws_bytes=$(timeout 10 head -c 32 <&"$ws_sock" | ws_hex)
        # Length 32, type 401 (0x191), the marker, then the text.
        check "push: a packet of type 401 with the text" test "$ws_bytes" = \
            "20 00 00 00 00 00 00 00 91 01 00 00 7e 00 00 00 $(printf '401 0 news hello' | ws_hex)"
        echo "disconnect" >&"$ws_control"
        ws_bytes=$(timeout 10 head -c 16 <&"$ws_sock" | ws_hex)
        check "disconnect: the notice, type 96, header only" test "$ws_bytes" = \
            "10 00 00 00 00 00 00 00 60 00 00 00 7e 00 00 00"
        echo "drop" >&"$ws_control"
        # No byte, and the end of the stream rather than a time-out.
        ws_bytes=$(timeout 10 head -c 1 <&"$ws_sock"; echo "status $?")
        check "drop: the connection ends" test "$ws_bytes" = "status 0"
        exec {ws_sock}<&-
        echo "fault refuse" >&"$ws_control"
        check "fault refuse: connections are refused" ws_wait_for 10 ws_refused
        echo "fault none" >&"$ws_control"
        check "fault none: it listens again on the same port" ws_wait_for 10 ws_can_connect
        echo "no-such-command" >&"$ws_control"
        check "an unknown command is answered" \
            ws_wait_for 10 ws_server_says '^unknown command: no-such-command$'
    fi

    echo "quit" >&"$ws_control"
    ws_wait_for 30 ws_ended
    check "quit on its input stops it" ws_ended
    kill "$ws_pid" 2>/dev/null
    wait "$ws_pid"
    ws_status=$?
    check "quit: status 0 and the stopped line with the http requests" \
        sh -c "[ $ws_status -eq 0 ] && tr -d '\r' <'$run/ws-server.out' |
            grep -Eq '^vorel-server stopped after [1-9][0-9]* connections and [1-9][0-9]* http requests$'"
    exec {ws_control}>&-
fi
