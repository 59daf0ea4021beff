// vorel-demo: what a game does with the library, step by step, printing
// what happens as it goes. It loads the library at run time, names a window
// for the library's notices, logs on, sends requests from several threads,
// reads a message the server pushes, provokes both notices, downloads a
// file and unloads the library.
//
//   vorel-demo LIBRARY [--download URL]
//
// LIBRARY is libVorel.so. It reads its server's address from
// serverConfigs.ini beside this program and writes GameRun.log into the
// current directory. --download names a file to fetch over HTTP; without it
// the downloads are skipped. tools/demo/run-demo.sh starts a vorel-server
// and runs the demo against it.
//
// Exit status: 0 every step went as a game expects; 1 a call returned an
// error or an answer never came; 2 the demo could not start.
#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "loader/vorel_exports.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAnswerSeconds = 10;  // how long a read waits for its answer
constexpr int kNoticeMs = 8000;     // how long the demo waits for a notice
constexpr int kDownloadMs = 30000;  // how long it waits for a background download
constexpr int kThreads = 4;
constexpr int kRequestsPerThread = 5;

loader::VorelExports vorel;  // the library's exports, found by name

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Something a game would notice going wrong: the demo stops and says what.
struct Trouble : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void Expect(bool bAsExpected, const std::string& what) {
    if (!bAsExpected) throw Trouble(what);
}

// ---- the game's window ------------------------------------------------------

// The dwData of the last WM_COPYDATA the window received (0: none since it
// was cleared). The window procedure runs on the library's session thread,
// hence the lock.
struct Notices {
    std::mutex mutex;
    std::condition_variable arrived;
    uintptr_t dwLast = 0;
};

intptr_t WindowProc(HWND hWnd, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg != WM_COPYDATA) return 0;
    auto* pNotices = static_cast<Notices*>(vorel.VorelGetWindowUser(hWnd));
    const auto* pData = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    std::lock_guard<std::mutex> lock(pNotices->mutex);
    pNotices->dwLast = pData->dwData;
    pNotices->arrived.notify_all();
    return 1;  // quickly: the session thread waits until the window has handled it
}

// ---- requests and answers ---------------------------------------------------

// Sends a request and waits for the answer of type iAnswerType under the
// request's identifier; returns the answer's text.
std::string Ask(int iType, int iAnswerType, int iQueueId, const std::string& request,
                const std::string& what) {
    int iWritten = vorel.Write_Message1(iType, request.c_str(), 0);  // 0: up to the NUL
    Expect(iWritten == 1, "Write_Message1 refused " + what + " with " + std::to_string(iWritten));
    char answer[1024] = "";
    int iFields =
        vorel.Read_Message1(iAnswerType, answer, sizeof(answer), kAnswerSeconds, iQueueId);
    Expect(iFields != 0,
           "no answer to " + what + " within " + std::to_string(kAnswerSeconds) + " s");
    Expect(iFields > 0, "Read_Message1 for " + what + " returned " + std::to_string(iFields));
    return answer;
}

// Logs on as player/secret under identifier 1. A log-on written while the
// library rebuilds its connection can go with the old connection's queues:
// after a lost connection an unanswered log-on is asked once more.
void LogOn(bool bAfterALostConnection) {
    const std::string request = "201 1 player secret";
    std::string answer;
    try {
        answer = Ask(201, 202, 1, request, "the log-on");
    } catch (const Trouble&) {
        if (!bAfterALostConnection) throw;
        std::printf("   no answer yet, asking once more\n");
        answer = Ask(201, 202, 1, request, "the log-on");
    }
    std::printf("   sent     %s\n   received %s\n", request.c_str(), answer.c_str());
    std::istringstream fields(answer);  // "202 1 player STATUS ...": STATUS 0 is welcome
    std::string type, id, user, status;
    fields >> type >> id >> user >> status;
    Expect(status == "0", "the server refused the log-on (status " + status + ")");
}

