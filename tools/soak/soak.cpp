// vorel-soak: drop and reconnect cycles against the reference server, with
// the library loaded at run time as a game loads it, watching the process's
// open descriptors, threads and heap for growth.
//
//   vorel-soak --server PATH [--library PATH] [--cycles N] [--requests N]
//              [--fd-tolerance N] [--thread-tolerance N] [--heap-tolerance BYTES]
//              [--inject-leak fd,thread,heap]
//
// It starts PATH (vorel-server) with a pipe on its standard input and its
// output in server.out in the current directory, loads LIBRARY (by default
// libVorel.so in the directory above this program's), points it at the
// server with init, names a stand-in window, logs on and makes --requests
// requests. That state is the start. Each cycle then has the server drop
// every connection ("drop" on its input), waits for the lost-connection
// notice in the window and for Read_Message2's -9, logs on again and makes
// the requests again, and measures: open descriptors (/proc/self/fd),
// threads (/proc/self/task) and heap bytes in use (the allocator's own count:
// mallinfo2, or the sanitizer's allocator when one is linked in). After the
// last cycle each figure must be within its tolerance of the start; the
// library is then unloaded, after which descriptors and threads must be back
// where they were before it was loaded.
//
// The tolerances (by default 2 descriptors, 1 thread, 64 KiB) leave room for
// a one-time allocation, such as a cache filled by the first reconnect, but
// not for anything taken once a cycle: over 100 cycles, a descriptor, a
// thread or 656 bytes a cycle is caught. --inject-leak makes the soak itself
// leak one descriptor, one thread or 64 KiB of heap a cycle (any of them,
// separated by commas), to show that the checks catch such a leak.
//
// Exit status: 0 flat; 1 a figure grew or a cycle failed; 2 the soak could
// not start (usage, server, library); 3 its own time limit ran out.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "loader/vorel_exports.h"
#include "server/server_process.h"

// The allocator's count of bytes in use, when a sanitizer's allocator has
// taken the place of the C library's (mallinfo2 then sees almost nothing).
extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kAnswerTimeout = 10;       // seconds a read may wait for an answer
constexpr int kNoticeTimeoutMs = 10000;  // drop to notice, and notice to -9
constexpr int kSettleMs = 2000;          // for threads and descriptors to go back down
constexpr int kBufferSize = 4096;
constexpr int kLogonQueueId = 1;
constexpr int kRequestQueueId = 101;
constexpr int kRequestType = 300;
constexpr size_t kInjectedHeapBytes = 64 * 1024;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- what the process holds -------------------------------------------------

// The entries of a /proc directory, less the descriptor that reads it when
// the directory is /proc/self/fd.
std::vector<std::string> ProcEntries(const char* szDir) {
    std::vector<std::string> names;
    DIR* pDir = opendir(szDir);
    if (pDir == nullptr) return names;
    std::string own = std::to_string(dirfd(pDir));
    bool bFdDir = std::strcmp(szDir, "/proc/self/fd") == 0;
    while (dirent* pEntry = readdir(pDir)) {
        std::string name = pEntry->d_name;
        if (name == "." || name == ".." || (bFdDir && name == own)) continue;
        names.push_back(name);
    }
    closedir(pDir);
    return names;
}

