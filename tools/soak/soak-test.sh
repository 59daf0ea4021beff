#!/usr/bin/env bash
# The soak as a test: a few drop/reconnect cycles, and the same with leaks
# made on purpose, which the soak must catch. A soak that passes whatever
# the process holds would show nothing.
#
#   soak-test.sh BUILD_DIR CASE
#
#   flat    3 cycles: status 0, every figure flat
#   leaks   3 cycles, each leaking a descriptor, a thread and 64 KiB: status
#           1, each of the three figures reported as grown
set -uo pipefail

bin=$(cd "$1" && pwd) || exit 2
case_name=$2
run="$bin/soak-test-$case_name"
rm -rf "$run" && mkdir -p "$run" || exit 2

expect() {  # expect STATUS TEXT...: the run ended with STATUS and printed every TEXT
    local want=$1 out status text
    shift
    out=$(cd "$run" && "$bin/soak/vorel-soak" --server "$bin/vorel-server" --cycles 3 "${args[@]}" 2>&1)
    status=$?
    echo "$out"
    if [ "$status" -ne "$want" ]; then
        echo "soak-test: expected status $want, got $status"
        exit 1
    fi
    for text in "$@"; do
        if ! grep -qE -- "$text" <<<"$out"; then
            echo "soak-test: expected the output to match: $text"
            exit 1
        fi
    done
}

case "$case_name" in
    flat)
        args=()
        expect 0 "^Result: flat over 3 drop/reconnect cycles" "unload .*: released"
        ;;
    leaks)
        args=(--inject-leak fd,thread,heap)
        expect 1 "^ +fds +start [0-9]+, end [0-9]+ \(\+3\).*: GREW" \
            "^ +threads +start [0-9]+, end [0-9]+ \(\+3\).*: GREW" \
            "^ +heap .*: GREW" "new descriptor: /dev/null" "new thread: " "unload .*: released" \
            "^Result: FAILED"
        ;;
    *)
        echo "soak-test: unknown case $case_name" >&2
        exit 2
        ;;
esac