// Each thread sends requests under an identifier and type of its own and
// waits for each answer.
void RequestsFromThreads() {
    std::vector<std::string> problems(kThreads);
    std::vector<long> elapsedMs(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &problems, &elapsedMs] {
            const int iType = 300 + t;
            const int iQueueId = 101 + t;
            const std::string head = std::to_string(iType) + " " + std::to_string(iQueueId);
            Clock::time_point start = Clock::now();
            try {
                for (int r = 1; r <= kRequestsPerThread; ++r) {
                    std::string request = head + " hello " + std::to_string(r);
                    std::string answer =
                        Ask(iType, iType, iQueueId, request, "\"" + request + "\"");
                    Expect(answer.rfind(head + " ok ", 0) == 0, "unexpected answer " + answer);
                    if (t == 0 && r == 1) {
                        std::printf("   e.g. sent %s, received %s\n", request.c_str(),
                                    answer.c_str());
                    }
                }
            } catch (const Trouble& trouble) {
                problems[t] = trouble.what();
            }
            elapsedMs[t] = MsSince(start);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        std::printf("   thread %d: type %d, identifier %d: %d answers in %ld ms\n", t + 1, 300 + t,
                    101 + t, kRequestsPerThread, elapsedMs[t]);
        Expect(problems[t].empty(), problems[t]);
    }
}

// The library takes pushed messages once the game has sent a request under
// identifier 0. The reference server pushes one for a request whose third
// field is "push".
void PushedMessage() {
    Ask(300, 300, 0, "300 0 push hello", "the request for a push");
    char message[1024] = "";
    int iType = 0;
    int iFields = vorel.Read_Message2(&iType, message, sizeof(message), kAnswerSeconds, 0);
    Expect(iFields != 0, "no pushed message within " + std::to_string(kAnswerSeconds) + " s");
    Expect(iFields > 0, "Read_Message2 returned " + std::to_string(iFields));
    std::printf("   Read_Message2 -> type %d: %s\n", iType, message);
}

