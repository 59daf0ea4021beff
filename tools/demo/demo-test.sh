#!/usr/bin/env bash
# The demo as a test of the shared library as a game loads it: by dlopen,
# with its exports found by name, against vorel-server on loopback.
#
#   demo-test.sh BUILD_DIR CASE
#
#   pass         the full run: every step went as a game expects, the notices
#                and the downloads included
#   refused      the server knows player with another password: the demo
#                must see the refusal and fail with status 1
#   no-server    nobody listens at the configured address: the demo must
#                give up after its time limit for the log-on, with status 1
#
# The failing cases keep the demo honest: a demo that passes whatever the
# library does would show nothing.
set -uo pipefail

bin=$1
case_name=$2
here=$(cd "$(dirname "$0")" && pwd)
run="$bin/demo-test-$case_name"

expect() {  # expect STATUS TEXT...: the run ended with STATUS and printed every TEXT
    local want=$1 text out status
    shift
    out=$("$here/run-demo.sh" "$bin" "$run" "${args[@]}" 2>&1)
    status=$?
    echo "$out"
    if [ "$status" -ne "$want" ]; then
        echo "demo-test: expected status $want, got $status"
        exit 1
    fi
    for text in "$@"; do
        if ! grep -qF -- "$text" <<<"$out"; then
            echo "demo-test: expected the output to contain: $text"
            exit 1
        fi
    done
}

case "$case_name" in
    pass)
        args=()
        expect 0 "Result: all" "Read_Message2 -> type 400" "dwData 96" "dwData 95" \
            "downloads/background.bin arrived" "DownloadFile(" "dlclose -> 0"
        ;;
    refused)
        args=(--server-args "--user player:another")
        expect 1 "the server refused the log-on (status 1)"
        ;;
    no-server)
        args=(--no-server)
        expect 1 "no answer to the log-on within"
        ;;
    *)
        echo "demo-test: unknown case $case_name" >&2
        exit 2
        ;;
esac