long long HeapInUse() {
    if (__sanitizer_get_current_allocated_bytes != nullptr) {
        return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
    }
    struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

long long ResidentBytes() {
    std::ifstream in("/proc/self/statm");
    long long iPages = 0, iResident = 0;
    in >> iPages >> iResident;
    return iResident * sysconf(_SC_PAGESIZE);
}

struct Figures {
    int iFds = 0;
    int iThreads = 0;
    long long iHeap = 0;
    long long iResident = 0;
};

Figures Measure() {
    Figures f;
    f.iFds = static_cast<int>(ProcEntries("/proc/self/fd").size());
    f.iThreads = static_cast<int>(ProcEntries("/proc/self/task").size());
    f.iHeap = HeapInUse();
    f.iResident = ResidentBytes();
    return f;
}

// Measures once descriptors and threads are back to the reference, or after
// kSettleMs: a thread of the library that is ending, or a socket being
// closed, is not a leak, while what stays is.
Figures MeasureSettled(const Figures& reference) {
    Clock::time_point start = Clock::now();
    Figures f = Measure();
    while ((f.iFds > reference.iFds || f.iThreads > reference.iThreads) &&
           MsSince(start) < kSettleMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        f = Measure();
    }
    return f;
}

// What the open descriptors refer to, for the report of a growth: files by
// path, sockets and pipes by kind only (a reconnect makes a new socket in
// the same place).
std::multiset<std::string> DescriptorTargets() {
    std::multiset<std::string> targets;
    for (const std::string& fd : ProcEntries("/proc/self/fd")) {
        char szTarget[512];
        ssize_t n = readlink(("/proc/self/fd/" + fd).c_str(), szTarget, sizeof(szTarget) - 1);
        std::string target = n > 0 ? std::string(szTarget, static_cast<size_t>(n)) : "?";
        size_t iInode = target.find(":[");
        if (iInode != std::string::npos) target.erase(iInode);
        targets.insert(target);
    }
    return targets;
}

// What `now` holds beyond `before`.
std::multiset<std::string> Beyond(std::multiset<std::string> now,
                                  const std::multiset<std::string>& before) {
    for (const std::string& item : before) {
        auto it = now.find(item);
        if (it != now.end()) now.erase(it);
    }
    return now;
}

// The names of the process's threads, for the report of a growth.
std::multiset<std::string> ThreadNames() {
    std::multiset<std::string> names;
    for (const std::string& task : ProcEntries("/proc/self/task")) {
        std::ifstream in("/proc/self/task/" + task + "/comm");
        std::string name;
        std::getline(in, name);
        names.insert(name);
    }
    return names;
}

// ---- the reference server ---------------------------------------------------

using Server = refserver::ServerProcess;

// ---- the library, as a game sees it -----------------------------------------

// The exports, found by name, and the library's handle.
struct Api : loader::VorelExports {
    void* hLibrary = nullptr;
};

Api g_api;

// The notices the window received, by dwData; filled on the session thread.
struct NoticeBoard {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<uintptr_t, int> counts;  // guarded by mutex

    int Count(uintptr_t dwData) {
        std::lock_guard<std::mutex> lock(mutex);
        return counts[dwData];
    }
    bool WaitBeyond(uintptr_t dwData, int iSeen, int iTimeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs),
                                [&] { return counts[dwData] > iSeen; });
    }
};

intptr_t SoakWindowProc(HWND hWnd, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    auto* pBoard = static_cast<NoticeBoard*>(g_api.VorelGetWindowUser(hWnd));
    if (pBoard == nullptr || uMsg != WM_COPYDATA || lParam == 0) return 0;
    const auto* pData = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    std::lock_guard<std::mutex> lock(pBoard->mutex);
    ++pBoard->counts[pData->dwData];
    pBoard->changed.notify_all();
    return 1;
}

int Write(int iType, const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return g_api.Write_Message1(iType, copy.data(), static_cast<int>(text.size()));
}

std::string Read(int iType, int iQueueId, int* piRead) {
    std::vector<char> buffer(kBufferSize, '\0');
    *piRead = g_api.Read_Message1(iType, buffer.data(), kBufferSize, kAnswerTimeout, iQueueId);
    return std::string(buffer.data());
}

// Logs on as player/secret; "" or what went wrong. A log-on written while
// the library rebuilds its connection may go with the old queues, so a
// time-out is asked once more.
std::string LogOn() {
    for (int iAttempt = 1; iAttempt <= 2; ++iAttempt) {
        int iWrite = Write(201, "201 1 player secret");
        if (iWrite != 1) return "Write_Message1 of the log-on returned " + std::to_string(iWrite);
        int iRead = 0;
        std::string answer = Read(202, kLogonQueueId, &iRead);
        if (iRead == 0) continue;
        if (answer.rfind("202 1 player 0 ", 0) != 0) {
            return "log-on answer " + std::to_string(iRead) + " \"" + answer + "\"";
        }
        return "";
    }
    return "no answer to the log-on within " + std::to_string(kAnswerTimeout) + " s, twice";
}

