// vorel-demo: plays a game's part against a running server, with the library
// loaded at run time the way a game loads it.
//
//   vorel-demo [LIBRARY] [--server-control PATH] [--threads N] [--requests N]
//              [--download URL SIZE CKSUM]
//
// LIBRARY is libVorel.so, by default the one beside this program. The
// library takes its server address from serverConfigs.ini beside this
// program and writes GameRun.log into the current directory, so run the demo
// in a directory of its own. It logs on as player/secret, sends requests
// from several threads and checks every answer, reads a pushed message and
// unloads the library. Given the server's command input (--server-control: a
// FIFO that vorel-server reads as its standard input) it also has the server
// end the session and then drop the connection, to show both notices to the
// game's window and the log-on that follows each. Given a file to download
// (--download: its URL, its size and its POSIX cksum CRC) it fetches it in the
// background over an old file and in the calling thread, and fails one
// background download on purpose, checking what lands on disk and in
// GameRun.log.
//
// Exit status: 0 every check passed; 1 a check failed; 2 the demo could not
// start (usage, library, configuration); 3 its own time limit ran out.
#include <dlfcn.h>
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vorel/vorel.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWatchdogSeconds = 150;  // the whole run, whatever happens
constexpr int kAnswerTimeout = 10;     // seconds a read may wait for an answer
constexpr int kNoticeTimeoutMs = 8000;
constexpr int kLogTailLines = 15;
constexpr int kBufferSize = 4096;
constexpr int kLogonQueueId = 1;
constexpr int kFirstWorkerQueueId = 101;
constexpr int kFirstWorkerType = 300;
constexpr int kBurst = 5;  // requests each thread writes back to back before reading
// "player" in GBK, to show that request bytes pass through untouched.
constexpr const char* kGbkWord = "\xcd\xe6\xbc\xd2";

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    std::istringstream in(text);
    std::string field;
    while (in >> field) fields.push_back(field);
    return fields;
}

// GBK bytes as UTF-8 for the screen; bytes that do not convert become '?'.
std::string GbkToUtf8(const std::string& text) {
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::string plain = text;
        for (char& c : plain) {
            if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        }
        return plain;
    }
    std::string out;
    std::vector<char> in(text.begin(), text.end());
    char* pIn = in.data();
    size_t iInLeft = in.size();
    char chunk[1024];
    while (iInLeft > 0) {
        char* pOut = chunk;
        size_t iOutLeft = sizeof(chunk);
        size_t r = iconv(cd, &pIn, &iInLeft, &pOut, &iOutLeft);
        out.append(chunk, sizeof(chunk) - iOutLeft);
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            out.push_back('?');  // a broken or cut sequence: skip one byte
            ++pIn;
            --iInLeft;
        }
    }
    iconv_close(cd);
    return out;
}

std::string Show(const std::string& gbk) { return GbkToUtf8(gbk); }

// ---- the library, as the game sees it -------------------------------------

struct Api {
    void* hLibrary = nullptr;
    decltype(&::Write_Message1) Write_Message1 = nullptr;
    decltype(&::Read_Message1) Read_Message1 = nullptr;
    decltype(&::Read_Message2) Read_Message2 = nullptr;
    decltype(&::DownloadFile) DownloadFile = nullptr;
    decltype(&::Download_File_EX) Download_File_EX = nullptr;
    decltype(&::init) init = nullptr;
    decltype(&::SetMessageWnd) SetMessageWnd = nullptr;
    decltype(&::VorelCreateWindow) VorelCreateWindow = nullptr;
    decltype(&::VorelDestroyWindow) VorelDestroyWindow = nullptr;
    decltype(&::VorelGetWindowUser) VorelGetWindowUser = nullptr;
};

template <typename Fn>
void Resolve(void* hLibrary, const char* szName, Fn* pfn, std::vector<std::string>* pMissing) {
    void* pSymbol = dlsym(hLibrary, szName);
    if (pSymbol == nullptr) {
        pMissing->push_back(szName);
        return;
    }
    static_assert(sizeof(Fn) == sizeof(void*), "function and data pointers differ in size");
    std::memcpy(pfn, &pSymbol, sizeof(pSymbol));
}

// Loads the library and resolves every export by name. SetMessageWnd has C++
// linkage, so it is found under its decorated name.
bool LoadLibrary(const std::string& path, Api* pApi, std::string* pError) {
    pApi->hLibrary = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pApi->hLibrary == nullptr) {
        const char* szError = dlerror();
        *pError = szError != nullptr ? szError : "dlopen failed";
        return false;
    }
    std::vector<std::string> missing;
    void* h = pApi->hLibrary;
    Resolve(h, "Write_Message1", &pApi->Write_Message1, &missing);
    Resolve(h, "Read_Message1", &pApi->Read_Message1, &missing);
    Resolve(h, "Read_Message2", &pApi->Read_Message2, &missing);
    Resolve(h, "DownloadFile", &pApi->DownloadFile, &missing);
    Resolve(h, "Download_File_EX", &pApi->Download_File_EX, &missing);
    Resolve(h, "init", &pApi->init, &missing);
    Resolve(h, "_Z13SetMessageWndP6HWND__", &pApi->SetMessageWnd, &missing);
    Resolve(h, "VorelCreateWindow", &pApi->VorelCreateWindow, &missing);
    Resolve(h, "VorelDestroyWindow", &pApi->VorelDestroyWindow, &missing);
    Resolve(h, "VorelGetWindowUser", &pApi->VorelGetWindowUser, &missing);
    if (!missing.empty()) {
        *pError = "exports not found:";
        for (const std::string& name : missing) *pError += " " + name;
        dlclose(pApi->hLibrary);
        pApi->hLibrary = nullptr;
        return false;
    }
    return true;
}