// Sends a request whose third field makes the server end the session
// ("disconnect") or close the connection ("drop"), waits for the notice to
// the window, sees Read_Message2 report the lost log-on (-9) and logs on
// again.
void LoseTheSession(Notices& notices, const char* szHow, uintptr_t dwData, const char* szMeans) {
    {
        std::lock_guard<std::mutex> lock(notices.mutex);
        notices.dwLast = 0;
    }
    std::string request = std::string("300 101 ") + szHow;
    Expect(vorel.Write_Message1(300, request.c_str(), 0) == 1, "Write_Message1 refused " + request);
    std::printf("   sent     %s\n", request.c_str());
    Clock::time_point start = Clock::now();
    {
        std::unique_lock<std::mutex> lock(notices.mutex);
        bool bCame = notices.arrived.wait_for(lock, std::chrono::milliseconds(kNoticeMs),
                                              [&] { return notices.dwLast == dwData; });
        Expect(bCame, "no notice " + std::to_string(dwData) + " to the window within " +
                          std::to_string(kNoticeMs / 1000) + " s");
    }
    std::printf("   window   WM_COPYDATA, dwData %lu after %ld ms: %s\n",
                static_cast<unsigned long>(dwData), MsSince(start), szMeans);
    char buffer[1024];
    int iType = 0;
    while (vorel.Read_Message2(&iType, buffer, sizeof(buffer), 0, 0) != -9) {
        Expect(MsSince(start) < kNoticeMs, "Read_Message2 never reported the lost log-on (-9)");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf("   Read_Message2 -> -9: the user must log on again\n");
    LogOn(true);
}

// ---- downloads --------------------------------------------------------------

void Downloads(const std::string& url) {
    std::filesystem::create_directory("downloads");
    const std::string background = "downloads/background.bin";
    const std::string here = "downloads/here.bin";
    std::filesystem::remove(background);

    // In the background: the call returns at once, and the file appears
    // whole once the transfer has ended well (a failure only writes a line
    // to GameRun.log).
    Clock::time_point start = Clock::now();
    int iStarted = vorel.Download_File_EX(url.c_str(), background.c_str());
    std::printf("   Download_File_EX(%s, %s) -> %d\n", url.c_str(), background.c_str(), iStarted);
    Expect(iStarted == 0, "Download_File_EX did not start a download");
    while (!std::filesystem::exists(background)) {
        Expect(MsSince(start) < kDownloadMs, "the background download did not arrive within " +
                                                 std::to_string(kDownloadMs / 1000) +
                                                 " s (GameRun.log says why)");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    auto iBytes = std::filesystem::file_size(background);
    std::printf("   %s arrived after %ld ms: %ju bytes\n", background.c_str(), MsSince(start),
                static_cast<uintmax_t>(iBytes));

    // In the calling thread: the call returns when the transfer has ended.
    start = Clock::now();
    int iResult = vorel.DownloadFile(url.c_str(), here.c_str());
    std::printf("   DownloadFile(%s, %s) -> %d after %ld ms\n", url.c_str(), here.c_str(), iResult,
                MsSince(start));
    Expect(iResult == 0, "DownloadFile failed with " + std::to_string(iResult));
    Expect(std::filesystem::file_size(here) == iBytes, "the two downloads differ in size");
}

void PlayTheGame(HWND hWnd, Notices& notices, const std::string& downloadUrl) {
    std::printf("\n2. Name the window for the library's notices\n");
    // The first call makes the library read serverConfigs.ini and connect.
    Expect(vorel.SetMessageWnd(hWnd) == 1, "SetMessageWnd did not take the window");
    std::printf("   SetMessageWnd -> 1\n");

    std::printf("\n3. Log on\n");
    LogOn(false);

    std::printf("\n4. Requests from %d threads\n", kThreads);
    RequestsFromThreads();

    std::printf("\n5. A message pushed by the server\n");
    PushedMessage();

    std::printf("\n6. The two notices\n");
    LoseTheSession(notices, "disconnect", 96, "the server ended the session");
    LoseTheSession(notices, "drop", 95, "the connection was lost");

    std::printf("\n7. Downloads\n");
    if (downloadUrl.empty()) {
        std::printf("   skipped: no --download given\n");
    } else {
        Downloads(downloadUrl);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string library = argc >= 2 ? argv[1] : "";
    std::string downloadUrl = argc == 4 && std::string(argv[2]) == "--download" ? argv[3] : "";
    if (library.empty() || library[0] == '-' || (argc != 2 && downloadUrl.empty())) {
        std::fprintf(stderr, "usage: vorel-demo LIBRARY [--download URL]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // A Windows game does the same with LoadLibrary("Vorel.dll") and
    // GetProcAddress for each name.
    std::printf("1. Load the library and find its exports by name\n");
    void* hLibrary = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (hLibrary == nullptr) {
        const char* szError = dlerror();
        std::fprintf(stderr, "vorel-demo: cannot load %s: %s\n", library.c_str(),
                     szError != nullptr ? szError : "dlopen failed");
        return 2;
    }
    std::string missing = loader::FindExports(hLibrary, &vorel);  // dlsym, name by name
    if (!missing.empty()) {
        std::fprintf(stderr, "vorel-demo: %s lacks %s\n", library.c_str(), missing.c_str());
        return 2;
    }
    std::printf("   dlopen %s, then dlsym for each export\n", library.c_str());

    // A Windows game names its own window; elsewhere the library offers a
    // stand-in whose procedure it calls on its session thread.
    Notices notices;
    HWND hWnd = vorel.VorelCreateWindow(WindowProc, &notices);
    int iStatus = 0;
    try {
        Expect(hWnd != nullptr, "VorelCreateWindow failed");
        PlayTheGame(hWnd, notices, downloadUrl);
    } catch (const Trouble& trouble) {
        std::printf("   FAILED: %s\n", trouble.what());
        iStatus = 1;
    }

    std::printf("\n8. Unload the library\n");
    if (hWnd != nullptr) vorel.VorelDestroyWindow(hWnd);
    Clock::time_point start = Clock::now();
    int iClosed = dlclose(hLibrary);  // FreeLibrary on Windows: the library's threads end
    std::printf("   dlclose -> %d after %ld ms\n", iClosed, MsSince(start));
    if (iClosed != 0) iStatus = 1;

    std::printf("   the library's own account of the run: GameRun.log (GBK text)\n");

    std::printf(iStatus == 0 ? "\nResult: all steps went as a game expects\n"
                             : "\nResult: FAILED\n");
    return iStatus;
}
