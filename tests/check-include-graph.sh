#!/usr/bin/env bash
# The include graph of src/: every #include "..." between files of src/ points
# down the layers, and no files form a loop.
#
# Layers, top to bottom (a folder of src/ each; platform/posix and
# platform/win32 belong to platform):
#   frame download session exchange base support platform
# An include may name a file of its own folder or of a folder further down.
# A loop is counted between modules, a module being a .h and its .cpp: so
# a.cpp including b.h while b.cpp includes a.h is a loop, as two headers
# including each other would be. Includes that name no file of src/ (the
# system's, the public headers under include/) are not part of the graph.
#
# Usage: check-include-graph.sh SRC_DIR
# Prints each fault on a line of its own and exits 1 when there is one.
set -euo pipefail

src=${1:?usage: check-include-graph.sh SRC_DIR}
cd "$src"
layers="frame download session exchange base support platform"

# One line per include between files of src/: "FROM TO".
edges=$(
    find . -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) | sed 's|^\./||' | sort |
        while IFS= read -r file; do
            sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1/p' "$file" |
                while IFS= read -r inc; do
                    if [ -f "$inc" ]; then
                        echo "$file $inc"
                    elif [ -f "$(dirname "$file")/$inc" ]; then
                        echo "$file $(dirname "$file")/$inc"
                    fi
                done
        done
)

awk -v layers="$layers" '
function rank(path,    top) {
    top = path
    sub(/\/.*/, "", top)
    return (top in order) ? order[top] : -1
}
function module(path) {
    sub(/\.(h|cpp|c)$/, "", path)
    return path
}
# Depth-first search; state 1 = on the current path, 2 = done.
function visit(m,    i, n, next_m) {
    state[m] = 1
    stack[++depth] = m
    n = nout[m]
    for (i = 1; i <= n; i++) {
        next_m = out[m, i]
        if (state[next_m] == 1) {
            report_loop(next_m)
        } else if (state[next_m] == 0) {
            visit(next_m)
        }
    }
    depth--
    state[m] = 2
}
function report_loop(start,    i, j, text, how) {
    for (i = depth; i > 0 && stack[i] != start; i--) {}
    text = ""
    how = ""
    for (j = i; j <= depth; j++) {
        text = text stack[j] " -> "
        nxt = (j < depth) ? stack[j + 1] : start
        how = how "\n    " why[stack[j], nxt]
    }
    print "include loop: " text start how
    faults++
}
BEGIN {
    n = split(layers, names, " ")
    for (i = 1; i <= n; i++) order[names[i]] = i
    faults = 0
}
{
    from = $1; to = $2
    if (rank(from) < 0) { print "not in a layer: " from; faults++; next }
    if (rank(to) < 0) { print "not in a layer: " to " (included by " from ")"; faults++; next }
    if (rank(to) < rank(from)) {
        print "upward include: " from " includes \"" to "\" (" substr(to, 1, index(to, "/") - 1) \
              " is above " substr(from, 1, index(from, "/") - 1) ")"
        faults++
    }
    mf = module(from); mt = module(to)
    if (mf == mt) next
    if (!((mf, mt) in why)) {
        why[mf, mt] = from " includes \"" to "\""
        out[mf, ++nout[mf]] = mt
        state[mf] = state[mf] + 0; state[mt] = state[mt] + 0
        mods[mf] = 1; mods[mt] = 1
    }
}
END {
    for (m in mods) if (state[m] == 0) visit(m)
    if (faults > 0) {
        print faults " fault(s) in the include graph; layers from the top: " layers
        exit 1
    }
    print "include graph: " NR " includes, all pointing down (" layers "), no loop"
}' <<<"$edges"