// ---- the game's window ----------------------------------------------------

struct Notice {
    uintptr_t dwData;
    double dAtMs;  // since the demo started
};

// What the window procedure saw; it fills this on the library's session thread.
struct NoticeBoard {
    Clock::time_point start = Clock::now();
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Notice> notices;  // guarded by mutex
    int iOtherMessages = 0;       // guarded by mutex

    // Waits for a notice with dwData after the first iSeen notices; true when
    // it came, with the time it took in *pMs.
    bool WaitFor(uintptr_t dwData, size_t iSeen, int iTimeoutMs, double* pMs) {
        Clock::time_point asked = Clock::now();
        std::unique_lock<std::mutex> lock(mutex);
        bool bCame = changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [&] {
            for (size_t i = iSeen; i < notices.size(); ++i) {
                if (notices[i].dwData == dwData) return true;
            }
            return false;
        });
        *pMs = MsSince(asked);
        return bCame;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return notices.size();
    }
};

Api g_api;  // the window procedure reaches the library through it

// What went through the exports, for the totals at the end.
std::atomic<int> g_iRequestsWritten{0};
std::atomic<int> g_iAnswersRead{0};
std::atomic<int> g_iPushedRead{0};

intptr_t DemoWindowProc(HWND hWnd, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    auto* pBoard = static_cast<NoticeBoard*>(g_api.VorelGetWindowUser(hWnd));
    if (pBoard == nullptr) return 0;
    std::lock_guard<std::mutex> lock(pBoard->mutex);
    if (uMsg == WM_COPYDATA && lParam != 0) {
        const auto* pData = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        pBoard->notices.push_back({pData->dwData, MsSince(pBoard->start)});
    } else {
        ++pBoard->iOtherMessages;
    }
    pBoard->changed.notify_all();
    return 1;
}

// ---- checks and exchanges -------------------------------------------------

class Checks {
public:
    // Counts one check; prints the failure when it did not hold.
    bool Expect(bool bHolds, const std::string& what) {
        ++iTotal_;
        if (!bHolds) {
            ++iFailed_;
            std::printf("   FAILED: %s\n", Show(what).c_str());
        }
        return bHolds;
    }
    int Total() const { return iTotal_; }
    int Failed() const { return iFailed_; }

private:
    int iTotal_ = 0;
    int iFailed_ = 0;
};

struct Exchange {
    int iWrite = 0;      // Write_Message1's result
    int iRead = 0;       // Read_Message1's result
    std::string answer;  // the text in the buffer after the read
    double dMs = 0;      // from the write to the read's return
};

std::string ReadAnswer(int iType, int iQueueId, int iTimeout, int* piRead) {
    std::vector<char> buffer(kBufferSize, '\0');
    *piRead = g_api.Read_Message1(iType, buffer.data(), kBufferSize, iTimeout, iQueueId);
    if (*piRead > 0) ++g_iAnswersRead;
    return std::string(buffer.data());
}

int Write(int iType, const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    int iResult = g_api.Write_Message1(iType, copy.data(), static_cast<int>(text.size()));
    if (iResult == 1) ++g_iRequestsWritten;
    return iResult;
}

// Writes a request and reads the answer of type iAnswerType (by default the
// request's own type) under iQueueId.
Exchange SendAndRead(int iType, const std::string& text, int iQueueId, int iAnswerType = 0) {
    Exchange exchange;
    Clock::time_point start = Clock::now();
    exchange.iWrite = Write(iType, text);
    if (exchange.iWrite == 1) {
        exchange.answer = ReadAnswer(iAnswerType != 0 ? iAnswerType : iType, iQueueId,
                                     kAnswerTimeout, &exchange.iRead);
    }
    exchange.dMs = MsSince(start);
    return exchange;
}

// What is wrong with the answer to one request of the default application
// ("T N ok SEQ" and the request's fields from the third on), or "" when
// nothing is. *piSequence receives SEQ.
std::string EchoProblem(int iType, const std::string& request, int iRead, const std::string& answer,
                        long* piSequence) {
    if (iRead == 0) return "no answer within " + std::to_string(kAnswerTimeout) + " s";
    if (iRead < 0) return "read failed with " + std::to_string(iRead) + ": " + answer;
    std::vector<std::string> sent = Fields(request);
    std::vector<std::string> got = Fields(answer);
    if (static_cast<int>(got.size()) != iRead) {
        return "the read returned " + std::to_string(iRead) + " but the answer has " +
               std::to_string(got.size()) + " fields";
    }
    if (got.size() < 4 || got[0] != std::to_string(iType) || got[1] != sent[1] || got[2] != "ok") {
        return "unexpected answer \"" + answer + "\"";
    }
    char* pEnd = nullptr;
    *piSequence = std::strtol(got[3].c_str(), &pEnd, 10);
    if (*pEnd != '\0') return "no sequence number in \"" + answer + "\"";
    std::vector<std::string> echoed(got.begin() + 4, got.end());
    std::vector<std::string> words(sent.begin() + 2, sent.end());
    if (echoed != words) return "the answer \"" + answer + "\" does not carry the request's words";
    return "";
}

std::string Request(int iType, int iQueueId, const std::string& words) {
    return std::to_string(iType) + " " + std::to_string(iQueueId) + " " + words;
}

// ---- the game's threads ---------------------------------------------------

