// How a Windows game may end its use of the library, for the Windows build
// under Wine. One case per run:
//
//   vorel-wine-unload.exe notice PORT   a window procedure that unloads the
//                                       library when told that the server
//                                       ended the session (dwData 96)
//   vorel-wine-unload.exe exit PORT     the process ends without FreeLibrary,
//                                       as most games end; the caller then
//                                       reads GameRun.log
//   vorel-wine-unload.exe plugin PORT URL  a plug-in DLL that calls exports
//                                       from its DllMain, under the loader lock
//   vorel-wine-unload.exe logon PORT    a window procedure that logs on again
//                                       when told that the server ended the
//                                       session: the log-on is answered
//   vorel-wine-unload.exe init PORT     FreeLibrary while a game thread's
//                                       init waits for a set-up (PORT: where
//                                       nobody listens)
//   vorel-wine-unload.exe download PORT URL  FreeLibrary while a game thread
//                                       is inside DownloadFile (URL: slow)
//
// Prints "N passed, N failed" last and exits non-zero on any failure.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_iPassed = 0;
int g_iFailed = 0;

void Check(bool bOk, const std::string& what) {
    ++(bOk ? g_iPassed : g_iFailed);
    std::printf("%s  %s\n", bOk ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
}

int Summary() {
    std::printf("%d passed, %d failed\n", g_iPassed, g_iFailed);
    return g_iFailed == 0 ? 0 : 1;
}

template <class T>
T Export(HMODULE hLib, const char* szName) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(hLib, szName)));
}

struct Library {
    HMODULE hLib = nullptr;
    int (*Write_Message1)(int, char*, int) = nullptr;
    int (*Read_Message1)(int, char*, int, int, int) = nullptr;
    int (*init)(char*, int) = nullptr;
    int (*SetMessageWnd)(HWND) = nullptr;

    bool Load() {
        hLib = LoadLibraryA("Vorel.dll");
        if (hLib == nullptr) return false;
        Write_Message1 = Export<decltype(Write_Message1)>(hLib, "Write_Message1");
        Read_Message1 = Export<decltype(Read_Message1)>(hLib, "Read_Message1");
        init = Export<decltype(init)>(hLib, "init");
        SetMessageWnd = Export<decltype(SetMessageWnd)>(hLib, "?SetMessageWnd@@YAHPAUHWND__@@@Z");
        return Write_Message1 && Read_Message1 && init && SetMessageWnd;
    }
    int Write(int iType, const std::string& text) {
        std::vector<char> input(text.begin(), text.end());
        input.push_back('\0');
        return Write_Message1(iType, input.data(), 0);
    }
    bool Connect(int iPort) {
        char szHost[] = "127.0.0.1";
        return init(szHost, iPort) == 0;
    }
    bool LogOn() {
        if (Write(201, "201 1 player secret") != 1) return false;
        char buffer[512];
        return Read_Message1(202, buffer, sizeof(buffer), 20, 1) >= 4 &&
               std::strstr(buffer, " 0 ") != nullptr;
    }
};

std::string ReadWholeFile(const char* szPath) {
    std::string content;
    FILE* pFile = std::fopen(szPath, "rb");
    if (pFile == nullptr) return content;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pFile)) > 0) content.append(buffer, n);
    std::fclose(pFile);
    return content;
}

bool CloseLinesInOrder() {
    std::string log = ReadWholeFile("GameRun.log");
    size_t p = 0;
    for (int i = 1; i <= 5; ++i) {
        p = log.find("---testing20090618---close" + std::to_string(i) + "---", p);
        if (p == std::string::npos) return false;
    }
    return true;
}

// --- notice: the window procedure unloads the library -----------------------
std::atomic<HMODULE> g_hToFree{nullptr};
std::atomic<long> g_iFreeMs{-1};
std::atomic<HWND> g_hWnd{nullptr};

// The library for a procedure that logs on at the disconnect notice.
std::atomic<struct Library*> g_pLogOnLibrary{nullptr};
std::atomic<int> g_iLogOnWritten{0};

