// A game linked against the import library (not loading the DLL by hand):
// the calls reach Vorel.dll through its import table. Prints "ok" or the
// failed call and exits accordingly.
#include <cstdio>

#include "vorel/vorel.h"

int main() {
    char szHost[] = "short";
    int iInit = init(szHost, 0);           // refused arguments: -1, engine created
    int iWindow = SetMessageWnd(nullptr);  // not a window: 0
    char szText[] = "199 1 x";
    int iWrite = Write_Message1(199, szText, 0);  // type below 200: -1
    bool bOk = iInit == -1 && iWindow == 0 && iWrite == -1;
    std::printf("%s init %d, SetMessageWnd %d, Write_Message1 %d\n", bOk ? "ok" : "FAIL", iInit,
                iWindow, iWrite);
    return bOk ? 0 : 1;
}