struct WorkerResult {
    int iQueueId = 0;
    int iType = 0;
    int iSent = 0;
    int iGood = 0;
    std::vector<double> roundTripsMs;
    std::vector<std::string> problems;
    std::string firstRequest, firstAnswer;
};

// One game thread: requests one at a time (each answer awaited, its round
// trip timed), then a burst written back to back and read in order.
void Worker(int iIndex, int iRequests, WorkerResult* pResult) {
    pResult->iQueueId = kFirstWorkerQueueId + iIndex;
    pResult->iType = kFirstWorkerType + iIndex;
    const int n = pResult->iQueueId;
    const int iType = pResult->iType;
    std::string tag = "w" + std::to_string(iIndex + 1);

    for (int r = 1; r <= iRequests; ++r) {
        std::string request = Request(iType, n, tag + " r" + std::to_string(r) + " " + kGbkWord);
        Exchange exchange = SendAndRead(iType, request, n);
        ++pResult->iSent;
        long iSequence = 0;
        std::string problem =
            exchange.iWrite != 1
                ? "Write_Message1 returned " + std::to_string(exchange.iWrite)
                : EchoProblem(iType, request, exchange.iRead, exchange.answer, &iSequence);
        if (!problem.empty()) {
            pResult->problems.push_back("[" + request + "]: " + problem);
            continue;
        }
        ++pResult->iGood;
        pResult->roundTripsMs.push_back(exchange.dMs);
        if (r == 1) {
            pResult->firstRequest = request;
            pResult->firstAnswer = exchange.answer;
        }
    }

    std::vector<std::string> burst;
    for (int b = 1; b <= kBurst; ++b) {
        burst.push_back(Request(iType, n, tag + " b" + std::to_string(b) + " " + kGbkWord));
        ++pResult->iSent;
        int iWrite = Write(iType, burst.back());
        if (iWrite != 1) {
            pResult->problems.push_back("[" + burst.back() + "]: Write_Message1 returned " +
                                        std::to_string(iWrite));
        }
    }
    long iLastSequence = -1;
    for (const std::string& request : burst) {
        int iRead = 0;
        std::string answer = ReadAnswer(iType, n, kAnswerTimeout, &iRead);
        long iSequence = 0;
        std::string problem = EchoProblem(iType, request, iRead, answer, &iSequence);
        if (problem.empty() && iSequence <= iLastSequence) problem = "answered out of order";
        if (!problem.empty()) {
            pResult->problems.push_back("[" + request + "]: " + problem);
            continue;
        }
        iLastSequence = iSequence;
        ++pResult->iGood;
    }
}

// ---- the demo's steps ------------------------------------------------------

struct Options {
    std::string library;
    std::string serverControl;
    int iThreads = 4;
    int iRequests = 5;
    std::string downloadUrl;  // a file to fetch; empty: no download steps
    uint64_t qwDownloadSize = 0;
    uint32_t dwDownloadCksum = 0;  // as the cksum command gives it
};

std::string DirectoryOfProgram() {
    char szPath[4096];
    ssize_t n = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (n <= 0) return ".";
    szPath[n] = '\0';
    std::string path = szPath;
    size_t iSlash = path.rfind('/');
    return iSlash == std::string::npos ? "." : path.substr(0, iSlash);
}

// The ConfigInfo value of serverConfigs.ini beside the program, or "".
std::string ConfiguredServer() {
    std::ifstream in(DirectoryOfProgram() + "/serverConfigs.ini");
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("ConfigInfo", 0) == 0) {
            size_t iEquals = line.find('=');
            if (iEquals != std::string::npos) return line.substr(iEquals + 1);
        }
    }
    return "";
}

const char* NetworkStateText(int iCode) {
    switch (iCode) {
        case -1:
            return "network adapters without an address";
        case -2:
            return "no network adapter";
        case -3:
            return "the adapter query failed";
        case -9:
            return "the local network looks sound";
        default:
            return "not a network-state code";
    }
}

// A request other than the log-on, made while not logged on, must be
// refused at once with a network-state code.
void ExpectRefused(Checks& checks, int iQueueId) {
    Clock::time_point start = Clock::now();
    int iRead = 0;
    ReadAnswer(kFirstWorkerType, iQueueId, 5, &iRead);
    double dMs = MsSince(start);
    std::printf(
        "   Read_Message1(type %d, id %d) -> %d after %.0f ms: refused, not logged on\n"
        "   (%d: %s)\n",
        kFirstWorkerType, iQueueId, iRead, dMs, iRead, NetworkStateText(iRead));
    checks.Expect(
        iRead == -1 || iRead == -2 || iRead == -3 || iRead == -9,
        "a read before the log-on should give a network-state code, not " + std::to_string(iRead));
    checks.Expect(dMs < 1000, "a read before the log-on should not wait");
}

