// vorel-alloc-scenario: one run of the allocation-failure sweep. It plays a
// game's whole use of the library, loaded at run time as a game loads it,
// while its own allocator (failing_allocator.cpp) fails one allocation made
// by the library's code, and checks that the library lives through it.
//
//   vorel-alloc-scenario --port N --url URL --file PATH [--fail N] [--library PATH]
//                        [--limit SECONDS]
//
// --port is a running vorel-server's port, --url a file it serves over
// HTTP and --file the same file on disk, to compare the downloads with.
// --fail N fails the Nth allocation of libVorel.so, libVorelCore.so and
// libQuorvex.so (0, the default: none fails). LIBRARY is libVorel.so, by
// default the one in the directory above this program's. Run it in a
// directory of its own: it writes GameRun.log and a downloads directory
// there.
//
// The scenario: load the library; create a stand-in window and name it
// (which creates the engine); set the server's address with init; a read
// before the log-on; log on; requests one at a time and in a burst; a pushed
// message; once the engine is old enough for a reconnect to replace the
// queue table, a request that makes the server drop the connection, the
// lost-connection notice, the log-on again and a request; a background and
// a foreground download. Then, with every allocation succeeding again, the
// library must work: log on (a few attempts), answer a request, download in
// both ways. Last, unload it: the library and its core must go, and with
// them every thread they started; the leak check at exit (AddressSanitizer)
// sees what they left allocated.
//
// Checked throughout: every export returns a code that vorel.h documents,
// and every answer or file that the library delivers is the right one.
// Until the failure has happened, and again once the library must work, a
// step that does not do its job is a problem too; in between, a failure
// that the failed allocation explains (a request refused, an answer or a
// download lost) is only noted. No call may run past its bound, and the
// run not past --limit (150 s): a hang prints every thread's stack (with
// gdb, where installed) and ends the run.
//
// Output: "PROBLEM: ..." for each problem; "counted allocations: N (...)";
// the failed allocation as "failure: ..." or "failure #N: not reached"; the
// load addresses of the libraries before the unload ("module ..."), for
// symbolising what the leak check reports after it; last "RESULT: passed"
// or "RESULT: FAILED, N problems".
// Exit status: 0 passed; 1 problems; 2 the scenario could not start (usage,
// library); 3 a hang.
#include <dlfcn.h>
#include <link.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "allocsweep/failing_allocator.h"
#include "loader/vorel_exports.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBufferSize = 4096;
constexpr int kAnswerTimeout = 10;  // seconds a read waits for an answer
constexpr int kLogonAttempts = 3;
constexpr int kRecoveryRounds = 2;
constexpr int kNoticeTimeoutMs = 10000;
constexpr int kDownloadTimeoutMs = 30000;
constexpr int kRunLimitSeconds = 150;
constexpr double kTableKeptSeconds = 6.0;  // a reconnect after it replaces the queue table
constexpr const char* kDownloadDir = "downloads";
constexpr const char* kOldContent = "old content, to be replaced\n";
constexpr const char* kDownloadFailureLine = "---Download_File_Thread---error---";

std::string Str(int i) { return std::to_string(i); }

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void SleepMs(int iMs) { std::this_thread::sleep_for(std::chrono::milliseconds(iMs)); }

std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    std::istringstream in(text);
    std::string field;
    while (in >> field) fields.push_back(field);
    return fields;
}

bool FailureHappened() {
    allocsweep::FailedCall call;
    return allocsweep::GetFailedCall(&call);
}

// ---- problems ----------------------------------------------------------------

class Findings {
public:
    void Problem(const std::string& text) {
        ++iProblems_;
        std::printf("PROBLEM: %s\n", text.c_str());
    }
    void Note(const std::string& text) { std::printf("   note: %s\n", text.c_str()); }
    // A step that did not do its job: a problem unless the failed
    // allocation explains it. Inside a round, decided at its end.
    void Shortfall(const std::string& text) {
        ++iShortfalls_;
        if (bInRound_) {
            deferred_.push_back(text);
        } else if (!FailureHappened()) {
            Problem(text);
        } else {
            Note(text + " (after the failed allocation)");
        }
    }
    // A round of steps that must all do their job unless the failed
    // allocation came during the round: bClean says it did not.
    void BeginRound() {
        bInRound_ = true;
        deferred_.clear();
    }
    void EndRound(bool bClean) {
        bInRound_ = false;
        for (const std::string& text : deferred_) {
            if (bClean) {
                Problem("not working again: " + text);
            } else {
                Note(text + " (the allocation failed during this round)");
            }
        }
        deferred_.clear();
    }
    int Problems() const { return iProblems_; }
    int Shortfalls() const { return iShortfalls_; }

private:
    int iProblems_ = 0;
    int iShortfalls_ = 0;
    bool bInRound_ = false;
    std::vector<std::string> deferred_;
};

