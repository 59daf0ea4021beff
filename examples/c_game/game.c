/* A small game in C that uses Vorel: it names its window for the library's
 * notices, points the library at a server, logs a player on, sends a request
 * and reads its answer, reads a message the server pushes, downloads a file
 * in the background, and hears the server end the session.
 *
 *   game.exe HOST PORT [URL FILE]
 *
 * It prints what happens and exits with 0 when every step went as expected.
 * Build lines are in examples/README.md. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "vorel/vorel.h"

/* Notices arrive as WM_COPYDATA, sent by the library's session thread. They
 * are delivered while this thread pumps its messages. */
static int g_iLastNotice = 0;

static LRESULT CALLBACK GameWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_COPYDATA) {
        const COPYDATASTRUCT* pData = (const COPYDATASTRUCT*)lParam;
        g_iLastNotice = (int)pData->dwData;
        printf("notice %d: %s\n", g_iLastNotice,
               g_iLastNotice == 95 ? "the connection of the logged-on player was lost"
                                   : "the server ended the session");
        return 1;
    }
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

/* Lets the window receive notices for up to iMilliseconds. */
static void PumpMessages(DWORD iMilliseconds) {
    DWORD dwStart = GetTickCount();
    while (GetTickCount() - dwStart < iMilliseconds) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        Sleep(20);
    }
}

/* Sends a request and waits up to 10 s for its answer of the same type.
 * Returns the answer's field count (or the library's code). */
static int Ask(int iType, int iQueueId, const char* szRequest, char* szAnswer, int iAnswerSize) {
    int iResult = Write_Message1(iType, szRequest, 0);
    if (iResult != 1) {
        printf("Write_Message1(%d, \"%s\") returned %d\n", iType, szRequest, iResult);
        return iResult;
    }
    iResult = Read_Message1(iType, szAnswer, iAnswerSize, 10, iQueueId);
    printf("[%d] %s -> %d: %s\n", iType, szRequest, iResult, iResult > 0 ? szAnswer : "");
    return iResult;
}

int main(int argc, char** argv) {
    WNDCLASSA wc;
    HWND hWnd;
    char szAnswer[1024];
    int iType = 0;
    int iFailures = 0;
    int iResult;

    if (argc != 3 && argc != 5) {
        printf("usage: game HOST PORT [URL FILE]\n");
        return 2;
    }

    /* A game names its main window. This console example makes a
     * message-only window, which receives the same notices. */
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = GameWindowProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "VorelExampleGame";
    RegisterClassA(&wc);
    hWnd = CreateWindowExA(0, wc.lpszClassName, "Vorel example", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                           wc.hInstance, NULL);
    if (SetMessageWnd(hWnd) != 1) {
        printf("SetMessageWnd refused the window\n");
        iFailures++;
    }

    /* init takes the address in place of serverConfigs.ini's. */
    iResult = init(argv[1], atoi(argv[2]));
    printf("init(%s, %s) -> %d\n", argv[1], argv[2], iResult);
    if (iResult != 0) return 1;

    /* Log on: the answer comes back as type 202; its fourth field is 0 when
     * the server accepted. Until then only log-on answers can be read. */
    iResult = Write_Message1(201, "201 1 player secret", 0);
    if (iResult == 1) iResult = Read_Message1(202, szAnswer, sizeof szAnswer, 10, 1);
    printf("[201] log-on -> %d: %s\n", iResult, iResult > 0 ? szAnswer : "");
    if (iResult < 4 || strstr(szAnswer, " 0 ") == NULL) iFailures++;

    /* An ordinary request, answered on the same queue identifier. */
    if (Ask(300, 1, "300 1 buy sword 3", szAnswer, sizeof szAnswer) < 4) iFailures++;

    /* A message pushed by the server (type 400 and up) is read with
     * Read_Message2; pushes go to queue identifier 0. */
    if (Ask(300, 0, "300 0 push hello", szAnswer, sizeof szAnswer) < 4) iFailures++;
    iResult = Read_Message2(&iType, szAnswer, sizeof szAnswer, 10, 0);
    printf("pushed [%d] -> %d: %s\n", iType, iResult, iResult > 0 ? szAnswer : "");
    if (iResult < 4 || iType != 400) iFailures++;

    /* A download in the background: the file appears once it is complete. */
    if (argc == 5) {
        DWORD dwStart = GetTickCount();
        DeleteFileA(argv[4]);
        iResult = Download_File_EX(argv[3], argv[4]);
        printf("Download_File_EX -> %d\n", iResult);
        while (iResult == 0 && GetFileAttributesA(argv[4]) == INVALID_FILE_ATTRIBUTES &&
               GetTickCount() - dwStart < 30000) {
            PumpMessages(100);
        }
        if (GetFileAttributesA(argv[4]) == INVALID_FILE_ATTRIBUTES) {
            printf("the download did not arrive\n");
            iFailures++;
        } else {
            printf("downloaded %s\n", argv[4]);
        }
    }

    /* The server ends the session: the window hears notice 96. */
    if (Ask(300, 1, "300 1 disconnect now", szAnswer, sizeof szAnswer) < 4) iFailures++;
    for (iResult = 0; iResult < 100 && g_iLastNotice == 0; iResult++) PumpMessages(100);
    if (g_iLastNotice != 96) {
        printf("no notice 96 from the library\n");
        iFailures++;
    }

    DestroyWindow(hWnd);
    printf("%s\n", iFailures == 0 ? "every step went as expected" : "some steps failed");
    return iFailures == 0 ? 0 : 1;
}