// Logs on as player/secret under identifier 1 and checks the status field.
// bRetry: ask once more if no answer comes (a request written while the
// library rebuilds its connection may be lost with the old queues).
bool LogOn(Checks& checks, bool bRetry) {
    const std::string request = "201 1 player secret";
    for (int iAttempt = 1;; ++iAttempt) {
        Exchange exchange = SendAndRead(201, request, kLogonQueueId, 202);
        std::printf("   sent     [201] %s   (Write_Message1 -> %d)\n", request.c_str(),
                    exchange.iWrite);
        if (exchange.iWrite == 1 && exchange.iRead == 0 && bRetry && iAttempt == 1) {
            std::printf("   no answer in %d s, asking once more\n", kAnswerTimeout);
            continue;
        }
        if (!checks.Expect(exchange.iWrite == 1, "Write_Message1 for the log-on returned " +
                                                     std::to_string(exchange.iWrite))) {
            return false;
        }
        if (exchange.iRead == 0) {
            checks.Expect(false, "no answer to the log-on within " +
                                     std::to_string(kAnswerTimeout) +
                                     " s: is the server at the configured address running?");
            return false;
        }
        if (exchange.iRead < 0) {
            checks.Expect(false, "reading the log-on answer failed with " +
                                     std::to_string(exchange.iRead) + ": " + exchange.answer);
            return false;
        }
        std::printf("   received [202] %s   (%d fields, %.0f ms)\n", Show(exchange.answer).c_str(),
                    exchange.iRead, exchange.dMs);
        std::vector<std::string> fields = Fields(exchange.answer);
        if (!checks.Expect(
                exchange.iRead >= 4 && fields.size() >= 4 && fields[0] == "202" && fields[1] == "1",
                "unexpected log-on answer (" + std::to_string(exchange.iRead) + ") \"" +
                    exchange.answer + "\"")) {
            return false;
        }
        return checks.Expect(fields[3] == "0", "the server refused the log-on (status " +
                                                   fields[3] + "): does it know player/secret?");
    }
}

bool RunWorkers(Checks& checks, const Options& options) {
    std::vector<WorkerResult> results(static_cast<size_t>(options.iThreads));
    std::vector<std::thread> threads;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < options.iThreads; ++i) {
        threads.emplace_back(Worker, i, options.iRequests, &results[static_cast<size_t>(i)]);
    }
    for (std::thread& thread : threads) thread.join();
    double dMs = MsSince(start);

    int iSent = 0;
    int iGood = 0;
    std::vector<double> all;
    for (const WorkerResult& result : results) {
        std::printf("   thread %d: id %d, type %d: %d sent, %d answered correctly\n",
                    result.iQueueId - kFirstWorkerQueueId + 1, result.iQueueId, result.iType,
                    result.iSent, result.iGood);
        for (const std::string& problem : result.problems) checks.Expect(false, problem);
        iSent += result.iSent;
        iGood += result.iGood;
        all.insert(all.end(), result.roundTripsMs.begin(), result.roundTripsMs.end());
    }
    const WorkerResult& first = results.front();
    if (!first.firstRequest.empty()) {
        std::printf("   e.g. sent     [%d] %s\n", first.iType, Show(first.firstRequest).c_str());
        std::printf("        received [%d] %s\n", first.iType, Show(first.firstAnswer).c_str());
    }
    std::printf(
        "   %d requests, %d answers, each with its identifier and the request's words,\n"
        "   bursts in order; %.0f ms in all\n",
        iSent, iGood, dMs);
    if (!all.empty()) {
        double dSum = 0;
        for (double d : all) dSum += d;
        std::printf(
            "   round trip, write to answer read, %zu one-at-a-time requests:\n"
            "   min %.1f ms, avg %.1f ms, max %.1f ms (a waiting read looks every 50 ms)\n",
            all.size(), *std::min_element(all.begin(), all.end()), dSum / all.size(),
            *std::max_element(all.begin(), all.end()));
    }
    checks.Expect(iGood == iSent, std::to_string(iSent - iGood) + " requests went wrong");
    return iGood == iSent;
}

// A request with identifier 0 whose third field is "push": the server
// answers it and pushes a type-400 message to identifier 0 as well.
bool PushedMessage(Checks& checks) {
    std::vector<char> buffer(kBufferSize, '\0');
    int iType = -1;
    int iEarly = g_api.Read_Message2(&iType, buffer.data(), kBufferSize, 0, 0);
    std::printf("   Read_Message2 before anything was pushed -> %d, type %d\n", iEarly, iType);
    checks.Expect(iEarly == 0 && iType == 0, "Read_Message2 found something before the push");

    const std::string request = Request(kFirstWorkerType, 0, "push hello");
    Exchange exchange = SendAndRead(kFirstWorkerType, request, 0);
    std::printf("   sent     [%d] %s\n", kFirstWorkerType, request.c_str());
    long iSequence = 0;
    std::string problem =
        exchange.iWrite != 1
            ? "Write_Message1 returned " + std::to_string(exchange.iWrite)
            : EchoProblem(kFirstWorkerType, request, exchange.iRead, exchange.answer, &iSequence);
    if (!checks.Expect(problem.empty(), "[" + request + "]: " + problem)) return false;
    std::printf("   received [%d] %s   (%.0f ms)\n", kFirstWorkerType, exchange.answer.c_str(),
                exchange.dMs);

    Clock::time_point start = Clock::now();
    std::fill(buffer.begin(), buffer.end(), '\0');
    iType = 0;
    int iRead = g_api.Read_Message2(&iType, buffer.data(), kBufferSize, kAnswerTimeout, 0);
    std::string pushed(buffer.data());
    if (iRead > 0) ++g_iPushedRead;
    std::printf("   Read_Message2 -> %d, type %d: %s   (%.0f ms)\n", iRead, iType,
                Show(pushed).c_str(), MsSince(start));
    std::string expected = "400 0 notice " + std::to_string(iSequence) + " pushed for 0";
    return checks.Expect(iRead == 7 && iType == 400 && pushed == expected,
                         "expected the pushed message \"" + expected + "\" (7 fields, type 400)");
}

bool SendServerCommand(const std::string& path, const std::string& command) {
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    std::string line = command + "\n";
    bool bWritten = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(fd);
    return bWritten;
}