Findings g_findings;

// ---- the watchdog ------------------------------------------------------------

// Ends the process when the bounded call runs past its bound or the run past
// its limit, after printing which, and every thread's stack when gdb can
// attach.
class Watchdog {
public:
    void Start(int iLimitSeconds) {
        runDeadline_ = Clock::now() + std::chrono::seconds(iLimitSeconds);
        // gdb, a child of this process's child, may attach to it.
        prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
        std::snprintf(szPid_, sizeof(szPid_), "%d", static_cast<int>(getpid()));
        std::thread([this] { Watch(); }).detach();
    }
    void Enter(const char* szCall, int iSeconds) {
        std::lock_guard<std::mutex> lock(mutex_);
        szCall_ = szCall;
        callDeadline_ = Clock::now() + std::chrono::seconds(iSeconds);
        iBound_ = iSeconds;
    }
    void Leave() {
        std::lock_guard<std::mutex> lock(mutex_);
        szCall_ = nullptr;
    }

private:
    void Watch() {
        for (;;) {
            SleepMs(100);
            std::string what;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                Clock::time_point now = Clock::now();
                if (szCall_ != nullptr && now > callDeadline_) {
                    what = std::string(szCall_) + " did not return within " + Str(iBound_) + " s";
                } else if (now > runDeadline_) {
                    what = std::string("the run did not end within its limit") +
                           (szCall_ != nullptr ? std::string(", inside ") + szCall_ : "");
                }
            }
            if (!what.empty()) {
                std::printf("HANG: %s\n", what.c_str());
                std::fflush(stdout);
                DumpStacks();
                _exit(3);
            }
        }
    }
    void DumpStacks() {
        pid_t child = fork();
        if (child == 0) {
            dup2(STDOUT_FILENO, STDERR_FILENO);
            execlp("gdb", "gdb", "-p", szPid_, "-batch", "-nx", "-ex", "thread apply all bt",
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        if (child < 0) return;
        for (int i = 0; i < 600; ++i) {
            if (waitpid(child, nullptr, WNOHANG) == child) return;
            SleepMs(100);
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }

    std::mutex mutex_;
    const char* szCall_ = nullptr;  // guarded by mutex_
    int iBound_ = 0;                // guarded by mutex_
    Clock::time_point callDeadline_;
    Clock::time_point runDeadline_;
    char szPid_[32] = "";
};

Watchdog g_watchdog;

// ---- the library, as the game sees it -------------------------------------

// The exports, found by name, and the library's handle.
struct Api : loader::VorelExports {
    void* hLibrary = nullptr;
};

Api g_api;

// ---- the game's window ---------------------------------------------------------

struct NoticeBoard {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<uintptr_t> notices;  // guarded by mutex

    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return notices.size();
    }
    bool WaitFor(uintptr_t dwData, size_t iSeen, int iTimeoutMs) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(iTimeoutMs), [&] {
            for (size_t i = iSeen; i < notices.size(); ++i) {
                if (notices[i] == dwData) return true;
            }
            return false;
        });
    }
};

NoticeBoard g_board;

intptr_t WindowProc(HWND hWnd, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    auto* pBoard = static_cast<NoticeBoard*>(g_api.VorelGetWindowUser(hWnd));
    if (pBoard == nullptr || uMsg != WM_COPYDATA || lParam == 0) return 0;
    const auto* pData = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    std::lock_guard<std::mutex> lock(pBoard->mutex);
    pBoard->notices.push_back(pData->dwData);
    pBoard->changed.notify_all();
    return 1;
}

// ---- the exports, bounded and their codes checked ------------------------------