LRESULT CALLBACK UnloadingWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_COPYDATA && g_pLogOnLibrary.load() != nullptr) {
        g_iLogOnWritten = g_pLogOnLibrary.load()->Write(201, "201 1 player secret") == 1 ? 1 : -1;
        return TRUE;
    }
    if (uMsg == WM_COPYDATA) {
        const COPYDATASTRUCT* pData = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        HMODULE hLib = pData->dwData == 96 ? g_hToFree.exchange(nullptr) : nullptr;
        if (hLib != nullptr) {
            DWORD dwStart = GetTickCount();
            FreeLibrary(hLib);
            g_iFreeMs = static_cast<long>(GetTickCount() - dwStart);
        }
        return TRUE;
    }
    return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

DWORD WINAPI WindowThread(LPVOID) {
    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof(wc));
    wc.lpfnWndProc = UnloadingWndProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "VorelUnloadHostWindow";
    RegisterClassA(&wc);
    g_hWnd = CreateWindowExA(0, wc.lpszClassName, "host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             wc.hInstance, nullptr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    return 0;
}

// Loads the library, names a window running on a thread of its own (its id
// in *pdwThread; the thread's handle is returned), and logs on.
HANDLE LoadWithAWindowAndLogOn(Library* pLib, int iPort, DWORD* pdwThread) {
    Check(pLib->Load(), "LoadLibrary(Vorel.dll)");
    HANDLE hWindow = CreateThread(nullptr, 0, WindowThread, nullptr, 0, pdwThread);
    for (int i = 0; i < 500 && g_hWnd.load() == nullptr; ++i) Sleep(10);
    Check(pLib->SetMessageWnd(g_hWnd.load()) == 1, "SetMessageWnd(window)");
    Check(pLib->Connect(iPort), "init");
    Check(pLib->LogOn(), "log-on");
    return hWindow;
}

int NoticeCase(int iPort) {
    Library lib;
    DWORD dwWindowThread = 0;
    HANDLE hWindow = LoadWithAWindowAndLogOn(&lib, iPort, &dwWindowThread);
    g_hToFree = lib.hLib;
    lib.Write(300, "300 5 disconnect");
    DWORD dwStart = GetTickCount();
    while (g_iFreeMs.load() < 0 && GetTickCount() - dwStart < 15000) Sleep(10);
    long iFreeMs = g_iFreeMs.load();
    Check(iFreeMs >= 0 && iFreeMs < 2600,
          "FreeLibrary from the window procedure returned in " + std::to_string(iFreeMs) + " ms");
    // The session thread comes back from the procedure into the library,
    // which it keeps loaded for that, and ends there.
    Sleep(3000);
    Check(GetModuleHandleA("Vorel.dll") != nullptr,
          "Vorel.dll stays loaded for its session thread");
    Check(CloseLinesInOrder(), "close1 to close5 in order");
    Check(ReadWholeFile("GameRun.log").find("---testing20090618---close---error---") !=
              std::string::npos,
          "the thread that could not be stopped is logged");
    PostThreadMessageA(dwWindowThread, WM_QUIT, 0, 0);
    WaitForSingleObject(hWindow, 5000);
    CloseHandle(hWindow);
    Check(true, "the process is alive after the session thread's return");
    return Summary();
}

