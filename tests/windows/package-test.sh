#!/usr/bin/env bash
# The release archive as a studio meets it: unpacked into an empty
# directory, its contents checked, both examples built from it alone with
# MinGW-w64 (against lib/libVorel.dll.a) and in Visual Studio's ABI with
# clang-cl and lld-link /SAFESEH (against lib/Vorel.lib), then run under
# Wine against the archive's own bin/vorel-server.exe, also under Wine.
#
#   package-test.sh ARCHIVE.zip MINGW_BUILD_DIR
#
# MINGW_BUILD_DIR holds the Windows build, whose msvc/ directory has the
# stand-ins for Visual Studio's runtime start-up and system import libraries
# (Debian has neither); nothing of Vorel is taken from it. The last line is
# "N passed, N failed"; the status is non-zero on any failure.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: package-test.sh ARCHIVE.zip MINGW_BUILD_DIR" >&2
    exit 2
fi
archive=$(realpath "$1") || exit 2
mingw=$(cd "$2" && pwd) || exit 2
objdump=i686-w64-mingw32-objdump

# shellcheck source=tests/checks.sh
. "$(dirname "$0")/../checks.sh"

work=$(mktemp -d)
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

(cd "$work" && cmake -E tar xf "$archive") || { fail "unpacking $archive"; summary; exit 1; }
root=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)

# --- what is inside ---------------------------------------------------------------
for f in README.md CHANGELOG.md Vorel.dll Quorvex.dll symbols/Vorel.dll.debug symbols/Quorvex.dll.debug \
    include/vorel/vorel.h include/vorel/vorel_export.h include/vorel/vorel_version.h \
    lib/Vorel.lib lib/libVorel.dll.a bin/vorel-server.exe examples/README.md \
    examples/c_game/game.c examples/cpp_game/game.cpp \
    docs/integration.md docs/log.md docs/protocol.md docs/reference-server.md; do
    check "the archive has $f" test -s "$root/$f"
done
check "the README names the version" grep -q "Vorel $(sed -n 's/#define VOREL_VERSION_STRING "\(.*\)"/\1/p' \
    "$root/include/vorel/vorel_version.h") for 32-bit Windows" "$root/README.md"
for dll in Vorel.dll Quorvex.dll; do
    check "$dll is stripped (no symbol table, no debug sections)" \
        sh -c "! '$objdump' -h '$root/$dll' | grep -q '\.debug_' && ! '$objdump' -t '$root/$dll' | grep -q '^\['"
    check "$dll names its symbol file" sh -c "'$objdump' -h '$root/$dll' | grep -q '\.gnu_debuglink'"
    check "symbols/$dll.debug holds its debug information" \
        sh -c "'$objdump' -h '$root/symbols/$dll.debug' | grep -q '\.debug_info'"
done
check "no build path inside the import libraries" \
    sh -c "! grep -aq -e '$HOME' -e '/build/' -e '/work/' '$root/lib/Vorel.lib' '$root/lib/libVorel.dll.a'"

# --- the examples built from the archive alone --------------------------------------
build="$work/build"
mkdir -p "$build"
inc="$root/include"
check "MinGW-w64 builds the C example against libVorel.dll.a" \
    i686-w64-mingw32-gcc -std=c11 -Wall -Wextra -pedantic -Werror -I"$inc" "$root/examples/c_game/game.c" \
    -L"$root/lib" -lVorel -o "$build/mingw-c.exe"
check "MinGW-w64 builds the C++ example against libVorel.dll.a" \
    i686-w64-mingw32-g++ -std=c++17 -Wall -Wextra -pedantic -Werror -I"$inc" \
    "$root/examples/cpp_game/game.cpp" -L"$root/lib" -lVorel -static-libgcc -static-libstdc++ \
    -o "$build/mingw-cpp.exe"
clang_cl=$(command -v clang-cl || command -v clang-cl-14)
lld_link=$(command -v lld-link || command -v lld-link-14)
sdk=(--target=i686-pc-windows-msvc /nologo /c /GS- /W4 /WX /U_MSC_VER -Xclang -fgnuc-version=4.2.1
    -D_X86_ -D__USE_MINGW_ANSI_STDIO=0 -imsvc /usr/share/mingw-w64/include "-I$inc")
msvc_build() {  # msvc_build NAME SOURCE CLANG-CL-FLAGS...
    local name=$1 source=$2
    shift 2
    (cd "$build" && "$clang_cl" "${sdk[@]}" "$@" "/Fo$name.obj" -- "$source" &&
        "$lld_link" /nologo /safeseh /subsystem:console /entry:mainCRTStartup /nodefaultlib \
            "$name.obj" "$mingw/msvc/crt0.obj" "$root/lib/Vorel.lib" "$mingw/msvc/kernel32.lib" \
            "$mingw/msvc/user32.lib" "$mingw/msvc/msvcrt.lib" "/out:$name.exe")
}
check "clang-cl and lld-link /SAFESEH build the C example against Vorel.lib" \
    msvc_build msvc-c "$root/examples/c_game/game.c" /TC
check "clang-cl and lld-link /SAFESEH build the C++ example against Vorel.lib" \
    msvc_build msvc-cpp "$root/examples/cpp_game/game.cpp" /TP /EHs-c- /GR-

# --- run under Wine against the archive's server --------------------------------------
export WINEPREFIX="$mingw/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32
cp "$root/Vorel.dll" "$root/Quorvex.dll" "$build/" || exit 2
mkdir -p "$build/www" && head -c 300000 /dev/urandom >"$build/www/file.bin"
(cd "$build" && exec wine "$root/bin/vorel-server.exe" --port 0 --http-port 0 --http-dir www \
    --seconds 300 </dev/null >"$build/server.out" 2>&1) &
server_pid=$!
port=""
http_port=""
for _ in $(seq 600); do
    port=$(tr -d '\r' <"$build/server.out" | sed -n 's/^vorel-server listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p')
    http_port=$(tr -d '\r' <"$build/server.out" | sed -n 's/^vorel-server http on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p')
    [ -n "$port" ] && [ -n "$http_port" ] && break
    sleep 0.1
done
check "the archive's vorel-server.exe starts under Wine" test -n "$port" -a -n "$http_port"
if [ -n "$port" ] && [ -n "$http_port" ]; then
    for game in mingw-c mingw-cpp msvc-c msvc-cpp; do
        [ -f "$build/$game.exe" ] || continue
        rm -f "$build/$game.bin"
        (cd "$build" && timeout 120 wine "$game.exe" 127.0.0.1 "$port" \
            "http://127.0.0.1:$http_port/file.bin" "$game.bin") >"$build/$game.out" 2>&1
        game_status=$?
        tr -d '\r' <"$build/$game.out" | sed "s/^/[$game] /"
        check "$game plays every step against the archive's server (status $game_status)" \
            test "$game_status" -eq 0
        check "$game downloaded the file whole" cmp -s "$build/www/file.bin" "$build/$game.bin"
    done
else
    tr -d '\r' <"$build/server.out" | sed 's/^/[server] /'
fi

summary