// The codes vorel.h gives for each export.
bool DocumentedWrite(int r) {
    return r == 1 || r == -1 || r == -3 || r == -4 || r == -5 || r == -7 || r == -9;
}
bool DocumentedRead1(int r) { return r >= 4 || r == 0 || (r >= -4 && r <= -1) || r == -9; }
bool DocumentedRead2(int r) { return r >= 4 || r == 0 || (r >= -4 && r <= -2) || r == -9; }
bool DocumentedDownloadFile(int r) { return r >= 0 || r == -9; }
bool DocumentedDownloadEx(int r) { return r == 0 || r == 1; }
bool DocumentedInit(int r) { return r == 0 || r == -1 || r == -2 || r == -9; }
bool DocumentedSetMessageWnd(int r) { return r == 0 || r == 1; }

class Bounded {
public:
    Bounded(const char* szCall, int iSeconds) { g_watchdog.Enter(szCall, iSeconds); }
    ~Bounded() { g_watchdog.Leave(); }
    Bounded(const Bounded&) = delete;
    Bounded& operator=(const Bounded&) = delete;
};

void CheckCode(bool bDocumented, const std::string& call, int iResult) {
    if (!bDocumented) {
        g_findings.Problem(call + " returned " + Str(iResult) + ", a code vorel.h does not give");
    }
}

size_t LogLinesWith(const std::string& text) {
    std::ifstream in("GameRun.log", std::ios::binary);
    std::string line;
    size_t iLines = 0;
    while (std::getline(in, line)) {
        if (line.find(text) != std::string::npos) ++iLines;
    }
    return iLines;
}

// A request refused for want of memory leaves its line in GameRun.log:
// the refusals so far of each kind must each have theirs.
void CheckRefusalLogged(int iResult, int iLength) {
    static int s_iQueueFailures = 0;
    static int s_iAddFailures = 0;
    static std::vector<int> s_nodeFailureLengths;
    std::string what;
    bool bLogged = true;
    if (iResult == -4) {
        what = "---ProcessUserRequest---error---10---calloc-fail";
        bLogged = static_cast<int>(LogLinesWith(what)) >= ++s_iQueueFailures;
    } else if (iResult == -5) {
        what = "---ProcessUserRequest---error1---hash_add failed (MESSAGE_QUEUE_TABLE)";
        bLogged = static_cast<int>(LogLinesWith(what)) >= ++s_iAddFailures;
    } else if (iResult == -7) {
        // The line gives the size of the packet that could not be had.
        what = "---ProcessUserRequest---error---11---calloc-fail:" + Str(iLength + 17);
        s_nodeFailureLengths.push_back(iLength);
        int iSame = 0;
        for (int i : s_nodeFailureLengths) iSame += i == iLength ? 1 : 0;
        bLogged = static_cast<int>(LogLinesWith(what)) >= iSame;
    }
    if (!bLogged) {
        g_findings.Problem("Write_Message1 returned " + Str(iResult) + " without the line \"" +
                           what + "\" in GameRun.log");
    }
}

int Write(int iType, const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    int r;
    {
        Bounded bound("Write_Message1", 10);
        r = g_api.Write_Message1(iType, copy.data(), static_cast<int>(text.size()));
    }
    CheckCode(DocumentedWrite(r), "Write_Message1(" + Str(iType) + ", \"" + text + "\")", r);
    CheckRefusalLogged(r, static_cast<int>(text.size()));
    return r;
}

// A read's result and the text it left in the buffer. When the result is a
// field count, the text must have that many fields.
struct Answer {
    int iResult = 0;
    int iType = 0;  // Read_Message2's *piType
    std::string text;
};

void CheckFieldCount(const std::string& call, const Answer& answer) {
    if (answer.iResult >= 4 && static_cast<int>(Fields(answer.text).size()) != answer.iResult) {
        g_findings.Problem(call + " returned " + Str(answer.iResult) + " for \"" + answer.text +
                           "\", which has another number of fields");
    }
}

Answer Read1(int iType, int iQueueId, int iTimeout) {
    std::vector<char> buffer(kBufferSize, '\0');
    Answer answer;
    {
        Bounded bound("Read_Message1", iTimeout + 10);
        answer.iResult = g_api.Read_Message1(iType, buffer.data(), kBufferSize, iTimeout, iQueueId);
    }
    answer.text.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
    std::string call = "Read_Message1(" + Str(iType) + ", id " + Str(iQueueId) + ")";
    CheckCode(DocumentedRead1(answer.iResult), call, answer.iResult);
    CheckFieldCount(call, answer);
    return answer;
}

