// A small game in C++ that uses Vorel: the same steps as the C example,
// wrapped the way a game might wrap them. The window receives the library's
// notices; a Session object sends requests and waits for their answers,
// pumping the window's messages meanwhile so that notices are delivered.
//
//   game.exe HOST PORT [URL FILE]
//
// It prints what happens and exits with 0 when every step went as expected.
// It uses only the C runtime, so it builds the same with Visual Studio,
// clang-cl and MinGW-w64 (build lines in examples/README.md).
// windows.h first, as most games include it.
// clang-format off
#include <windows.h>
// clang-format on

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vorel/vorel.h"

namespace {

// The game's window (here a message-only window, which receives the same
// notices as a game's main window). Notices arrive as WM_COPYDATA, sent by the library's
// session thread, and are delivered while the owning thread pumps messages.
class GameWindow {
public:
    GameWindow() {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = &GameWindow::Proc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "VorelExampleGameCpp";
        RegisterClassA(&wc);
        hWnd_ = CreateWindowExA(0, wc.lpszClassName, "Vorel example", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                nullptr, wc.hInstance, nullptr);
    }
    ~GameWindow() {
        if (hWnd_ != nullptr) DestroyWindow(hWnd_);
    }
    GameWindow(const GameWindow&) = delete;
    GameWindow& operator=(const GameWindow&) = delete;

    HWND Handle() const { return hWnd_; }
    static int LastNotice() { return s_iLastNotice; }

    // Lets the window receive notices for up to dwMilliseconds.
    static void Pump(DWORD dwMilliseconds) {
        DWORD dwStart = GetTickCount();
        do {
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            Sleep(20);
        } while (GetTickCount() - dwStart < dwMilliseconds);
    }

private:
    static LRESULT CALLBACK Proc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
        if (uMsg == WM_COPYDATA) {
            const COPYDATASTRUCT* pData = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            s_iLastNotice = static_cast<int>(pData->dwData);
            printf("notice %d: %s\n", s_iLastNotice,
                   s_iLastNotice == 95 ? "the connection of the logged-on player was lost"
                                       : "the server ended the session");
            return 1;
        }
        return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }

    HWND hWnd_ = nullptr;
    static int s_iLastNotice;
};

int GameWindow::s_iLastNotice = 0;

// Requests and their answers on one queue identifier.
class Session {
public:
    explicit Session(int iQueueId) : iQueueId_(iQueueId) {}

    // Sends a request of type iType and waits up to 10 s for its answer of
    // type iAnswerType (the same type, but 202 for a log-on). True when an
    // answer of 4 fields or more came back.
    bool Ask(int iType, const char* szRequest, int iAnswerType = 0) {
        int iResult = Write_Message1(iType, szRequest, 0);
        if (iResult != 1) {
            printf("Write_Message1(%d, \"%s\") returned %d\n", iType, szRequest, iResult);
            return false;
        }
        if (iAnswerType == 0) iAnswerType = iType;
        iResult = Read_Message1(iAnswerType, szAnswer_, sizeof szAnswer_, 10, iQueueId_);
        printf("[%d] %s -> %d: %s\n", iType, szRequest, iResult, iResult > 0 ? szAnswer_ : "");
        return iResult >= 4;
    }

    const char* Answer() const { return szAnswer_; }

private:
    int iQueueId_;
    char szAnswer_[1024] = {};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) {
        printf("usage: game HOST PORT [URL FILE]\n");
        return 2;
    }
    int iFailures = 0;

    GameWindow window;
    if (SetMessageWnd(window.Handle()) != 1) {
        printf("SetMessageWnd refused the window\n");
        ++iFailures;
    }

    // init takes the address in place of serverConfigs.ini's.
    int iResult = init(argv[1], atoi(argv[2]));
    printf("init(%s, %s) -> %d\n", argv[1], argv[2], iResult);
    if (iResult != 0) return 1;

    // Log on: the answer's fourth field is 0 when the server accepted. Until
    // then only log-on answers can be read.
    Session player(1);
    if (!player.Ask(201, "201 1 player secret", 202) || strstr(player.Answer(), " 0 ") == nullptr) {
        ++iFailures;
    }
    if (!player.Ask(300, "300 1 buy sword 3")) ++iFailures;

    // Messages the server pushes (type 400 and up) go to identifier 0 and are
    // read with Read_Message2.
    Session pushes(0);
    if (!pushes.Ask(300, "300 0 push hello")) ++iFailures;
    char szPushed[1024] = {};
    int iType = 0;
    iResult = Read_Message2(&iType, szPushed, sizeof szPushed, 10, 0);
    printf("pushed [%d] -> %d: %s\n", iType, iResult, iResult > 0 ? szPushed : "");
    if (iResult < 4 || iType != 400) ++iFailures;

    // A download in the foreground: 0 once the file is in place.
    if (argc == 5) {
        DeleteFileA(argv[4]);
        iResult = DownloadFile(argv[3], argv[4]);
        printf("DownloadFile -> %d\n", iResult);
        if (iResult != 0 || GetFileAttributesA(argv[4]) == INVALID_FILE_ATTRIBUTES) ++iFailures;
    }

    // The server ends the session: the window hears notice 96.
    if (!player.Ask(300, "300 1 disconnect now")) ++iFailures;
    for (int i = 0; i < 100 && GameWindow::LastNotice() == 0; ++i) GameWindow::Pump(100);
    if (GameWindow::LastNotice() != 96) {
        printf("no notice 96 from the library\n");
        ++iFailures;
    }

    printf("%s\n", iFailures == 0 ? "every step went as expected" : "some steps failed");
    return iFailures == 0 ? 0 : 1;
}