// Waits until Read_Message2 reports that the logged-on user lost the
// connection (-9), which the library says once it has rebuilt it.
bool WaitForLostLogon(double* pMs) {
    Clock::time_point start = Clock::now();
    std::vector<char> buffer(kBufferSize, '\0');
    while (MsSince(start) < kNoticeTimeoutMs) {
        int iType = 0;
        if (g_api.Read_Message2(&iType, buffer.data(), kBufferSize, 0, 0) == -9) {
            *pMs = MsSince(start);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    *pMs = MsSince(start);
    return false;
}

// Has the server break the connection with COMMAND, expects the notice
// DWDATA in the window, then logs on again and makes one request.
bool LoseAndRegain(Checks& checks, NoticeBoard& board, const Options& options,
                   const char* szCommand, uintptr_t dwData, const char* szMeaning) {
    size_t iSeen = board.Count();
    std::printf("   server command \"%s\"\n", szCommand);
    if (!checks.Expect(SendServerCommand(options.serverControl, szCommand),
                       "cannot write to the server's input " + options.serverControl)) {
        return false;
    }
    double dMs = 0;
    bool bCame = board.WaitFor(dwData, iSeen, kNoticeTimeoutMs, &dMs);
    if (!checks.Expect(bCame, "no WM_COPYDATA notice with dwData " + std::to_string(dwData) +
                                  " within " + std::to_string(kNoticeTimeoutMs / 1000) + " s")) {
        return false;
    }
    std::printf("   window got WM_COPYDATA dwData %lu after %.0f ms (%s)\n",
                static_cast<unsigned long>(dwData), dMs, szMeaning);
    bool bLost = WaitForLostLogon(&dMs);
    checks.Expect(bLost, "Read_Message2 never reported the lost log-on (-9)");
    if (bLost)
        std::printf("   Read_Message2 -> -9 after %.0f ms more: the user must log on again\n", dMs);
    ExpectRefused(checks, kFirstWorkerQueueId);
    if (!LogOn(checks, true)) return false;
    const std::string request = Request(kFirstWorkerType, kFirstWorkerQueueId, "again");
    Exchange exchange = SendAndRead(kFirstWorkerType, request, kFirstWorkerQueueId);
    long iSequence = 0;
    std::string problem =
        exchange.iWrite != 1
            ? "Write_Message1 returned " + std::to_string(exchange.iWrite)
            : EchoProblem(kFirstWorkerType, request, exchange.iRead, exchange.answer, &iSequence);
    if (!checks.Expect(problem.empty(), "[" + request + "]: " + problem)) return false;
    std::printf("   sent     [%d] %s\n   received [%d] %s   (%.0f ms)\n", kFirstWorkerType,
                request.c_str(), kFirstWorkerType, exchange.answer.c_str(), exchange.dMs);
    return true;
}

// ---- downloads --------------------------------------------------------------

constexpr int kDownloadTimeoutMs = 30000;  // for one transfer, or its failure line
constexpr int kWatchStepMs = 5;
constexpr const char* kDownloadDir = "downloads";
constexpr const char* kOldContent = "old content, to be replaced\n";
constexpr const char* kFailureLine = "---Download_File_Thread---error---";
// The destinations the download steps write; anything else in kDownloadDir
// is a temporary file left behind.
const char* const kDestinations[] = {"payload.bin", "keep.bin", "sync.bin", "sync-missing.bin"};

// The CRC of POSIX cksum (polynomial 0x04C11DB7, the length appended), so
// that a script can give the expected value with the cksum command.
uint32_t PosixCksum(const std::string& bytes) {
    static const std::vector<uint32_t> kTable = [] {
        std::vector<uint32_t> table(256);
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            table[i] = c;
        }
        return table;
    }();
    uint32_t crc = 0;
    auto add = [&crc](unsigned char b) { crc = (crc << 8) ^ kTable[(crc >> 24) ^ b]; };
    for (char c : bytes) add(static_cast<unsigned char>(c));
    for (uint64_t n = bytes.size(); n != 0; n >>= 8) add(static_cast<unsigned char>(n & 0xFF));
    return ~crc;
}

bool ReadWholeFile(const std::string& path, std::string* pContent) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream out;
    out << in.rdbuf();
    *pContent = out.str();
    return true;
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out.flush());
}

std::string InDownloadDir(const std::string& name) {
    return std::string(kDownloadDir) + "/" + name;
}

// The files in kDownloadDir that are not destinations, with their sizes.
std::vector<std::pair<std::string, uintmax_t>> StrayFiles() {
    std::vector<std::pair<std::string, uintmax_t>> stray;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kDownloadDir, ec)) {
        std::string name = entry.path().filename().string();
        if (std::find(std::begin(kDestinations), std::end(kDestinations), name) !=
            std::end(kDestinations)) {
            continue;
        }
        std::error_code sizeError;
        uintmax_t iSize = entry.file_size(sizeError);
        stray.emplace_back(name, sizeError ? 0 : iSize);
    }
    return stray;
}

void ExpectNoStrayFiles(Checks& checks) {
    std::string names;
    for (const auto& file : StrayFiles()) names += " " + file.first;
    checks.Expect(names.empty(), std::string("files left behind in ") + kDownloadDir + ":" + names);
}

// The lines of GameRun.log that contain both texts.
std::vector<std::string> LogLinesWith(const std::string& first, const std::string& second) {
    std::vector<std::string> lines;
    std::ifstream in("GameRun.log", std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find(first) != std::string::npos && line.find(second) != std::string::npos)
            lines.push_back(line);
    }
    return lines;
}

