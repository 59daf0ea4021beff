#!/usr/bin/env bash
# The include-graph check catches what it is there for: on a copy of src/,
# an include that points up the layers, and two modules that include each
# other, each fail the check with a message that names the files.
#
#   include_graph_test.sh SRC_DIR
set -uo pipefail
src=${1:?usage: include_graph_test.sh SRC_DIR}
check=$(dirname "$0")/check-include-graph.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0

# expect_fault NAME FILE LINE EXPECTED-TEXT: plants LINE at the top of FILE
# in a fresh copy and expects the check to fail, printing EXPECTED-TEXT.
expect_fault() {
    local name=$1 file=$2 line=$3 expected=$4 out rc
    rm -rf "$work/src" && cp -r "$src" "$work/src"
    sed -i "1i $line" "$work/src/$file"
    out=$(bash "$check" "$work/src" 2>&1)
    rc=$?
    if [ $rc -ne 0 ] && grep -qF -- "$expected" <<<"$out"; then
        echo "ok    $name"
    else
        echo "FAIL  $name: exit $rc, expected a line with: $expected"
        sed 's/^/      /' <<<"$out"
        status=1
    fi
}

expect_fault "upward include" session/engine.h '#include "frame/app.h"' \
    'upward include: session/engine.h includes "frame/app.h"'
expect_fault "include from the support library into the core" support/hash.cpp '#include "base/lock.h"' \
    'upward include: support/hash.cpp includes "base/lock.h"'
expect_fault "two modules of one folder including each other" session/inbound.h \
    '#include "session/session_thread.h"' 'include loop: '
exit $status