Answer Read2(int iTimeout) {
    std::vector<char> buffer(kBufferSize, '\0');
    Answer answer;
    answer.iType = -1;
    {
        Bounded bound("Read_Message2", iTimeout + 10);
        answer.iResult =
            g_api.Read_Message2(&answer.iType, buffer.data(), kBufferSize, iTimeout, 0);
    }
    answer.text.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
    CheckCode(DocumentedRead2(answer.iResult), "Read_Message2", answer.iResult);
    CheckFieldCount("Read_Message2", answer);
    return answer;
}

int SetWindow(HWND hWnd) {
    int r;
    {
        Bounded bound("SetMessageWnd", 10);
        r = g_api.SetMessageWnd(hWnd);
    }
    CheckCode(DocumentedSetMessageWnd(r), "SetMessageWnd", r);
    return r;
}

int Init(int iPort) {
    char szHost[] = "127.0.0.1";
    int r;
    {
        Bounded bound("init", 20);
        r = g_api.init(szHost, iPort);
    }
    CheckCode(DocumentedInit(r), "init", r);
    return r;
}

int DownloadNow(const std::string& url, const std::string& path) {
    std::vector<char> szUrl(url.begin(), url.end());
    szUrl.push_back('\0');
    std::vector<char> szPath(path.begin(), path.end());
    szPath.push_back('\0');
    int r;
    {
        Bounded bound("DownloadFile", 70);
        r = g_api.DownloadFile(szUrl.data(), szPath.data());
    }
    CheckCode(DocumentedDownloadFile(r), "DownloadFile", r);
    return r;
}

int DownloadInBackground(const std::string& url, const std::string& path) {
    int r;
    {
        Bounded bound("Download_File_EX", 10);
        r = g_api.Download_File_EX(url.c_str(), path.c_str());
    }
    CheckCode(DocumentedDownloadEx(r), "Download_File_EX", r);
    return r;
}

// ---- the game's steps ------------------------------------------------------------

struct Options {
    std::string library;
    int iPort = 0;
    std::string url;
    std::string file;
    uint64_t qwFail = 0;
    int iLimitSeconds = kRunLimitSeconds;
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

int CountThreads() {
    std::error_code ec;
    int iThreads = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        ++iThreads;
    }
    return iThreads;
}

class Game {
public:
    explicit Game(const Options& options) : options_(options) {}

    bool Load();
    void Play();
    void MustWorkAgain();
    void Unload();

private:
    bool LogOn(const char* szWhen);
    bool Exchange(int iType, int iQueueId, const std::string& words);
    bool CheckEcho(int iType, int iQueueId, const std::string& request, const Answer& answer);
    void Requests();
    void Pushed();
    void DropAndReconnect();
    void BackgroundDownload(const std::string& name);
    void ForegroundDownload(const std::string& name);
    bool RecoveryRound(int iRound);
    void NoStrayFiles();
    bool HasServedContent(const std::string& path);
    size_t DownloadFailureLines();

    const Options& options_;
    std::string served_;
    HWND hWnd_ = nullptr;
    bool bAddressSet_ = false;
    bool bLoggedOn_ = false;
    int iThreadsBefore_ = 0;
    int iNextQueueId_ = 101;
    Clock::time_point engineCreated_;
};

bool Game::Load() {
    if (!ReadWholeFile(options_.file, &served_)) {
        std::fprintf(stderr, "vorel-alloc-scenario: cannot read %s\n", options_.file.c_str());
        return false;
    }
    std::error_code ec;
    std::filesystem::remove_all(kDownloadDir, ec);
    std::filesystem::create_directory(kDownloadDir, ec);
    // Sanitizer runtimes start a helper thread with the first thread a
    // program starts: start one of ours first, so that the count before the
    // library's first call includes it.
    std::thread([] {}).join();
    iThreadsBefore_ = CountThreads();

    std::string error;
    {
        Bounded bound("dlopen", 20);
        g_api.hLibrary = loader::OpenVorel(options_.library, &g_api, &error);
        if (g_api.hLibrary == nullptr) {
            g_findings.Problem("cannot load " + options_.library + ": " + error);
            return false;
        }
    }
    return true;
}