// The URL with its last path segment replaced: a file the server does not have.
std::string MissingUrl(const std::string& url) {
    return url.substr(0, url.rfind('/') + 1) + "no-such-file.bin";
}

std::string Mib(uint64_t qwBytes, double dMs) {
    char szText[64];
    std::snprintf(szText, sizeof(szText), "%.1f MiB/s",
                  dMs > 0 ? static_cast<double>(qwBytes) / (1024.0 * 1024.0) / (dMs / 1000) : 0.0);
    return szText;
}

// Checks a downloaded file against the expected size and checksum, and
// prints what it holds.
bool ExpectDownloaded(Checks& checks, const Options& options, const std::string& path, double dMs) {
    std::string content;
    bool bRead = ReadWholeFile(path, &content);
    uint32_t dwCksum = PosixCksum(content);
    bool bSame =
        bRead && content.size() == options.qwDownloadSize && dwCksum == options.dwDownloadCksum;
    std::printf("   after %.0f ms %s holds %zu bytes, cksum %u: %s (%s)\n", dMs, path.c_str(),
                content.size(), dwCksum, bSame ? "the served file" : "NOT the served file",
                Mib(content.size(), dMs).c_str());
    return checks.Expect(bRead, "cannot read " + path) &&
           checks.Expect(bSame, path + " does not hold the served file");
}

// Download_File_EX over an old file: the old file stays in place while the
// transfer runs, and the whole new one replaces it at once.
bool BackgroundDownload(Checks& checks, const Options& options) {
    const std::string destination = InDownloadDir("payload.bin");
    const std::string old = kOldContent;
    if (!checks.Expect(WriteWholeFile(destination, old), "cannot write " + destination))
        return false;
    Clock::time_point start = Clock::now();
    int iStarted = g_api.Download_File_EX(options.downloadUrl.c_str(), destination.c_str());
    std::printf("   Download_File_EX(\"%s\", \"%s\") -> %d after %.0f ms\n",
                options.downloadUrl.c_str(), destination.c_str(), iStarted, MsSince(start));
    if (!checks.Expect(iStarted == 0, "Download_File_EX did not start a download")) return false;

    int iOldSeen = 0;
    double dLastOldMs = 0;
    double dDoneMs = -1;
    std::string partialName;
    uintmax_t iPartialMax = 0;
    std::string torn;  // what the destination held when it was neither old nor new
    std::string content;
    while (MsSince(start) < kDownloadTimeoutMs) {
        bool bRead = ReadWholeFile(destination, &content);
        double dNowMs = MsSince(start);
        if (bRead && content == old) {
            ++iOldSeen;
            dLastOldMs = dNowMs;
            for (const auto& file : StrayFiles()) {
                if (file.second >= iPartialMax) {
                    partialName = file.first;
                    iPartialMax = file.second;
                }
            }
        } else if (bRead && content.size() == options.qwDownloadSize) {
            dDoneMs = dNowMs;
            break;
        } else if (torn.empty()) {
            torn = bRead ? std::to_string(content.size()) + " bytes" : "no file";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kWatchStepMs));
    }
    if (iOldSeen > 0) {
        std::printf(
            "   while it ran the destination still held the old %zu bytes: seen %d times,\n"
            "   the last %.0f ms after the call",
            old.size(), iOldSeen, dLastOldMs);
        if (!partialName.empty()) {
            std::printf("; beside it %s grew to %ju bytes", partialName.c_str(), iPartialMax);
        }
        std::printf("\n");
    } else {
        std::printf("   the transfer was over before the first look at the destination\n");
    }
    checks.Expect(torn.empty(), "during the transfer the destination held " + torn +
                                    ", neither the old file nor the new one");
    if (!checks.Expect(dDoneMs >= 0, "the destination did not get the new file within " +
                                         std::to_string(kDownloadTimeoutMs / 1000) + " s")) {
        return false;
    }
    bool bGood = ExpectDownloaded(checks, options, destination, dDoneMs);
    ExpectNoStrayFiles(checks);
    return bGood;
}

// Download_File_EX of a file the server does not have: the old file stays
// and the download thread writes its failure line to GameRun.log.
bool FailedBackgroundDownload(Checks& checks, const Options& options) {
    const std::string destination = InDownloadDir("keep.bin");
    const std::string url = MissingUrl(options.downloadUrl);
    const std::string old = kOldContent;
    if (!checks.Expect(WriteWholeFile(destination, old), "cannot write " + destination))
        return false;
    size_t iLinesBefore = LogLinesWith(kFailureLine, url).size();
    Clock::time_point start = Clock::now();
    int iStarted = g_api.Download_File_EX(url.c_str(), destination.c_str());
    std::printf("   Download_File_EX(\"%s\", \"%s\") -> %d\n", url.c_str(), destination.c_str(),
                iStarted);
    if (!checks.Expect(iStarted == 0, "Download_File_EX did not start a download")) return false;
    std::vector<std::string> lines;
    while (MsSince(start) < kDownloadTimeoutMs) {
        lines = LogLinesWith(kFailureLine, url);
        if (lines.size() > iLinesBefore) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!checks.Expect(lines.size() > iLinesBefore,
                       "no failure line for " + url + " in GameRun.log within " +
                           std::to_string(kDownloadTimeoutMs / 1000) + " s")) {
        return false;
    }
    std::printf("   GameRun.log after %.0f ms:\n   %s\n", MsSince(start),
                GbkToUtf8(lines.back()).c_str());
    std::string content;
    bool bKept = ReadWholeFile(destination, &content) && content == old;
    std::printf("   %s still holds the old %zu bytes: %s\n", destination.c_str(), old.size(),
                bKept ? "yes" : "NO");
    checks.Expect(bKept, "the failed download changed " + destination);
    ExpectNoStrayFiles(checks);
    return bKept;
}

