#!/usr/bin/env bash
# libVorel.so exports the seven functions (SetMessageWnd under its C++ name
# and, for C callers, its plain one) and the stand-in windows, nothing else; libQuorvex.so exports the support library's operations; the code's
# own object, libVorelCore.so, the same as libVorel.so and its two hooks.
#
#   check-exports.sh LIBVOREL LIBQUORVEX [LIBVORELCORE]
set -uo pipefail
# shellcheck source=tests/checks.sh
. "$(dirname "$0")/checks.sh"
check_exports() {  # check_exports LIBRARY EXPECTED-NAMES...
    local lib=$1
    shift
    local found expected
    found=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)
    expected=$(printf '%s\n' "$@" | sort)
    if [ "$found" = "$expected" ]; then
        pass "$(basename "$lib"): $(echo "$found" | wc -l) exports"
    else
        fail "$(basename "$lib") exports differ:"
        diff <(echo "$expected") <(echo "$found") | sed 's/^/      /'
    fi
}
check_exports "$1" Write_Message1 Read_Message1 Read_Message2 DownloadFile Download_File_EX init \
    _Z13SetMessageWndP6HWND__ SetMessageWnd VorelCreateWindow VorelDestroyWindow VorelGetWindowUser
check_exports "$2" hash_init hash_add hash_lookup free_hash free_hashent hash_walk hash_slot WriteFileNew WriteFileBatch WriteFileClose split_CharLine \
    InternetDownloadFile InternetDownloadAbort InternetDownloadFileStoppable \
    _ZN16TextEncodeDecodeC1Ev _ZN16TextEncodeDecodeC2Ev _ZN16TextEncodeDecodeD1Ev _ZN16TextEncodeDecodeD2Ev \
    _ZN16TextEncodeDecode10DataEncodeEPKcS1_jPcji _ZN16TextEncodeDecode10DataDecodeEPKcS1_jPcji
if [ $# -ge 3 ]; then
    check_exports "$3" Write_Message1 Read_Message1 Read_Message2 DownloadFile Download_File_EX init \
        _Z13SetMessageWndP6HWND__ VorelCreateWindow VorelDestroyWindow VorelGetWindowUser \
        VorelCoreLoad VorelCoreUnload
fi
[ "$failed" -eq 0 ]
