#!/usr/bin/env bash
# The installed tree as a game's build uses it. Installs the build into a
# temporary prefix and checks its layout (what is there, what must not be,
# no path into the build tree), then builds tests/install/consumer with
# find_package(Vorel) and consumer.c with the flags of `pkg-config vorel`,
# and runs both against the installed objects only: no library path into
# the build tree, and every Vorel object the process maps lies in the
# prefix. Exits 0 when all holds, 77 (a skip) when pkg-config is missing.
#
#   install-test.sh --build DIR --source DIR --libdir DIR --includedir DIR
#                   --bindir DIR --version X.Y.Z --cc CC --cxx CXX --flags FLAGS
#
# The directories are relative to the prefix, as GNUInstallDirs gives them;
# FLAGS are the build's compile flags that a consumer must share (-m32, the
# sanitizers).
set -uo pipefail

while [ $# -gt 0 ]; do
    case "$1" in
        --build) build=$2 ;;
        --source) source=$2 ;;
        --libdir) libdir=$2 ;;
        --includedir) includedir=$2 ;;
        --bindir) bindir=$2 ;;
        --version) version=$2 ;;
        --cc) cc=$2 ;;
        --cxx) cxx=$2 ;;
        --flags) flags=$2 ;;
        *) echo "install-test: unknown argument $1" >&2; exit 2 ;;
    esac
    shift 2 || { echo "install-test: $1 needs a value" >&2; exit 2; }
done

if ! command -v pkg-config >/dev/null; then
    echo "install-test: skipped: pkg-config is not installed (scripts/install-deps.sh installs it)"
    exit 77
fi

work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT
prefix=$(cd "$work" && pwd -P)/prefix
lib=$prefix/$libdir
major=${version%%.*}
# shellcheck source=tests/checks.sh
. "$(dirname "$0")/../checks.sh"

step() {  # step WHAT COMMAND...: runs COMMAND, its output shown only when it fails
    local out
    if out=$("${@:2}" 2>&1); then
        pass "$1"
    else
        echo "$out"
        fail "$1"
        return 1
    fi
}

step "cmake --install into $prefix" cmake --install "$build" --prefix "$prefix" || exit 1

# The layout: what a game's build and a game need, and nothing of the tests.
for file in "$lib/libVorel.so" "$lib/libVorel.so.$major" "$lib/libVorel.so.$version" \
    "$lib/libVorelCore.so" "$lib/libQuorvex.so" \
    "$prefix/$includedir/vorel/vorel.h" "$prefix/$includedir/vorel/vorel_export.h" \
    "$prefix/$includedir/vorel/vorel_window.h" "$prefix/$includedir/vorel/vorel_version.h" \
    "$lib/cmake/Vorel/VorelConfig.cmake" "$lib/cmake/Vorel/VorelConfigVersion.cmake" \
    "$lib/cmake/Vorel/VorelTargets.cmake" "$lib/pkgconfig/vorel.pc" \
    "$prefix/$bindir/vorel-server" "$prefix/share/doc/vorel/integration.md" \
    "$prefix/share/doc/vorel/protocol.md"; do
    [ -e "$file" ] || fail "missing from the install: ${file#"$prefix"/}"
done
stray=$(cd "$prefix" && find . \( -name '*.a' -o -name '*_test' -o -name '*.in' \
    -o -path "./$bindir/*" ! -name vorel-server \
    -o -path "./$libdir/*.so*" ! -name 'libVorel.so*' ! -name libVorelCore.so ! -name libQuorvex.so \) |
    sort)
[ -z "$stray" ] || fail "installed but not for a game: $(tr '\n' ' ' <<<"$stray")"
soname=$(readelf -d "$lib/libVorel.so" 2>/dev/null | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libVorel.so.$major" ] || fail "libVorel.so has soname '$soname', not libVorel.so.$major"
# An installed object that still looks into the build tree would pass here
# and fail on a game's machine.
for file in "$lib"/libVorel*.so* "$lib/libQuorvex.so" "$prefix/$bindir/vorel-server"; do
    if readelf -d "$file" 2>/dev/null | grep -E '(RPATH|RUNPATH)' | grep -qF "$build"; then
        fail "$(basename "$file") keeps a search path into the build tree"
    fi
done

# The runs: in a directory of their own, for the log the library writes.
run=$work/run
mkdir -p "$run"
check_objects() {  # check_objects OUTPUT: the three objects mapped, each from the prefix
    local name path
    for name in libVorel.so libVorelCore.so libQuorvex.so; do
        grep -qE "^object .*/$name(\.[0-9.]+)?$" <<<"$1" || fail "$name was not loaded"
    done
    while read -r _ path; do
        case "$path" in
            "$prefix"/*) ;;
            *) fail "loaded from outside the prefix: $path" ;;
        esac
    done < <(grep '^object ' <<<"$1")
}

consumer=$work/consumer
if step "the consumer project configures with find_package(Vorel)" \
    cmake -S "$source/tests/install/consumer" -B "$consumer" -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags"; then
    found=$(sed -n 's/^Vorel_DIR:PATH=//p' "$consumer/CMakeCache.txt")
    [ "$found" = "$lib/cmake/Vorel" ] || fail "find_package took the package in '$found'"
    if step "the consumer project builds" cmake --build "$consumer"; then
        out=$(cd "$run" && env -u LD_LIBRARY_PATH "$consumer/consumer_c" 2>&1) || fail "consumer_c"
        echo "$out"
        out=$(cd "$run" && env -u LD_LIBRARY_PATH "$consumer/consumer_cxx" 2>&1) || fail "consumer_cxx"
        echo "$out"
        check_objects "$out"
    fi
fi

# A command line with pkg-config's flags, which looks only in the prefix.
export PKG_CONFIG_LIBDIR=$lib/pkgconfig
unset PKG_CONFIG_PATH
pc_version=$(pkg-config --modversion vorel 2>&1)
[ "$pc_version" = "$version" ] || fail "pkg-config --modversion vorel: $pc_version"
if pc_flags=$(pkg-config --cflags --libs vorel 2>&1); then
    pc_flags=${pc_flags%" "}
    # shellcheck disable=SC2086  # the flags are words
    if step "consumer.c builds with: $pc_flags" "$cc" $flags \
        -DVOREL_EXPECTED_VERSION="\"$version\"" "$source/tests/install/consumer/consumer.c" \
        $pc_flags -o "$work/consumer_pc"; then
        out=$(cd "$run" && LD_LIBRARY_PATH=$lib "$work/consumer_pc" 2>&1) || fail "consumer_pc"
        echo "$out"
    fi
else
    fail "pkg-config --cflags --libs vorel: $pc_flags"
fi

[ "$failed" -eq 0 ] || exit 1
echo "install-test: all held"