// Requests of the default application, each answered "T N ok SEQ WORDS".
std::string Requests(int iCycle, int iCount) {
    for (int r = 1; r <= iCount; ++r) {
        std::string words = "soak c" + std::to_string(iCycle) + " r" + std::to_string(r);
        std::string request =
            std::to_string(kRequestType) + " " + std::to_string(kRequestQueueId) + " " + words;
        int iWrite = Write(kRequestType, request);
        if (iWrite != 1) return "Write_Message1 returned " + std::to_string(iWrite);
        int iRead = 0;
        std::string answer = Read(kRequestType, kRequestQueueId, &iRead);
        std::string head =
            std::to_string(kRequestType) + " " + std::to_string(kRequestQueueId) + " ok ";
        size_t iWords = answer.find(" soak ");
        if (iRead < 4 || answer.rfind(head, 0) != 0 || iWords == std::string::npos ||
            answer.substr(iWords + 1) != words) {
            return "[" + request + "] answered " + std::to_string(iRead) + " \"" + answer + "\"";
        }
    }
    return "";
}

// Waits until Read_Message2 reports the lost log-on (-9), which the library
// does once it has rebuilt the connection.
bool WaitForLostLogon(int iTimeoutMs) {
    Clock::time_point start = Clock::now();
    std::vector<char> buffer(kBufferSize, '\0');
    while (MsSince(start) < iTimeoutMs) {
        int iType = 0;
        if (g_api.Read_Message2(&iType, buffer.data(), kBufferSize, 0, 0) == -9) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// ---- leaks on purpose, for the checks' own test ------------------------------

// Never destroyed, so that the blocks stay reachable and no leak checker
// reports them at exit.
std::vector<void*>* g_pInjectedBlocks = new std::vector<void*>;

void InjectLeak(const std::string& kind) {
    if (kind == "fd") {
        (void)open("/dev/null", O_RDONLY | O_CLOEXEC);
    } else if (kind == "thread") {
        // It sleeps until the process ends. (A thread waiting on a condition
        // variable would hold up that variable's destruction at exit.)
        std::thread([] {
            for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }).detach();
    } else if (kind == "heap") {
        void* p = std::malloc(kInjectedHeapBytes);
        std::memset(p, 1, kInjectedHeapBytes);
        g_pInjectedBlocks->push_back(p);
    }
}

// ---- the run -----------------------------------------------------------------

struct Options {
    std::string server;
    std::string library;
    int iCycles = 100;
    int iRequests = 5;
    int iFdTolerance = 2;
    int iThreadTolerance = 1;
    long long iHeapTolerance = 64 * 1024;
    std::set<std::string> injectLeaks;
};

std::string DirectoryOfProgram() {
    char szPath[4096];
    ssize_t n = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (n <= 0) return ".";
    std::string path(szPath, static_cast<size_t>(n));
    size_t iSlash = path.rfind('/');
    return iSlash == std::string::npos ? "." : path.substr(0, iSlash);
}

bool ParseOptions(int argc, char** argv, Options* pOptions) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool bValue = i + 1 < argc;
        if (arg == "--server" && bValue) {
            pOptions->server = argv[++i];
        } else if (arg == "--library" && bValue) {
            pOptions->library = argv[++i];
        } else if (arg == "--cycles" && bValue) {
            pOptions->iCycles = std::atoi(argv[++i]);
            if (pOptions->iCycles < 1 || pOptions->iCycles > 100000) return false;
        } else if (arg == "--requests" && bValue) {
            pOptions->iRequests = std::atoi(argv[++i]);
            if (pOptions->iRequests < 1 || pOptions->iRequests > 1000) return false;
        } else if (arg == "--fd-tolerance" && bValue) {
            pOptions->iFdTolerance = std::atoi(argv[++i]);
        } else if (arg == "--thread-tolerance" && bValue) {
            pOptions->iThreadTolerance = std::atoi(argv[++i]);
        } else if (arg == "--heap-tolerance" && bValue) {
            pOptions->iHeapTolerance = std::atoll(argv[++i]);
        } else if (arg == "--inject-leak" && bValue) {
            std::string list = std::string(argv[++i]) + ",";
            for (size_t iComma; (iComma = list.find(',')) != std::string::npos;
                 list.erase(0, iComma + 1)) {
                std::string kind = list.substr(0, iComma);
                if (kind != "fd" && kind != "thread" && kind != "heap") return false;
                pOptions->injectLeaks.insert(kind);
            }
        } else {
            return false;
        }
    }
    if (pOptions->library.empty()) pOptions->library = DirectoryOfProgram() + "/../libVorel.so";
    return !pOptions->server.empty();
}

