// A Windows game's part, for the Windows build under Wine: loads Vorel.dll
// with LoadLibrary, finds the seven exports by name and by ordinal, runs a
// real (message-only) window with its message loop, logs on against the
// reference server running natively on 127.0.0.1, exchanges requests from
// several threads, receives the WM_COPYDATA notices, downloads a file in the
// background, checks that GameRun.log holds GBK text and can be renamed and
// deleted while the library runs, and unloads the DLL.
//
//   vorel-wine-host.exe PORT FILE_URL FILE_SIZE
//
// Ends with "N passed, N failed" and exits non-zero on any failure.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

// A thread of the host (the win32 thread model of this compiler has no
// std::thread): starts fn at once; Join waits for its end.
struct HostThread {
    HANDLE hThread = nullptr;
    explicit HostThread(std::function<void()> fn) {
        auto* pFn = new std::function<void()>(std::move(fn));
        hThread = CreateThread(nullptr, 0, Run, pFn, 0, nullptr);
    }
    static DWORD WINAPI Run(LPVOID pParam) {
        auto* pFn = static_cast<std::function<void()>*>(pParam);
        (*pFn)();
        delete pFn;
        return 0;
    }
    void Join() {
        WaitForSingleObject(hThread, INFINITE);
        CloseHandle(hThread);
    }
};

// An export found by GetProcAddress, as the function type it has.
template <class T>
T As(FARPROC pfn) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(pfn));
}

int g_iPassed = 0;
int g_iFailed = 0;

void Check(bool bOk, const std::string& what) {
    if (bOk) {
        ++g_iPassed;
        std::printf("ok    %s\n", what.c_str());
    } else {
        ++g_iFailed;
        std::printf("FAIL  %s\n", what.c_str());
    }
    std::fflush(stdout);
}

using WriteFn = int (*)(int, char*, int);
using ReadFn = int (*)(int, char*, int, int, int);
using Read2Fn = int (*)(int*, char*, int, int, int);
using DownloadFn = int (*)(char*, char*);
using DownloadExFn = int (*)(const char*, const char*);
using InitFn = int (*)(char*, int);
using SetWndFn = int (*)(HWND);

struct Exports {
    WriteFn Write_Message1;
    ReadFn Read_Message1;
    Read2Fn Read_Message2;
    DownloadFn DownloadFile;
    DownloadExFn Download_File_EX;
    InitFn init;
    SetWndFn SetMessageWnd;
};

const char* const kNames[7] = {"Write_Message1",
                               "Read_Message1",
                               "Read_Message2",
                               "DownloadFile",
                               "Download_File_EX",
                               "init",
                               "?SetMessageWnd@@YAHPAUHWND__@@@Z"};

// The game's window: a message-only window on a thread of its own with a
// message loop, as a game's main window would be.
std::atomic<int> g_iNotice95{0};
std::atomic<int> g_iNotice96{0};
std::atomic<HWND> g_hWnd{nullptr};
std::atomic<DWORD> g_dwWindowThread{0};

LRESULT CALLBACK GameWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_COPYDATA) {
        const COPYDATASTRUCT* pData = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (pData->dwData == 95 && pData->cbData == 0 && pData->lpData == nullptr) ++g_iNotice95;
        if (pData->dwData == 96 && pData->cbData == 0 && pData->lpData == nullptr) ++g_iNotice96;
        return TRUE;
    }
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