// --- logon: a log-on made on hearing notice 96 is answered ----------------------
int LogOnCase(int iPort) {
    Library lib;
    DWORD dwWindowThread = 0;
    HANDLE hWindow = LoadWithAWindowAndLogOn(&lib, iPort, &dwWindowThread);
    // Past the library's first five seconds the new connection's set-up
    // empties the queues: the log-on must come after that.
    Sleep(5200);
    g_pLogOnLibrary = &lib;
    lib.Write(300, "300 5 disconnect");
    DWORD dwStart = GetTickCount();
    while (g_iLogOnWritten.load() == 0 && GetTickCount() - dwStart < 15000) Sleep(10);
    Check(g_iLogOnWritten.load() == 1, "the window procedure logged on at notice 96");
    char buffer[512];
    Check(lib.Read_Message1(202, buffer, sizeof(buffer), 20, 1) >= 4,
          "that log-on went out on the new connection and was answered");
    g_pLogOnLibrary = nullptr;
    FreeLibrary(lib.hLib);
    PostThreadMessageA(dwWindowThread, WM_QUIT, 0, 0);
    WaitForSingleObject(hWindow, 5000);
    CloseHandle(hWindow);
    return Summary();
}

// --- init: FreeLibrary while init waits for a set-up --------------------------------
struct InitCall {
    Library* pLib;
    int iPort;
    std::atomic<int> iResult{1};
};

DWORD WINAPI InitThread(LPVOID pArg) {
    InitCall* pCall = static_cast<InitCall*>(pArg);
    char szHost[] = "127.0.0.1";
    pCall->iResult = pCall->pLib->init(szHost, pCall->iPort);
    return 0;
}

int InitCase(int iDeadPort) {
    Library lib;
    Check(lib.Load(), "LoadLibrary(Vorel.dll)");
    char szHost[] = "127.0.0.1";
    lib.init(szHost, iDeadPort);
    // Inside the cycle of attempts at an address where nobody listens.
    DWORD dwStart = GetTickCount();
    while (ReadWholeFile("GameRun.log").find("---ReConnect---") == std::string::npos &&
           GetTickCount() - dwStart < 15000)
        Sleep(20);
    InitCall call;
    call.pLib = &lib;
    call.iPort = iDeadPort;
    HANDLE hCaller = CreateThread(nullptr, 0, InitThread, &call, 0, nullptr);
    Sleep(20);
    dwStart = GetTickCount();
    FreeLibrary(lib.hLib);
    DWORD dwFree = GetTickCount() - dwStart;
    Check(dwFree < 2600, "FreeLibrary returned in " + std::to_string(dwFree) + " ms");
    Check(WaitForSingleObject(hCaller, 5000) == WAIT_OBJECT_0, "the init call returned");
    CloseHandle(hCaller);
    Check(call.iResult.load() == 0 || call.iResult.load() == -2,
          "init returned " + std::to_string(call.iResult.load()));
    Check(GetModuleHandleA("Vorel.dll") == nullptr, "Vorel.dll is unloaded, not kept");
    Check(CloseLinesInOrder(), "close1 to close5 in order");
    Check(ReadWholeFile("GameRun.log").find("---testing20090618---close---error---") ==
              std::string::npos,
          "no thread was left running");
    return Summary();
}

// --- download: FreeLibrary while a game thread is inside DownloadFile ------------
struct DownloadCall {
    int (*pfnDownloadFile)(const char*, const char*);
    const char* szUrl;
    std::atomic<int> iResult{-100};
};

DWORD WINAPI DownloadThread(LPVOID pArg) {
    DownloadCall* pCall = static_cast<DownloadCall*>(pArg);
    pCall->iResult = pCall->pfnDownloadFile(pCall->szUrl, "slow.bin");
    return 0;
}

