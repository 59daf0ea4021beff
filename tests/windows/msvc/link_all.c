/* Links all seven functions through Vorel.lib as a Visual Studio project
 * does, built as C and as C++ (/permissive-) with the project's default
 * calling convention set to __stdcall (/Gz), and calls each once against a
 * running server:
 *
 *   link_all.exe PORT
 *
 * Only vorel.h is included, the way a game that includes it before anything
 * else sees it. Prints "ok NAME" or "FAIL NAME" per call and
 * "N passed, N failed"; the status is 0 when all passed. */
#include "vorel/vorel.h"

#ifdef __cplusplus
extern "C" {
#endif
__declspec(dllimport) int __cdecl printf(const char* szFormat, ...);
__declspec(dllimport) int __cdecl atoi(const char* sz);
#ifdef __cplusplus
}
#endif

static int g_iPassed = 0;
static int g_iFailed = 0;

static void Check(int bOk, const char* szName, int iResult) {
    printf("%s %s (%d)\n", bOk ? "ok  " : "FAIL", szName, iResult);
    if (bOk) {
        g_iPassed++;
    } else {
        g_iFailed++;
    }
}

int __cdecl main(int argc, char** argv) {
    char szAnswer[512];
    int iType = 0;
    int iResult;
    if (argc != 2) {
        printf("usage: link_all PORT\n");
        return 2;
    }
    /* String literals straight into the read-only inputs. */
    iResult = init("127.0.0.1", atoi(argv[1]));
    Check(iResult == 0, "init", iResult);
    iResult = SetMessageWnd(0);
    Check(iResult == 0, "SetMessageWnd (no window)", iResult);
    iResult = Write_Message1(201, "201 7 player secret", 0);
    Check(iResult == 1, "Write_Message1", iResult);
    iResult = Read_Message1(202, szAnswer, sizeof szAnswer, 10, 7);
    Check(iResult == 5, "Read_Message1 (the log-on answer)", iResult);
    iResult = Read_Message2(&iType, szAnswer, sizeof szAnswer, 0, 0);
    Check(iResult == 0, "Read_Message2 (nothing pushed)", iResult);
    iResult = DownloadFile("", "link_all.out");
    Check(iResult > 0, "DownloadFile (no URL)", iResult);
    iResult = Download_File_EX("", "link_all.out");
    Check(iResult == 1, "Download_File_EX (no URL)", iResult);
    printf("%d passed, %d failed\n", g_iPassed, g_iFailed);
    return g_iFailed == 0 ? 0 : 1;
}
