#!/usr/bin/env bash
# The Windows suite: the export table of Vorel.dll, what the DLLs import,
# and the Windows test host under Wine against the reference server running
# natively on 127.0.0.1.
#
#   run-wine-tests.sh NATIVE_BUILD_DIR MINGW_BUILD_DIR
#
# NATIVE_BUILD_DIR holds vorel-server; MINGW_BUILD_DIR holds Vorel.dll,
# Quorvex.dll and vorel-wine-host.exe. The Wine prefix lives in
# MINGW_BUILD_DIR/wineprefix and is made on the first run. The last line is
# "N passed, N failed"; the exit status is non-zero on any failure.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: run-wine-tests.sh NATIVE_BUILD_DIR MINGW_BUILD_DIR" >&2
    exit 2
fi
native=$(cd "$1" && pwd) || exit 2
mingw=$(cd "$2" && pwd) || exit 2
objdump=i686-w64-mingw32-objdump

# shellcheck source=tests/checks.sh
. "$(dirname "$0")/../checks.sh"

# --- the export table ---------------------------------------------------------
# "[Ordinal/Name Pointer] Table" lists "[   N] name" with N = ordinal - 1.
exports=$("$objdump" -p "$mingw/Vorel.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\2 \1/p' | sort)
expected=$(printf '%s\n' "?SetMessageWnd@@YAHPAUHWND__@@@Z 6" "DownloadFile 3" "Download_File_EX 4" \
    "Read_Message1 1" "Read_Message2 2" "Write_Message1 0" "init 5" | sort)
check "Vorel.dll exports exactly the seven names at ordinals 1 to 7" test "$exports" = "$expected"
if [ "$exports" != "$expected" ]; then
    echo "      found:"
    echo "$exports" | sed 's/^/        /'
fi

for dll in Vorel.dll Quorvex.dll; do
    check "$dll is PE32 for i386" sh -c "'$objdump' -f '$mingw/$dll' | grep -q 'file format pei-i386'"
    imports=$("$objdump" -p "$mingw/$dll" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
    check "$dll imports only system DLLs and our own ($imports)" \
        sh -c "! echo '$imports' | grep -Eq 'libgcc|libstdc|libwinpthread'"
done

# --- the host under Wine --------------------------------------------------------
if ! command -v wine >/dev/null; then
    fail "wine is not installed"
    summary
    exit 1
fi
export WINEPREFIX="$mingw/wineprefix"
export WINEDEBUG=-all
# No downloads of Wine's own add-ons on a machine without a network.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32

run="$mingw/wine-run"
rm -rf "$run" && mkdir -p "$run/www" || exit 2
cp "$mingw/Vorel.dll" "$mingw/Quorvex.dll" "$mingw/vorel-wine-host.exe" "$mingw/vorel-link-test.exe" \
    "$mingw/vorel-wine-unload.exe" "$mingw/vorel-plugin.dll" "$mingw/vorel-version-check.exe" \
    "$mingw/vorel-example-c.exe" "$mingw/vorel-example-cpp.exe" "$mingw"/msvc/*.exe "$run/" || exit 2
head -c 1048576 /dev/urandom >"$run/www/file.bin" || exit 2

server_pid=""
stop_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    server_pid=""
}
trap stop_server EXIT

"$native/vorel-server" --seconds 600 --http-port 0 --http-dir "$run/www" </dev/null >"$run/server.out" 2>&1 &
server_pid=$!
port=""
http_port=""
for _ in $(seq 100); do
    port=$(sed -n 's/^vorel-server listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$run/server.out")
    http_port=$(sed -n 's/^vorel-server http on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$run/server.out")
    [ -n "$port" ] && [ -n "$http_port" ] && break
    sleep 0.1
done
if [ -z "$port" ] || [ -z "$http_port" ]; then
    fail "vorel-server did not start:"
    cat "$run/server.out"
    summary
    exit 1
fi

# The first run makes the prefix; it may take a while.
link_out=$(cd "$run" && timeout 300 wine vorel-link-test.exe 2>/dev/null | tr -d '\r')
echo "      $link_out"
check "a game linked with libVorel.dll.a calls through the import table" \
    sh -c "echo '$link_out' | grep -q '^ok '"
rm -f "$run/GameRun.log"

# add_summary NAME OUTPUT STATUS: a Windows program's "N passed, N failed"
# (its last such line; Windows writes CR LF) added to ours.
add_summary() {
    local line
    line=$(tr -d '\r' <"$2" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -n 1)
    if [[ "$line" =~ ^([0-9]+)\ passed,\ ([0-9]+)\ failed$ ]]; then
        passed=$((passed + BASH_REMATCH[1]))
        failed=$((failed + BASH_REMATCH[2]))
        [ "$3" -eq 0 ] || [ "${BASH_REMATCH[2]}" -gt 0 ] || failed=$((failed + 1))
    else
        fail "$1 ended without its summary (status $3)"
    fi
}

(cd "$run" && timeout 300 wine vorel-wine-host.exe "$port" "http://127.0.0.1:$http_port/file.bin" 1048576) \
    >"$run/host.out" 2>&1
host_status=$?
tr -d '\r' <"$run/host.out"
add_summary "the host" "$run/host.out" "$host_status"

# --- the version resources -------------------------------------------------------
version=$(sed -n 's/^project(Vorel VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
versions=$(cd "$run" && timeout 120 wine vorel-version-check.exe Vorel.dll Quorvex.dll 2>/dev/null | tr -d '\r')
echo "$versions" | sed 's/^/      /'
for dll in Vorel.dll Quorvex.dll; do
    check "$dll carries version $version in its version resource" sh -c "echo '$versions' | grep -qx \
        '$dll FIXED=$version.0 FileVersion=$version ProductVersion=$version OriginalFilename=$dll ProductName=Vorel'"
done

# --- games built as a studio builds them ------------------------------------------
# link_all: every function through Vorel.lib, built in Visual Studio's ABI as
# C and as C++ with __stdcall as the default convention and /SAFESEH.
for lang in c cpp; do
    rm -f "$run/GameRun.log"
    (cd "$run" && timeout 120 wine "msvc-link-all-$lang.exe" "$port") >"$run/link-all-$lang.out" 2>&1
    link_status=$?
    tr -d '\r' <"$run/link-all-$lang.out" | sed "s/^/[msvc $lang] /"
    add_summary "[msvc $lang]" "$run/link-all-$lang.out" "$link_status"
done
# The examples: window, notices, log-on, requests, a push, a download, the
# server ending the session. Built with MinGW-w64 against libVorel.dll.a and
# in Visual Studio's ABI against Vorel.lib (/SAFESEH).
for example in vorel-example-c vorel-example-cpp msvc-example-c msvc-example-cpp; do
    rm -f "$run/GameRun.log" "$run/$example.bin"
    (cd "$run" && timeout 120 wine "$example.exe" 127.0.0.1 "$port" \
        "http://127.0.0.1:$http_port/file.bin" "$example.bin") >"$run/$example.out" 2>&1
    example_status=$?
    tr -d '\r' <"$run/$example.out" | sed "s/^/[$example] /"
    check "$example plays every step (status $example_status)" test "$example_status" -eq 0
    check "$example downloaded the file whole" cmp -s "$run/www/file.bin" "$run/$example.bin"
done

# --- ways a game ends its use of the library ----------------------------------
# unload_case NAME ARGS...: one run of vorel-wine-unload.exe, its summary
# added to ours.
unload_case() {
    local name=$1
    rm -f "$run/GameRun.log"
    (cd "$run" && timeout 120 wine vorel-wine-unload.exe "$@") >"$run/unload-$name.out" 2>&1
    local status=$?
    tr -d '\r' <"$run/unload-$name.out" | sed "s/^/[$name] /"
    add_summary "[$name]" "$run/unload-$name.out" "$status"
}
close_lines_in_order() {
    local log
    log=$(tr -d '\0' <"$run/GameRun.log" 2>/dev/null | grep -ao -- '---testing20090618---close[1-5]---' |
        sed 's/.*close\([1-5]\).*/\1/' | tr -d '\n')
    [ "$log" = "12345" ]
}

unload_case notice "$port"
unload_case exit "$port"
check "[exit] a process that ends without FreeLibrary logs close1 to close5" close_lines_in_order
unload_case plugin "$port" "http://127.0.0.1:$http_port/file.bin"
unload_case logon "$port"
# A slow HTTP server (1 KB a second) for a DownloadFile in progress at the unload.
mkdir -p "$run/slow-www" && head -c 1048576 /dev/zero >"$run/slow-www/slow.bin"
"$native/vorel-server" --seconds 300 --http-port 0 --http-dir "$run/slow-www" --http-rate 1024 \
    </dev/null >"$run/slow-server.out" 2>&1 &
slow_pid=$!
slow_port=""
for _ in $(seq 100); do
    slow_port=$(sed -n 's/^vorel-server http on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$run/slow-server.out")
    [ -n "$slow_port" ] && break
    sleep 0.1
done
unload_case download "$port" "http://127.0.0.1:$slow_port/slow.bin"
kill "$slow_pid" 2>/dev/null
wait "$slow_pid" 2>/dev/null
# Port 1 on the loopback address: nobody listens there, connections are refused.
unload_case init 1

# The reference server built for Windows (preset mingw-tools), under Wine.
server_exe="$mingw/../mingw-tools/vorel-server.exe"; . "$(dirname "$0")/wine-server-checks.sh"

summary