bool Game::CheckEcho(int iType, int iQueueId, const std::string& request, const Answer& answer) {
    std::string call = "the answer to \"" + request + "\"";
    if (answer.iResult < 4) {
        g_findings.Shortfall(call + ": the read returned " + Str(answer.iResult));
        return false;
    }
    // "T N ok SEQ" and the request's words from the third on: the library
    // must never hand over another request's answer.
    std::vector<std::string> sent = Fields(request);
    std::vector<std::string> got = Fields(answer.text);
    bool bRight = got.size() >= 4 && got[0] == Str(iType) && got[1] == Str(iQueueId) &&
                  got[2] == "ok" &&
                  std::vector<std::string>(got.begin() + 4, got.end()) ==
                      std::vector<std::string>(sent.begin() + 2, sent.end());
    if (!bRight) g_findings.Problem(call + " is \"" + answer.text + "\"");
    return bRight;
}

// Writes a request under its own queue identifier and reads its answer.
bool Game::Exchange(int iType, int iQueueId, const std::string& words) {
    std::string request = Str(iType) + " " + Str(iQueueId) + " " + words;
    int r = Write(iType, request);
    if (r != 1) {
        g_findings.Shortfall("Write_Message1(\"" + request + "\") returned " + Str(r));
        return false;
    }
    return CheckEcho(iType, iQueueId, request, Read1(iType, iQueueId, kAnswerTimeout));
}

// Logs on as player/secret, asking again when an attempt brings no
// answer: a request written while the library rebuilds its connection may
// be lost with the old queues.
bool Game::LogOn(const char* szWhen) {
    const std::string request = "201 1 player secret";
    for (int iAttempt = 1; iAttempt <= kLogonAttempts; ++iAttempt) {
        int r = Write(201, request);
        if (r != 1) {
            g_findings.Note(std::string("log-on ") + szWhen + ": Write_Message1 returned " +
                            Str(r));
            SleepMs(500);
            continue;
        }
        Answer answer = Read1(202, 1, kAnswerTimeout);
        if (answer.iResult < 4) {
            g_findings.Note(std::string("log-on ") + szWhen + ": the read returned " +
                            Str(answer.iResult));
            continue;
        }
        std::vector<std::string> fields = Fields(answer.text);
        if (fields.size() < 5 || fields[0] != "202" || fields[1] != "1" || fields[3] != "0") {
            g_findings.Problem(std::string("log-on ") + szWhen + ": the answer is \"" +
                               answer.text + "\"");
            return false;
        }
        bLoggedOn_ = true;
        return true;
    }
    g_findings.Shortfall(std::string("no log-on ") + szWhen + " in " + Str(kLogonAttempts) +
                         " attempts");
    bLoggedOn_ = false;
    return false;
}

void Game::Requests() {
    // One at a time, each under an identifier of its own, so that an answer
    // that comes late cannot be taken for another request's.
    for (int i = 0; i < 4; ++i) {
        int iId = iNextQueueId_++;
        Exchange(300 + i % 3, iId, "one r" + Str(i) + " word");
    }
    // A burst: written back to back, then read.
    std::vector<std::pair<int, std::string>> burst;
    for (int i = 0; i < 3; ++i) {
        int iId = iNextQueueId_++;
        std::string request = "310 " + Str(iId) + " burst b" + Str(i);
        if (Write(310, request) == 1) {
            burst.emplace_back(iId, request);
        } else {
            g_findings.Shortfall("the burst request \"" + request + "\" was refused");
        }
    }
    for (const auto& sent : burst) {
        CheckEcho(310, sent.first, sent.second, Read1(310, sent.first, kAnswerTimeout));
    }
}

// A request under identifier 0 whose third field is "push": the server
// answers it and pushes a type-400 message to identifier 0.
void Game::Pushed() {
    const std::string request = "300 0 push hello";
    if (!Exchange(300, 0, "push hello")) return;
    Answer pushed = Read2(kAnswerTimeout);
    if (pushed.iResult < 4) {
        g_findings.Shortfall("Read_Message2 after \"" + request + "\" returned " +
                             Str(pushed.iResult));
        return;
    }
    std::vector<std::string> fields = Fields(pushed.text);
    if (pushed.iType != 400 || fields.size() != 7 || fields[0] != "400" || fields[1] != "0" ||
        fields[2] != "notice" || fields[4] != "pushed") {
        g_findings.Problem("the pushed message is \"" + pushed.text + "\", type " +
                           Str(pushed.iType));
    }
}

