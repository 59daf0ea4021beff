#!/usr/bin/env bash
# vorel-server as a user or a script meets it: --help and --version on
# standard output with status 0, a bad command line on standard error with
# status 2, and --bind: the address it listens on, printed in the line that
# scripts read, and refused when it is not a dotted IPv4 address.
#
#   server_cli_test.sh VOREL_SERVER VERSION
set -uo pipefail
if [ $# -ne 2 ]; then
    echo "usage: server_cli_test.sh VOREL_SERVER VERSION" >&2
    exit 2
fi
server=$1
version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=tests/checks.sh
. "$(dirname "$0")/checks.sh"

# run ARGS...: runs the server with its input closed; status, standard
# output and standard error in $status, $work/out and $work/err.
run() {
    timeout 20 "$server" "$@" </dev/null >"$work/out" 2>"$work/err"
    status=$?
}
out_has() { grep -q -- "$1" "$work/out"; }
err_has() { grep -q -- "$1" "$work/err"; }
is_empty() { [ ! -s "$1" ]; }

run --help
check "--help: status 0" test "$status" -eq 0
check "--help: the usage on standard output" out_has '^usage: vorel-server '
check "--help: every option explained" sh -c "grep -q -- '--bind ADDRESS ' '$work/out' &&
    grep -q -- '--version ' '$work/out' && grep -q -- '--http-rate BYTES ' '$work/out'"
check "--help: nothing on standard error" is_empty "$work/err"

run --version
check "--version: status 0" test "$status" -eq 0
check "--version: 'vorel-server $version' and nothing else" \
    test "$(cat "$work/out")" = "vorel-server $version"
check "--version: nothing on standard error" is_empty "$work/err"

run --bogus
check "an unknown option: status 2" test "$status" -eq 2
check "an unknown option: named on standard error" err_has '^vorel-server: unknown option: --bogus$'
check "an unknown option: the usage on standard error" err_has '^usage: vorel-server '
check "an unknown option: nothing on standard output" is_empty "$work/out"

run --port 80x
check "a malformed port: status 2" test "$status" -eq 2
check "a malformed port: named on standard error" err_has '--port: .*80x'

run --seconds
check "a missing value: status 2" test "$status" -eq 2
check "a missing value: named on standard error" err_has '^vorel-server: --seconds needs a value$'

run --bind 10.1.2
check "--bind 10.1.2: status 2" test "$status" -eq 2
check "--bind 10.1.2: not a dotted IPv4 address" err_has '^vorel-server: --bind: not a dotted IPv4 address.*10\.1\.2$'
check "--bind 10.1.2: nothing listens" sh -c "! grep -q listening '$work/out'"

# 192.0.2.1 is reserved for documentation: no machine has it.
run --bind 192.0.2.1
check "--bind on an address not this machine's: status 1" test "$status" -eq 1
check "--bind on an address not this machine's: says so" \
    err_has '^vorel-server: cannot listen on 192\.0\.2\.1:0: not an address of this machine$'

# The default and --bind 127.0.0.1 print the very line that scripts parse.
for args in "" "--bind 127.0.0.1"; do
    # shellcheck disable=SC2086
    run $args --seconds 1
    check "[${args:-default}] stops after --seconds with status 0" test "$status" -eq 0
    check "[${args:-default}] first line: listening on 127.0.0.1:PORT" \
        sh -c "sed -n 1p '$work/out' | grep -Eq '^vorel-server listening on 127\.0\.0\.1:[1-9][0-9]*$'"
    check "[${args:-default}] last line: stopped" \
        sh -c "tail -n 1 '$work/out' | grep -q '^vorel-server stopped after 0 connections$'"
done

# Both listeners on another address of this machine (every 127.x.x.x is
# Linux's own), and only there.
mkdir -p "$work/www" && echo hello >"$work/www/hello.txt"
mkfifo "$work/control"
exec 3<>"$work/control"
"$server" --bind 127.0.0.2 --http-dir "$work/www" --seconds 60 <"$work/control" >"$work/bound" 2>&1 &
pid=$!
port=""
http_port=""
for _ in $(seq 100); do
    port=$(sed -n 's/^vorel-server listening on 127\.0\.0\.2:\([0-9][0-9]*\)$/\1/p' "$work/bound")
    http_port=$(sed -n 's/^vorel-server http on 127\.0\.0\.2:\([0-9][0-9]*\)$/\1/p' "$work/bound")
    [ -n "$port" ] && [ -n "$http_port" ] && break
    sleep 0.1
done
check "--bind 127.0.0.2: both lines name 127.0.0.2" test -n "$port" -a -n "$http_port"
if [ -n "$port" ] && [ -n "$http_port" ]; then
    connects() { timeout 5 bash -c "exec 5<>/dev/tcp/$1/$2" 2>/dev/null; }
    check "--bind 127.0.0.2: the protocol port takes connections there" connects 127.0.0.2 "$port"
    check "--bind 127.0.0.2: and none on 127.0.0.1" sh -c "! timeout 5 bash -c 'exec 5<>/dev/tcp/127.0.0.1/$port' 2>/dev/null"
    fetched=$(timeout 5 bash -c "exec 5<>/dev/tcp/127.0.0.2/$http_port &&
        printf 'GET /hello.txt HTTP/1.1\r\nHost: x\r\n\r\n' >&5 && tail -n 1 <&5")
    check "--bind 127.0.0.2: the HTTP listener serves there" test "$fetched" = "hello"
    check "--bind 127.0.0.2: and not on 127.0.0.1" sh -c "! timeout 5 bash -c 'exec 5<>/dev/tcp/127.0.0.1/$http_port' 2>/dev/null"
fi
echo quit >&3
ended=no
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || { ended=yes; break; }
    sleep 0.1
done
check "quit on standard input stops it" test "$ended" = yes
kill "$pid" 2>/dev/null
wait "$pid"
check "quit: status 0" test $? -eq 0
check "quit: the stopped line counts the connections and the request" \
    grep -q '^vorel-server stopped after 1 connections and 1 http requests$' "$work/bound"
exec 3>&-

if [ "$failed" -ne 0 ]; then
    echo "$failed failed"
    exit 1
fi
echo "all passed"