// DownloadFile, in this thread: the served file, then the missing one.
bool SynchronousDownload(Checks& checks, const Options& options) {
    const std::string destination = InDownloadDir("sync.bin");
    std::vector<char> url(options.downloadUrl.begin(), options.downloadUrl.end());
    url.push_back('\0');
    std::vector<char> path(destination.begin(), destination.end());
    path.push_back('\0');
    Clock::time_point start = Clock::now();
    int iResult = g_api.DownloadFile(url.data(), path.data());
    double dMs = MsSince(start);
    std::printf("   DownloadFile(\"%s\", \"%s\") -> %d after %.0f ms\n", url.data(), path.data(),
                iResult, dMs);
    if (!checks.Expect(iResult == 0, "DownloadFile failed with " + std::to_string(iResult)))
        return false;
    bool bGood = ExpectDownloaded(checks, options, destination, dMs);

    const std::string missingDestination = InDownloadDir("sync-missing.bin");
    const std::string missing = MissingUrl(options.downloadUrl);
    url.assign(missing.begin(), missing.end());
    url.push_back('\0');
    path.assign(missingDestination.begin(), missingDestination.end());
    path.push_back('\0');
    iResult = g_api.DownloadFile(url.data(), path.data());
    std::error_code ec;
    bool bWritten = std::filesystem::exists(missingDestination, ec);
    std::printf("   DownloadFile(\"%s\", \"%s\") -> %d, %s\n", url.data(), path.data(), iResult,
                bWritten ? "a file was written" : "nothing written");
    checks.Expect(iResult != 0, "DownloadFile reported success for a missing file");
    checks.Expect(!bWritten, "a failed DownloadFile left " + missingDestination);
    ExpectNoStrayFiles(checks);
    return bGood && iResult != 0 && !bWritten;
}

void Downloads(Checks& checks, const Options& options) {
    std::printf("   served: %s, %llu bytes, cksum %u\n", options.downloadUrl.c_str(),
                static_cast<unsigned long long>(options.qwDownloadSize), options.dwDownloadCksum);
    std::error_code ec;
    std::filesystem::remove_all(kDownloadDir, ec);
    if (!checks.Expect(std::filesystem::create_directory(kDownloadDir, ec),
                       std::string("cannot make the directory ") + kDownloadDir)) {
        return;
    }
    std::printf("   in the background, over an old file:\n");
    if (!BackgroundDownload(checks, options)) return;
    std::printf("   in the background, a file the server does not have:\n");
    if (!FailedBackgroundDownload(checks, options)) return;
    std::printf("   in the calling thread:\n");
    SynchronousDownload(checks, options);
}

int CountThreads() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    }
    return -1;
}

void PrintLogTail(const char* szFile) {
    std::ifstream in(szFile, std::ios::binary);
    if (!in) {
        std::printf("   (no %s in the current directory)\n", szFile);
        return;
    }
    std::deque<std::string> tail;
    int iLines = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        tail.push_back(line);
        if (static_cast<int>(tail.size()) > kLogTailLines) tail.pop_front();
        ++iLines;
    }
    std::printf("%s: %d lines, the last %zu (GBK, shown as UTF-8):\n", szFile, iLines, tail.size());
    for (const std::string& entry : tail) std::printf("   %s\n", GbkToUtf8(entry).c_str());
}

void OnWatchdog(int) {
    static const char kText[] = "\nvorel-demo: FAILED: the demo did not finish in time\n";
    ssize_t n = write(STDERR_FILENO, kText, sizeof(kText) - 1);
    (void)n;
    _exit(3);
}

int Usage() {
    std::fprintf(
        stderr,
        "usage: vorel-demo [LIBRARY] [--server-control PATH] [--threads N] [--requests N]\n"
        "                  [--download URL SIZE CKSUM]\n");
    return 2;
}

bool ParseOptions(int argc, char** argv, Options* pOptions) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--server-control" && i + 1 < argc) {
            pOptions->serverControl = argv[++i];
        } else if (arg == "--threads" && i + 1 < argc) {
            pOptions->iThreads = std::atoi(argv[++i]);
            if (pOptions->iThreads < 1 || pOptions->iThreads > 16) return false;
        } else if (arg == "--requests" && i + 1 < argc) {
            pOptions->iRequests = std::atoi(argv[++i]);
            if (pOptions->iRequests < 1 || pOptions->iRequests > 100) return false;
        } else if (arg == "--download" && i + 3 < argc) {
            pOptions->downloadUrl = argv[++i];
            char* pEnd = nullptr;
            pOptions->qwDownloadSize = std::strtoull(argv[++i], &pEnd, 10);
            if (*pEnd != '\0') return false;
            unsigned long long iCksum = std::strtoull(argv[++i], &pEnd, 10);
            if (*pEnd != '\0' || iCksum > 0xFFFFFFFFull) return false;
            pOptions->dwDownloadCksum = static_cast<uint32_t>(iCksum);
        } else if (!arg.empty() && arg[0] != '-' && pOptions->library.empty()) {
            pOptions->library = arg;
        } else {
            return false;
        }
    }
    if (pOptions->library.empty()) pOptions->library = DirectoryOfProgram() + "/libVorel.so";
    return true;
}