// A request whose third field is "drop" makes the server close the
// connection after its answer: the library reconnects, tells the window
// (dwData 95) and reports the lost log-on; the game logs on again.
void Game::DropAndReconnect() {
    // A connection lost once the engine is five seconds old takes the
    // queues with it and the library builds a new table, as in a game that
    // has run for a while: wait for that age.
    double dYoung = kTableKeptSeconds - SecondsSince(engineCreated_);
    if (dYoung > 0) SleepMs(static_cast<int>(dYoung * 1000));
    bool bWasLoggedOn = bLoggedOn_;
    size_t iSeen = g_board.Count();
    int iId = iNextQueueId_++;
    std::string request = "300 " + Str(iId) + " drop now";
    if (Write(300, request) != 1) {
        g_findings.Shortfall("the drop request was refused");
        return;
    }
    if (bWasLoggedOn && hWnd_ != nullptr) {
        if (!g_board.WaitFor(95, iSeen, kNoticeTimeoutMs)) {
            g_findings.Shortfall("no lost-connection notice (95) after the drop");
        }
        Clock::time_point start = Clock::now();
        bool bLost = false;
        while (!bLost && SecondsSince(start) < kNoticeTimeoutMs / 1000.0) {
            bLost = Read2(0).iResult == -9;
            if (!bLost) SleepMs(50);
        }
        if (!bLost) g_findings.Shortfall("Read_Message2 never reported the lost log-on (-9)");
    } else {
        SleepMs(1500);  // the reconnect takes about a second
    }
    if (LogOn("after the drop")) Exchange(300, iNextQueueId_++, "after the drop");
}

// The failure lines of the background downloads in GameRun.log.
size_t Game::DownloadFailureLines() { return LogLinesWith(kDownloadFailureLine); }

bool Game::HasServedContent(const std::string& path) {
    std::string content;
    return ReadWholeFile(path, &content) && content == served_;
}

// Download_File_EX over an old file: the destination holds the old file
// until the whole new one replaces it, or keeps it when the download fails
// (with a line in GameRun.log).
void Game::BackgroundDownload(const std::string& name) {
    const std::string destination = std::string(kDownloadDir) + "/" + name;
    if (!WriteWholeFile(destination, kOldContent)) {
        g_findings.Problem("cannot write " + destination);
        return;
    }
    size_t iFailuresBefore = DownloadFailureLines();
    if (DownloadInBackground(options_.url, destination) != 0) {
        g_findings.Shortfall("Download_File_EX did not start");
        return;
    }
    Clock::time_point start = Clock::now();
    std::string content;
    for (;;) {
        bool bRead = ReadWholeFile(destination, &content);
        if (bRead && content == served_) return;
        if (!bRead || content != kOldContent) {
            g_findings.Problem(destination + " held neither the old file nor the new one (" +
                               (bRead ? Str(static_cast<int>(content.size())) + " bytes" : "none") +
                               ")");
            return;
        }
        if (DownloadFailureLines() > iFailuresBefore) {
            g_findings.Shortfall("the background download of " + name + " failed");
            return;
        }
        if (SecondsSince(start) * 1000 > kDownloadTimeoutMs) {
            g_findings.Problem("the background download of " + name +
                               " neither ended nor failed in " + Str(kDownloadTimeoutMs / 1000) +
                               " s");
            return;
        }
        SleepMs(10);
    }
}

// DownloadFile: the file on success; nothing at the destination otherwise.
void Game::ForegroundDownload(const std::string& name) {
    const std::string destination = std::string(kDownloadDir) + "/" + name;
    int r = DownloadNow(options_.url, destination);
    std::error_code ec;
    if (r == 0) {
        if (!HasServedContent(destination)) {
            g_findings.Problem("DownloadFile returned 0 but " + destination +
                               " does not hold the served file");
        }
        return;
    }
    g_findings.Shortfall("DownloadFile returned " + Str(r));
    if (std::filesystem::exists(destination, ec)) {
        g_findings.Problem("the failed DownloadFile left " + destination);
    }
}