int Usage() {
    std::fprintf(stderr,
                 "usage: vorel-soak --server PATH [--library PATH] [--cycles N] [--requests N]\n"
                 "                  [--fd-tolerance N] [--thread-tolerance N] "
                 "[--heap-tolerance BYTES]\n"
                 "                  [--inject-leak fd,thread,heap]\n");
    return 2;
}

void OnWatchdog(int) {
    static const char kText[] = "\nvorel-soak: FAILED: the soak did not finish in time\n";
    ssize_t n = write(STDERR_FILENO, kText, sizeof(kText) - 1);
    (void)n;
    _exit(3);
}

void PrintFigures(const char* szWhen, const Figures& f, const Figures& start, double dMs) {
    std::printf("%-12s fds %3d (%+d)  threads %2d (%+d)  heap %9lld B (%+lld)  rss %6lld KiB",
                szWhen, f.iFds, f.iFds - start.iFds, f.iThreads, f.iThreads - start.iThreads,
                f.iHeap, f.iHeap - start.iHeap, f.iResident / 1024);
    if (dMs >= 0) std::printf("  %6.0f ms", dMs);
    std::printf("\n");
}

// One cycle: drop, notice, -9, log-on, requests. "" or what went wrong.
std::string Cycle(Server& server, NoticeBoard& board, int iCycle, int iRequests) {
    int iSeen = board.Count(95);
    if (!server.Command("drop")) return "cannot write to the server's input";
    if (!board.WaitBeyond(95, iSeen, kNoticeTimeoutMs)) {
        return "no lost-connection notice (dwData 95) within " +
               std::to_string(kNoticeTimeoutMs / 1000) + " s of the drop";
    }
    if (!WaitForLostLogon(kNoticeTimeoutMs)) return "Read_Message2 never reported -9";
    std::string problem = LogOn();
    if (problem.empty()) problem = Requests(iCycle, iRequests);
    return problem;
}

