/* The public header compiled under -Wall -Wextra -pedantic -Werror as C and
 * as C++, alone and with the Windows headers before or after it, with and
 * without STRICT. VOREL_ORDER picks the order:
 *   0  vorel.h alone
 *   1  vorel.h, then winsock2.h and windows.h (a game adding networking)
 *   2  winsock2.h, windows.h, then vorel.h
 *   3  windows.h (which includes winsock.h), then vorel.h
 * A call of each function checks the prototypes take what a game passes:
 * string literals for the read-only inputs, and the window handle. */
/* The order of the includes is what is tested. */
/* clang-format off */
#if VOREL_ORDER == 0
#include "vorel/vorel.h"
#elif VOREL_ORDER == 1
#include "vorel/vorel.h"
#include <winsock2.h>
#include <windows.h>
#elif VOREL_ORDER == 2
#include <winsock2.h>
#include <windows.h>
#include "vorel/vorel.h"
#elif VOREL_ORDER == 3
#include <windows.h>
#include "vorel/vorel.h"
#endif
/* clang-format on */

#if VOREL_VERSION_NUMBER < 100 || !defined(VOREL_VERSION_STRING)
#error "version macros missing"
#endif

int VorelHeaderCheck(void);
int VorelHeaderCheck(void) {
    char szBuffer[256];
    int iType = 0;
    int iSum = init("127.0.0.1", 5000);
    iSum += Write_Message1(201, "201 1 player secret", 0);
    iSum += Read_Message1(202, szBuffer, (int)sizeof szBuffer, 1, 1);
    iSum += Read_Message2(&iType, szBuffer, (int)sizeof szBuffer, 0, 0);
    iSum += DownloadFile("http://127.0.0.1/a", "a.bin");
    iSum += Download_File_EX("http://127.0.0.1/a", "a.bin");
#if VOREL_ORDER != 0 && (defined(STRICT) || !defined(__cplusplus))
    {
        HWND hWnd = 0;
        iSum += SetMessageWnd(hWnd);
    }
#elif VOREL_ORDER != 0
    {
        HWND hWnd = 0; /* without STRICT a void pointer: C++ casts */
        iSum += SetMessageWnd((struct HWND__*)hWnd);
    }
#else
    iSum += SetMessageWnd(0);
#endif
    return iSum;
}