void Game::Play() {
    std::printf("step: window\n");
    {
        Bounded bound("VorelCreateWindow", 10);
        hWnd_ = g_api.VorelCreateWindow(WindowProc, &g_board);
    }
    if (hWnd_ == nullptr) g_findings.Shortfall("VorelCreateWindow returned no window");

    std::printf("step: engine and address\n");
    engineCreated_ = Clock::now();
    if (SetWindow(hWnd_) != 1 && hWnd_ != nullptr) {
        g_findings.Shortfall("SetMessageWnd did not take the window");
    }
    int r = Init(options_.iPort);
    bAddressSet_ = r == 0;
    if (!bAddressSet_) g_findings.Shortfall("init returned " + Str(r));

    std::printf("step: before the log-on\n");
    Answer early = Read1(300, 1, 0);
    if (early.iResult != -1 && early.iResult != -2 && early.iResult != -3 && early.iResult != -9) {
        g_findings.Problem("a read before the log-on returned " + Str(early.iResult) +
                           ", not a network-state code");
    }

    std::printf("step: log-on\n");
    LogOn("at the start");

    std::printf("step: requests\n");
    Requests();

    std::printf("step: pushed message\n");
    Pushed();

    std::printf("step: drop and reconnect\n");
    DropAndReconnect();

    std::printf("step: downloads\n");
    BackgroundDownload("background.bin");
    ForegroundDownload("foreground.bin");
}

// One round of the check that the library works: true when every step did
// its job.
bool Game::RecoveryRound(int iRound) {
    int iShortfalls = g_findings.Shortfalls();
    int iProblems = g_findings.Problems();
    std::string suffix = Str(iRound);
    if (hWnd_ == nullptr) {
        Bounded bound("VorelCreateWindow", 10);
        hWnd_ = g_api.VorelCreateWindow(WindowProc, &g_board);
    }
    if (hWnd_ == nullptr) {
        g_findings.Shortfall("VorelCreateWindow still returns no window");
        return false;
    }
    if (SetWindow(hWnd_) != 1) {
        g_findings.Shortfall("SetMessageWnd does not take the window any more");
        return false;
    }
    if (!bAddressSet_) {
        int r = Init(options_.iPort);
        bAddressSet_ = r == 0;
        if (!bAddressSet_) {
            g_findings.Shortfall("init returns " + Str(r));
            return false;
        }
    }
    if (!LogOn("with allocations succeeding")) return false;
    if (!Exchange(320, iNextQueueId_++, "works again " + suffix)) return false;
    Answer none = Read2(0);
    if (none.iResult != 0) {
        g_findings.Shortfall("Read_Message2 after the log-on returned " + Str(none.iResult));
        return false;
    }
    ForegroundDownload("again" + suffix + ".bin");
    BackgroundDownload("again-background" + suffix + ".bin");
    return g_findings.Shortfalls() == iShortfalls && g_findings.Problems() == iProblems;
}

// With every allocation succeeding, the library must work. A round during
// which the chosen allocation failed proves nothing: another one follows.
void Game::MustWorkAgain() {
    std::printf("step: works again\n");
    for (int iRound = 1; iRound <= kRecoveryRounds; ++iRound) {
        bool bFailedBefore = FailureHappened();
        g_findings.BeginRound();
        RecoveryRound(iRound);
        bool bClean = bFailedBefore || !FailureHappened();
        g_findings.EndRound(bClean);
        if (bClean) break;
        g_findings.Note("round " + Str(iRound) + " met the failed allocation; once more");
    }
    NoStrayFiles();
}

// Only destinations in the download directory: no temporary file left.
void Game::NoStrayFiles() {
    // A background download that failed may still be removing its file.
    SleepMs(200);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(kDownloadDir, ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".bin") == 0) continue;
        g_findings.Problem("a temporary file was left behind: " + std::string(kDownloadDir) + "/" +
                           name);
    }
}

// The address ranges of the loaded objects, so that a leak report's frames
// in objects unloaded since can be told apart.
int PrintModule(dl_phdr_info* pInfo, size_t, void*) {
    if (pInfo->dlpi_name == nullptr || pInfo->dlpi_name[0] == '\0') return 0;
    uintptr_t iLow = UINTPTR_MAX;
    uintptr_t iHigh = 0;
    for (int i = 0; i < pInfo->dlpi_phnum; ++i) {
        const ElfW(Phdr)& phdr = pInfo->dlpi_phdr[i];
        if (phdr.p_type != PT_LOAD) continue;
        uintptr_t iStart = pInfo->dlpi_addr + phdr.p_vaddr;
        if (iStart < iLow) iLow = iStart;
        if (iStart + phdr.p_memsz > iHigh) iHigh = iStart + phdr.p_memsz;
    }
    std::printf("module %s 0x%lx 0x%lx 0x%lx\n", pInfo->dlpi_name, static_cast<unsigned long>(iLow),
                static_cast<unsigned long>(iHigh), static_cast<unsigned long>(pInfo->dlpi_addr));
    return 0;
}