void WindowThread() {
    g_dwWindowThread = GetCurrentThreadId();
    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = GameWndProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "VorelWineHostWindow";
    RegisterClassA(&wc);
    HWND hWnd = CreateWindowExA(0, wc.lpszClassName, "host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
    g_hWnd = hWnd;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    DestroyWindow(hWnd);
}

bool FileThere(const char* szPath) { return GetFileAttributesA(szPath) != INVALID_FILE_ATTRIBUTES; }

bool WaitFor(const std::atomic<int>& counter, int iValue, DWORD dwMs) {
    DWORD dwStart = GetTickCount();
    while (counter.load() < iValue) {
        if (GetTickCount() - dwStart > dwMs) return false;
        Sleep(10);
    }
    return true;
}

int Write(const Exports& x, int iType, const std::string& text) {
    std::vector<char> input(text.begin(), text.end());
    input.push_back('\0');
    return x.Write_Message1(iType, input.data(), 0);
}

// Sends a request and waits for its answer: the field count, the text.
int Ask(const Exports& x, int iType, const std::string& text, int iQueueId, std::string* pAnswer) {
    if (Write(x, iType, text) != 1) return -100;
    char buffer[4096];
    int iCode = x.Read_Message1(iType == 201 ? 202 : iType, buffer, sizeof(buffer), 20, iQueueId);
    if (pAnswer != nullptr) *pAnswer = iCode >= 4 ? buffer : "";
    return iCode;
}

bool LogOn(const Exports& x) {
    std::string answer;
    return Ask(x, 201, "201 1 player secret", 1, &answer) >= 4 &&
           answer.find(" 0 ") != std::string::npos;
}

std::string ReadWholeFile(const char* szPath) {
    std::string content;
    FILE* pFile = std::fopen(szPath, "rb");
    if (pFile == nullptr) return content;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pFile)) > 0) content.append(buffer, n);
    std::fclose(pFile);
    return content;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: vorel-wine-host.exe PORT FILE_URL FILE_SIZE\n");
        return 2;
    }
    int iPort = std::atoi(argv[1]);
    std::string fileUrl = argv[2];
    size_t iFileSize = static_cast<size_t>(std::atol(argv[3]));

    // Loading and the export table.
    HMODULE hLib = LoadLibraryA("Vorel.dll");
    Check(hLib != nullptr, "LoadLibrary(Vorel.dll)");
    if (hLib == nullptr) {
        std::printf("%d passed, %d failed\n", g_iPassed, g_iFailed + 1);
        return 1;
    }
    FARPROC apByName[7];
    bool bAll = true;
    for (int i = 0; i < 7; ++i) {
        apByName[i] = GetProcAddress(hLib, kNames[i]);
        FARPROC pByOrdinal = GetProcAddress(hLib, MAKEINTRESOURCEA(i + 1));
        bAll = bAll && apByName[i] != nullptr && apByName[i] == pByOrdinal;
    }
    Check(bAll, "the seven exports by name equal ordinals 1 to 7");
    Check(GetProcAddress(hLib, MAKEINTRESOURCEA(8)) == nullptr, "no eighth export");
    Exports x;
    x.Write_Message1 = As<WriteFn>(apByName[0]);
    x.Read_Message1 = As<ReadFn>(apByName[1]);
    x.Read_Message2 = As<Read2Fn>(apByName[2]);
    x.DownloadFile = As<DownloadFn>(apByName[3]);
    x.Download_File_EX = As<DownloadExFn>(apByName[4]);
    x.init = As<InitFn>(apByName[5]);
    x.SetMessageWnd = As<SetWndFn>(apByName[6]);
    if (!bAll) {
        std::printf("%d passed, %d failed\n", g_iPassed, g_iFailed);
        return 1;
    }

    // The window.
    HostThread window(WindowThread);
    for (int i = 0; i < 500 && g_hWnd.load() == nullptr; ++i) Sleep(10);
    Check(g_hWnd.load() != nullptr, "a message-only window with its loop");
    Check(x.SetMessageWnd(g_hWnd.load()) == 1, "SetMessageWnd(window) -> 1");
    Check(x.SetMessageWnd(reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7654))) == 0,
          "SetMessageWnd(no window) -> 0");

    // The server and the log-on.
    char szHost[] = "127.0.0.1";
    Check(x.init(szHost, iPort) == 0, "init(127.0.0.1, port) -> 0");
    char buffer[4096];
    Check(x.Read_Message1(300, buffer, sizeof(buffer), 5, 1) < 0,
          "Read_Message1 before the log-on refused");
    Check(LogOn(x), "log-on: type 202 with status 0");

    // Requests from several threads.
    std::atomic<int> iGood{0};
    std::vector<HostThread*> threads;
    for (int t = 0; t < 4; ++t) {
        threads.push_back(new HostThread([&x, &iGood, t] {
            for (int i = 0; i < 5; ++i) {
                int iQueueId = 100 + t;
                std::string answer;
                std::string text = "30" + std::to_string(t) + " " + std::to_string(iQueueId) +
                                   " w" + std::to_string(i);
                int iCode = Ask(x, 300 + t, text, iQueueId, &answer);
                if (iCode == 5 &&
                    answer.find(" " + std::to_string(iQueueId) + " ok ") != std::string::npos &&
                    answer.find(" w" + std::to_string(i)) != std::string::npos) {
                    ++iGood;
                }
            }
        }));
    }
    for (HostThread* pThread : threads) {
        pThread->Join();
        delete pThread;
    }
    Check(iGood.load() == 20, "20 answers to 4 threads, each with its identifier (" +
                                  std::to_string(iGood.load()) + ")");

    // A pushed message.
    std::string answer;
    Check(Ask(x, 300, "300 0 push hello", 0, &answer) >= 4, "a request asking for a push");
    int iType = 0;
    int iCode = x.Read_Message2(&iType, buffer, sizeof(buffer), 10, 0);
    Check(iCode >= 4 && iType == 400,
          "Read_Message2 -> type 400: " + std::string(iCode >= 4 ? buffer : ""));

    // The notices: the server ends the session (96), then drops the
    //    connection (95); the user logs on again after each.
    Ask(x, 300, "300 1 disconnect", 1, nullptr);
    Check(WaitFor(g_iNotice96, 1, 15000), "WM_COPYDATA dwData 96 on the disconnect notice");
    Sleep(1500);
    Check(LogOn(x), "log-on again");
    Ask(x, 300, "300 1 drop", 1, nullptr);
    Check(WaitFor(g_iNotice95, 1, 15000), "WM_COPYDATA dwData 95 on the lost connection");
    Sleep(1500);
    Check(LogOn(x), "log-on again after the loss");
    Check(Ask(x, 300, "300 5 after all that", 5, nullptr) == 7, "requests go on");

    // Downloads: in the calling thread, and in the background onto an
    //    existing file.
    std::string url = fileUrl;
    char szSyncDest[] = "sync.bin";
    Check(x.DownloadFile(url.data(), szSyncDest) == 0 &&
              ReadWholeFile("sync.bin").size() == iFileSize,
          "DownloadFile in the calling thread");
    std::string missing = fileUrl + ".missing";
    char szMissingDest[] = "missing.bin";
    Check(x.DownloadFile(&missing[0], szMissingDest) != 0,
          "DownloadFile of a missing file fails (HTTP status)");
    FILE* pOld = std::fopen("background.bin", "wb");
    std::fputs("old", pOld);
    std::fclose(pOld);
    Check(x.Download_File_EX(fileUrl.c_str(), "background.bin") == 0, "Download_File_EX started");
    DWORD dwStart = GetTickCount();
    while (ReadWholeFile("background.bin").size() != iFileSize && GetTickCount() - dwStart < 20000)
        Sleep(20);
    Check(ReadWholeFile("background.bin").size() == iFileSize,
          "the background download replaced the file");
    Check(x.Download_File_EX(nullptr, "x") == 1, "Download_File_EX with a null URL -> 1");

    // The log holds GBK text ("线程" is CF DF B3 CC in code page 936).
    std::string log = ReadWholeFile("GameRun.log");
    Check(log.find("\xCF\xDF\xB3\xCC") != std::string::npos, "GameRun.log holds GBK bytes");

    // The log is kept open in a way that lets the game rename and delete
    //    it; about a second later the next entries start it anew.
    DeleteFileA("GameRun-renamed.log");  // left by an earlier run
    Check(MoveFileA("GameRun.log", "GameRun-renamed.log") != FALSE,
          "GameRun.log renamed while the library runs");
    Sleep(1200);
    Check(Ask(x, 305, "305 5 after the rename", 5, nullptr) >= 4, "a request after the rename");
    Check(ReadWholeFile("GameRun.log").find("type=305") != std::string::npos &&
              ReadWholeFile("GameRun-renamed.log").find("type=305") == std::string::npos,
          "its lines start a new GameRun.log, the renamed file keeps its own");
    Check(DeleteFileA("GameRun.log") != FALSE, "GameRun.log deleted while the library runs");
    Sleep(1200);
    Check(Ask(x, 306, "306 5 after the deletion", 5, nullptr) >= 4, "a request after the deletion");
    Check(ReadWholeFile("GameRun.log").find("type=306") != std::string::npos,
          "its lines start GameRun.log anew");

    // Unload: no hang, close1 to close5 in order, and the log let go.
    dwStart = GetTickCount();
    BOOL bFreed = FreeLibrary(hLib);
    DWORD dwFree = GetTickCount() - dwStart;
    Check(bFreed && dwFree < 5000, "FreeLibrary in " + std::to_string(dwFree) + " ms");
    log = ReadWholeFile("GameRun.log");
    size_t p = 0;
    bool bOrder = true;
    for (int i = 1; i <= 5; ++i) {
        size_t q = log.find("---testing20090618---close" + std::to_string(i) + "---", p);
        bOrder = bOrder && q != std::string::npos;
        p = q;
    }
    Check(bOrder, "close1 to close5 in order in GameRun.log");
    Check(GetModuleHandleA("Vorel.dll") == nullptr, "Vorel.dll is unloaded");
    // A file still open somewhere would linger, deleted, until closed.
    Check(DeleteFileA("GameRun.log") != FALSE && !FileThere("GameRun.log"),
          "after FreeLibrary GameRun.log is deleted at once: nothing holds it");

    PostThreadMessageA(g_dwWindowThread.load(), WM_QUIT, 0, 0);
    window.Join();
    std::printf("%d passed, %d failed\n", g_iPassed, g_iFailed);
    return g_iFailed == 0 ? 0 : 1;
}