int DownloadCase(const char* szUrl) {
    for (bool bEngine : {false, true}) {
        const std::string round = bEngine ? " (with an engine)" : " (no engine)";
        Library lib;
        Check(lib.Load(), "LoadLibrary(Vorel.dll)" + round);
        if (bEngine) lib.SetMessageWnd(nullptr);  // creates the engine
        DownloadCall call;
        call.pfnDownloadFile = Export<int (*)(const char*, const char*)>(lib.hLib, "DownloadFile");
        call.szUrl = szUrl;
        HANDLE hCaller = CreateThread(nullptr, 0, DownloadThread, &call, 0, nullptr);
        // Inside the transfer: the slow server sends a kilobyte a second.
        DWORD dwStart = GetTickCount();
        while (ReadWholeFile("slow.bin.part").size() < 100 && GetTickCount() - dwStart < 10000)
            Sleep(20);
        Check(call.iResult.load() == -100, "DownloadFile is still running" + round);
        dwStart = GetTickCount();
        FreeLibrary(lib.hLib);
        DWORD dwFree = GetTickCount() - dwStart;
        Check(dwFree < 2600, "FreeLibrary returned in " + std::to_string(dwFree) + " ms" + round);
        Check(WaitForSingleObject(hCaller, 5000) == WAIT_OBJECT_0,
              "the DownloadFile call returned" + round);
        CloseHandle(hCaller);
        Check(call.iResult.load() == 7,
              "DownloadFile returned " + std::to_string(call.iResult.load()) + round);
        Check(GetModuleHandleA("Vorel.dll") == nullptr, "Vorel.dll is unloaded, not kept" + round);
        Check(ReadWholeFile("GameRun.log").find("---close---error---") == std::string::npos,
              "no thread was left running" + round);
        DeleteFileA("slow.bin.part");
    }
    return Summary();
}

// --- exit: the process ends without FreeLibrary --------------------------------
int ExitCase(int iPort) {
    Library lib;
    Check(lib.Load(), "LoadLibrary(Vorel.dll)");
    Check(lib.Connect(iPort), "init");
    Check(lib.LogOn(), "log-on");
    std::printf("%d passed, %d failed\n", g_iPassed, g_iFailed);
    std::fflush(stdout);
    // The system ends the library's threads, then detaches it.
    ExitProcess(g_iFailed == 0 ? 0 : 1);
}

// --- plugin: exports called under the loader lock -------------------------------
int PluginCase(int iPort, const char* szUrl) {
    SetEnvironmentVariableA("VOREL_PLUGIN_URL", szUrl);
    DWORD dwStart = GetTickCount();
    HMODULE hPlugin = LoadLibraryA("vorel-plugin.dll");
    DWORD dwLoad = GetTickCount() - dwStart;
    Check(hPlugin != nullptr, "LoadLibrary(vorel-plugin.dll)");
    Check(dwLoad < 2000,
          "its DllMain's calls returned; the load took " + std::to_string(dwLoad) + " ms");
    auto pfnResults = Export<int (*)(int*)>(hPlugin, "PluginResults");
    int aiResults[2] = {-100, -100};
    if (pfnResults != nullptr) pfnResults(aiResults);
    Check(aiResults[0] == 0, "SetMessageWnd(no window) from DllMain -> 0 (engine created)");
    Check(aiResults[1] == 0, "Download_File_EX from DllMain -> 0");
    // Once the loader lock is free, the threads started under it run.
    Library lib;
    Check(lib.Load(), "the library is there for the game too");
    Check(lib.Connect(iPort), "init");
    Check(lib.LogOn(), "log-on through the engine created under the loader lock");
    std::string fetched;
    dwStart = GetTickCount();
    while ((fetched = ReadWholeFile("plugin.bin")).empty() && GetTickCount() - dwStart < 15000)
        Sleep(20);
    Check(!fetched.empty(), "the download started under the loader lock completed");
    FreeLibrary(lib.hLib);
    FreeLibrary(hPlugin);
    return Summary();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(
            stderr,
            "usage: vorel-wine-unload.exe notice|exit|plugin|logon|init|download PORT [URL]\n");
        return 2;
    }
    std::string what = argv[1];
    int iPort = std::atoi(argv[2]);
    if (what == "notice") return NoticeCase(iPort);
    if (what == "exit") return ExitCase(iPort);
    if (what == "plugin" && argc >= 4) return PluginCase(iPort, argv[3]);
    if (what == "logon") return LogOnCase(iPort);
    if (what == "init") return InitCase(iPort);
    if (what == "download" && argc >= 4) return DownloadCase(argv[3]);
    std::fprintf(stderr, "unknown case %s\n", what.c_str());
    return 2;
}