void Game::Unload() {
    std::printf("step: unload\n");
    if (hWnd_ != nullptr) {
        Bounded bound("VorelDestroyWindow", 10);
        g_api.VorelDestroyWindow(hWnd_);
        hWnd_ = nullptr;
    }
    dl_iterate_phdr(PrintModule, nullptr);
    std::fflush(stdout);
    std::string core =
        options_.library.substr(0, options_.library.rfind('/') + 1) + "libVorelCore.so";
    int iClosed;
    {
        Bounded bound("dlclose", 20);
        iClosed = dlclose(g_api.hLibrary);
    }
    g_api = Api();
    if (iClosed != 0) g_findings.Problem("dlclose returned " + Str(iClosed));
    void* hStill = dlopen(options_.library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (hStill != nullptr) {
        g_findings.Problem("libVorel.so stayed loaded after dlclose");
        dlclose(hStill);
    }
    void* hCore = dlopen(core.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (hCore != nullptr) {
        g_findings.Problem("libVorelCore.so stayed loaded: a thread of the library did not stop");
        dlclose(hCore);
    }
    int iThreadsAfter = CountThreads();
    if (iThreadsAfter != iThreadsBefore_) {
        g_findings.Problem("threads: " + Str(iThreadsBefore_) + " before the library, " +
                           Str(iThreadsAfter) + " after the unload");
    }
}

int Usage() {
    std::fprintf(stderr,
                 "usage: vorel-alloc-scenario --port N --url URL --file PATH [--fail N]\n"
                 "                            [--library PATH] [--limit SECONDS]\n");
    return 2;
}

bool ParseOptions(int argc, char** argv, Options* pOptions) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        std::string value = argv[++i];
        char* pEnd = nullptr;
        if (arg == "--port") {
            pOptions->iPort = static_cast<int>(std::strtol(value.c_str(), &pEnd, 10));
        } else if (arg == "--fail") {
            pOptions->qwFail = std::strtoull(value.c_str(), &pEnd, 10);
        } else if (arg == "--limit") {
            pOptions->iLimitSeconds = static_cast<int>(std::strtol(value.c_str(), &pEnd, 10));
        } else if (arg == "--url") {
            pOptions->url = value;
        } else if (arg == "--file") {
            pOptions->file = value;
        } else if (arg == "--library") {
            pOptions->library = value;
        } else {
            return false;
        }
        if (pEnd != nullptr && *pEnd != '\0') return false;
    }
    if (pOptions->library.empty()) pOptions->library = DirectoryOfProgram() + "/../libVorel.so";
    return pOptions->iPort > 0 && pOptions->iPort < 65536 && !pOptions->url.empty() &&
           !pOptions->file.empty() && pOptions->iLimitSeconds > 0;
}

void PrintCounts(const Options& options) {
    allocsweep::Counts counts = allocsweep::GetCounts();
    std::printf(
        "counted allocations: %llu (libVorel.so %llu, libVorelCore.so %llu, libQuorvex.so %llu; "
        "%llu of them through the C++ runtime)\n",
        static_cast<unsigned long long>(counts.qwTotal),
        static_cast<unsigned long long>(counts.aqwByObject[0]),
        static_cast<unsigned long long>(counts.aqwByObject[1]),
        static_cast<unsigned long long>(counts.aqwByObject[2]),
        static_cast<unsigned long long>(counts.qwThroughRuntime));
    if (options.qwFail == 0) return;
    allocsweep::FailedCall call;
    if (allocsweep::GetFailedCall(&call)) {
        char szText[2048];
        allocsweep::FormatFailedCall(call, szText, sizeof(szText));
        std::printf("failure: %s\n", szText);
    } else {
        std::printf("failure #%llu: not reached\n",
                    static_cast<unsigned long long>(options.qwFail));
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return Usage();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    g_watchdog.Start(options.iLimitSeconds);
    allocsweep::FailNth(options.qwFail);

    Game game(options);
    std::printf("step: load\n");
    if (!game.Load()) {
        PrintCounts(options);
        std::printf("RESULT: FAILED, the library did not load\n");
        return 2;
    }
    game.Play();
    game.MustWorkAgain();
    game.Unload();

    PrintCounts(options);
    if (g_findings.Problems() == 0) {
        std::printf("RESULT: passed\n");
        return 0;
    }
    std::printf("RESULT: FAILED, %d problems\n", g_findings.Problems());
    return 1;
}