// The steps a game takes while the library is loaded. A step that fails
// ends them: the later ones would only repeat the failure.
void PlayTheGame(Checks& checks, NoticeBoard& board, const Options& options, HWND hWnd) {
    std::printf(
        "\n2. The game's window (the first call creates the engine, which reads the\n"
        "   configuration and connects)\n");
    int iSet = g_api.SetMessageWnd(hWnd);
    std::printf("   stand-in window %p; SetMessageWnd -> %d\n", static_cast<void*>(hWnd), iSet);
    if (!checks.Expect(iSet == 1, "SetMessageWnd did not take the window")) return;

    std::printf("\n3. Before the log-on\n");
    ExpectRefused(checks, kLogonQueueId);

    std::printf("\n4. Log-on\n");
    if (!LogOn(checks, false)) return;

    std::printf("\n5. Requests from %d threads\n", options.iThreads);
    if (!RunWorkers(checks, options)) return;

    std::printf("\n6. A pushed message\n");
    if (!PushedMessage(checks)) return;

    std::printf("\n7. Notices to the window\n");
    if (options.serverControl.empty()) {
        std::printf("   skipped: no --server-control given\n");
    } else {
        if (!LoseAndRegain(checks, board, options, "disconnect", 96,
                           "the server ended the session")) {
            return;
        }
        if (!LoseAndRegain(checks, board, options, "drop", 95, "the connection was lost")) return;
    }

    std::printf("\n8. Downloads\n");
    if (options.downloadUrl.empty()) {
        std::printf("   skipped: no --download given\n");
    } else {
        Downloads(checks, options);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return Usage();
    signal(SIGALRM, OnWatchdog);
    alarm(kWatchdogSeconds);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::printf("Vorel demo: a game's part, with the library loaded at run time\n");
    std::string server = ConfiguredServer();
    if (server.empty()) {
        std::fprintf(stderr,
                     "vorel-demo: %s/serverConfigs.ini has no [Lumaro_COM] ConfigInfo = HOST PORT: "
                     "the library would not know its server\n",
                     DirectoryOfProgram().c_str());
        return 2;
    }
    std::printf("   server (serverConfigs.ini): %s\n", server.c_str());

    std::printf("\n1. Loading\n");
    std::string error;
    Clock::time_point start = Clock::now();
    if (!LoadLibrary(options.library, &g_api, &error)) {
        std::fprintf(stderr, "vorel-demo: cannot load %s: %s\n", options.library.c_str(),
                     error.c_str());
        return 2;
    }
    std::printf("   dlopen %s: %.0f ms, 10 exports resolved by name\n", options.library.c_str(),
                MsSince(start));
    // Sanitizer runtimes start a helper thread along with the program's
    // first thread: start and end one of ours, so that the count taken
    // before the library's first call already includes it.
    std::thread([] {}).join();
    int iThreadsBefore = CountThreads();

    Checks checks;
    NoticeBoard board;
    HWND hWnd = g_api.VorelCreateWindow(DemoWindowProc, &board);
    if (checks.Expect(hWnd != nullptr, "VorelCreateWindow failed")) {
        PlayTheGame(checks, board, options, hWnd);
    }

    std::printf("\n9. Unloading\n");
    {
        std::lock_guard<std::mutex> lock(board.mutex);
        std::printf("   notices the window received:");
        const char* szSeparator = " ";
        for (const Notice& notice : board.notices) {
            std::printf("%sdwData %lu at %.1f s", szSeparator,
                        static_cast<unsigned long>(notice.dwData), notice.dAtMs / 1000);
            szSeparator = ", ";
        }
        std::printf("%s\n", board.notices.empty() ? " none" : "");
        size_t iExpected = options.serverControl.empty() ? 0 : 2;
        checks.Expect(checks.Failed() > 0 || board.notices.size() == iExpected,
                      "the window got " + std::to_string(board.notices.size()) +
                          " notices, expected " + std::to_string(iExpected));
        checks.Expect(board.iOtherMessages == 0, "the window got messages other than WM_COPYDATA");
    }
    g_api.VorelDestroyWindow(hWnd);
    start = Clock::now();
    int iClosed = dlclose(g_api.hLibrary);
    double dCloseMs = MsSince(start);
    void* hStill = dlopen(options.library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (hStill != nullptr) dlclose(hStill);
    int iThreadsAfter = CountThreads();
    std::printf(
        "   dlclose -> %d after %.0f ms; library %s; threads: %d before the first call, %d now\n",
        iClosed, dCloseMs, hStill == nullptr ? "unloaded" : "STILL LOADED", iThreadsBefore,
        iThreadsAfter);
    checks.Expect(iClosed == 0, "dlclose failed");
    checks.Expect(hStill == nullptr, "the library stayed loaded after dlclose");
    checks.Expect(iThreadsAfter == iThreadsBefore, "the library left threads running after unload");

    std::printf("\n");
    PrintLogTail("GameRun.log");
    alarm(0);
    std::printf(
        "\nTotals: %d requests written, %d answers read, %d pushed message%s read, "
        "%zu notice%s\n",
        g_iRequestsWritten.load(), g_iAnswersRead.load(), g_iPushedRead.load(),
        g_iPushedRead.load() == 1 ? "" : "s", board.notices.size(),
        board.notices.size() == 1 ? "" : "s");
    if (checks.Failed() == 0) {
        std::printf("\nResult: all %d checks passed\n", checks.Total());
        return 0;
    }
    std::printf("\nResult: FAILED, %d of %d checks did not hold\n", checks.Failed(),
                checks.Total());
    return 1;
}