// A figure's verdict line; true when it stayed within its tolerance.
bool Verdict(const char* szName, long long iStart, long long iEnd, long long iMax,
             long long iTolerance, const char* szUnit) {
    bool bFlat = iEnd - iStart <= iTolerance;
    std::printf("   %-8s start %lld%s, end %lld%s (%+lld), highest %lld%s, tolerance %lld%s: %s\n",
                szName, iStart, szUnit, iEnd, szUnit, iEnd - iStart, iMax, szUnit, iTolerance,
                szUnit, bFlat ? "flat" : "GREW");
    return bFlat;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return Usage();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGALRM, OnWatchdog);
    signal(SIGPIPE, SIG_IGN);  // a server that died shows as a failed command
    alarm(static_cast<unsigned>(options.iCycles) * 30 + 60);

    Server server;
    std::string error;
    if (!server.Start(options.server, options.iCycles * 30 + 120, "server.out", &error)) {
        std::fprintf(stderr, "vorel-soak: %s\n", error.c_str());
        return 2;
    }
    // Sanitizer runtimes start a helper thread with the program's first
    // thread: start and end one of ours so that it is counted from here on.
    std::thread([] {}).join();
    Figures beforeLoad = Measure();
    g_api.hLibrary = loader::OpenVorel(options.library, &g_api, &error);
    if (g_api.hLibrary == nullptr) {
        std::fprintf(stderr, "vorel-soak: cannot load %s: %s\n", options.library.c_str(),
                     error.c_str());
        return 2;
    }
    std::printf("vorel-soak: %s against vorel-server on 127.0.0.1:%d, %d cycles of %d requests\n",
                options.library.c_str(), server.Port(), options.iCycles, options.iRequests);

    NoticeBoard board;
    HWND hWnd = g_api.VorelCreateWindow(SoakWindowProc, &board);
    std::vector<char> host = {'1', '2', '7', '.', '0', '.', '0', '.', '1', '\0'};
    int iInit = g_api.init(host.data(), server.Port());
    int iSet = hWnd != nullptr ? g_api.SetMessageWnd(hWnd) : 0;
    std::string problem = iInit == 0 && iSet == 1
                              ? LogOn()
                              : "init returned " + std::to_string(iInit) +
                                    ", SetMessageWnd returned " + std::to_string(iSet);
    if (problem.empty()) problem = Requests(0, options.iRequests);
    if (!problem.empty()) {
        std::printf("vorel-soak: FAILED before the first cycle: %s\n", problem.c_str());
        return 1;
    }

    Figures start = Measure();
    Figures highest = start;
    std::multiset<std::string> startFds = DescriptorTargets();
    std::multiset<std::string> startThreads = ThreadNames();
    PrintFigures("start", start, start, -1);

    Figures last = start;
    int iDone = 0;
    double dSlowestMs = 0;
    Clock::time_point soakStart = Clock::now();
    for (int iCycle = 1; iCycle <= options.iCycles; ++iCycle) {
        Clock::time_point cycleStart = Clock::now();
        problem = Cycle(server, board, iCycle, options.iRequests);
        if (!problem.empty()) {
            std::printf("vorel-soak: FAILED in cycle %d: %s\n", iCycle, problem.c_str());
            break;
        }
        for (const std::string& kind : options.injectLeaks) InjectLeak(kind);
        double dMs = MsSince(cycleStart);
        dSlowestMs = std::max(dSlowestMs, dMs);
        last = MeasureSettled(start);
        highest.iFds = std::max(highest.iFds, last.iFds);
        highest.iThreads = std::max(highest.iThreads, last.iThreads);
        highest.iHeap = std::max(highest.iHeap, last.iHeap);
        highest.iResident = std::max(highest.iResident, last.iResident);
        std::string when = "cycle " + std::to_string(iCycle);
        PrintFigures(when.c_str(), last, start, dMs);
        iDone = iCycle;
    }
    double dSoakMs = MsSince(soakStart);

    std::printf(
        "\n%d of %d cycles in %.1f s (slowest %.0f ms); the window got %d lost-connection "
        "notices\n",
        iDone, options.iCycles, dSoakMs / 1000, dSlowestMs, board.Count(95));
    bool bFlat = iDone == options.iCycles;
    bFlat &= Verdict("fds", start.iFds, last.iFds, highest.iFds, options.iFdTolerance, "");
    bFlat &= Verdict("threads", start.iThreads, last.iThreads, highest.iThreads,
                     options.iThreadTolerance, "");
    bFlat &= Verdict("heap", start.iHeap, last.iHeap, highest.iHeap, options.iHeapTolerance, " B");
    std::printf("   %-8s start %lld KiB, end %lld KiB, highest %lld KiB (shown only)\n", "rss",
                start.iResident / 1024, last.iResident / 1024, highest.iResident / 1024);
    for (const std::string& target : Beyond(DescriptorTargets(), startFds)) {
        std::printf("   new descriptor: %s\n", target.c_str());
    }
    for (const std::string& name : Beyond(ThreadNames(), startThreads)) {
        std::printf("   new thread: %s\n", name.c_str());
    }

    // The unload: the library's descriptors and threads go with it.
    g_api.VorelDestroyWindow(hWnd);
    int iClosed = dlclose(g_api.hLibrary);
    Figures afterUnload = MeasureSettled(beforeLoad);
    // What the soak leaked itself is not the library's.
    afterUnload.iFds -= static_cast<int>(options.injectLeaks.count("fd")) * iDone;
    afterUnload.iThreads -= static_cast<int>(options.injectLeaks.count("thread")) * iDone;
    bool bUnloaded = iClosed == 0 && afterUnload.iFds <= beforeLoad.iFds &&
                     afterUnload.iThreads <= beforeLoad.iThreads;
    std::printf("   unload   dlclose -> %d; fds %d, threads %d (before loading: %d, %d): %s\n",
                iClosed, afterUnload.iFds, afterUnload.iThreads, beforeLoad.iFds,
                beforeLoad.iThreads, bUnloaded ? "released" : "NOT RELEASED");
    server.Stop();
    alarm(0);

    if (bFlat && bUnloaded) {
        std::printf("\nResult: flat over %d drop/reconnect cycles\n", iDone);
        return 0;
    }
    std::printf("\nResult: FAILED\n");
    return 1;
}
