// vorel-client-bench: the library side by side with a raw-socket client of
// our own, against the reference server on loopback, in one run.
//
//   vorel-client-bench [--quick] [--server PATH] [--library PATH]
//                      [--round-trips N] [--pipelined N,N...] [--repeat N]
//                      [--reconnects N] [--idle-seconds N]
//                      [--resource-requests N] [--resource-drops N]
//
// The library is loaded with dlopen and driven through its exports, as a
// game does; the raw client (raw_client.h) speaks the same protocol on one
// blocking socket, with the project's own packet header and codec. Each
// talks to a vorel-server of its own, so that one's server commands never
// reach the other. It measures, and prints as one table:
//   - the round trip of one request and its answer (p50, p99);
//   - answers per second when N requests are written first and then all
//     answers read (Write_Message1, then Read_Message1, for the library);
//   - CPU per answer over those runs: the process, and for the library its
//     own threads (the session thread) apart from the game's;
//   - the longest Write_Message1 and Read_Message1 (time limit 0) that a
//     game thread calling them in a loop meets while the connection is
//     rebuilt after each kind of failure: the server drops it, sends its
//     disconnect notice, answers under an unknown identifier, or a send
//     fails (see docs/performance.md for how);
//   - how long after a drop each client has logged on again and has an
//     answer, and open descriptors, threads and resident size before and
//     after many requests and drops;
//   - wake-ups and CPU a second of an idle client, after a minute idle.
// Phases run one after the other (the raw client first, before the library
// is loaded, so that its process figures are its own), except the idle
// phase, where both wait at once and are told apart by their threads.
//
// --quick makes every phase small (a smoke run of some seconds). Exit
// status: 0 the run completed and every answer was right; 1 a check failed
// (the table is still printed); 2 the run could not start.
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/library_client.h"
#include "bench/process_figures.h"
#include "bench/raw_client.h"
#include "server/server_process.h"

namespace {

using bench::NowNs;

constexpr int kRequestType = 300;
constexpr int kLogonQueueId = 1;
constexpr int kGameLoopQueueId = 7;
constexpr int kRoundTripQueueId = 12;
constexpr int kPipelinedQueueId = 13;
constexpr int kFloodQueueId = 78;
constexpr int kAnswerBufferSize = 4096;
constexpr int kAnswerTimeoutSeconds = 10;
constexpr int kNoticeTimeoutMs = 15000;
constexpr int kLogonRetrySeconds = 2;  // a log-on unanswered this long is made again
// A flooded answer this long fills the library's bound on unread answers
// (64 MiB) in about a thousand packets.
constexpr size_t kFloodPayload = 60000;

// ---- options -----------------------------------------------------------------

struct Options {
    std::string server;
    std::string library;
    bool bQuick = false;
    int iRoundTrips = 400;
    std::vector<int> pipelined{10000, 100000};
    int iRepeat = 3;
    int iReconnects = 20;
    int iIdleSeconds = 60;
    int iResourceRequests = 200000;
    int iResourceDrops = 50;
};

std::string DirectoryOfProgram() {
    char szPath[4096];
    ssize_t n = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (n <= 0) return ".";
    std::string path(szPath, static_cast<size_t>(n));
    size_t iSlash = path.rfind('/');
    return iSlash == std::string::npos ? "." : path.substr(0, iSlash);
}

bool ParseCount(const char* szText, int iMin, int* piValue) {
    char* pEnd = nullptr;
    long n = std::strtol(szText, &pEnd, 10);
    if (pEnd == szText || *pEnd != '\0' || n < iMin || n > 10000000) return false;
    *piValue = static_cast<int>(n);
    return true;
}

bool ParseOptions(int argc, char** argv, Options* pOptions) {
    // --quick first, so that the other options given override its values.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            pOptions->bQuick = true;
            pOptions->iRoundTrips = 20;
            pOptions->pipelined = {1000, 5000};
            pOptions->iRepeat = 1;
            pOptions->iReconnects = 1;
            pOptions->iIdleSeconds = 1;
            pOptions->iResourceRequests = 2000;
            pOptions->iResourceDrops = 1;
        }
    }
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool bValue = i + 1 < argc;
        if (arg == "--quick") {
            continue;
        } else if (arg == "--server" && bValue) {
            pOptions->server = argv[++i];
        } else if (arg == "--library" && bValue) {
            pOptions->library = argv[++i];
        } else if (arg == "--round-trips" && bValue) {
            if (!ParseCount(argv[++i], 1, &pOptions->iRoundTrips)) return false;
        } else if (arg == "--pipelined" && bValue) {
            pOptions->pipelined.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) {
                int n = 0;
                if (!ParseCount(item.c_str(), 1, &n)) return false;
                pOptions->pipelined.push_back(n);
            }
            if (pOptions->pipelined.empty()) return false;
        } else if (arg == "--repeat" && bValue) {
            if (!ParseCount(argv[++i], 1, &pOptions->iRepeat)) return false;
        } else if (arg == "--reconnects" && bValue) {
            if (!ParseCount(argv[++i], 0, &pOptions->iReconnects)) return false;
        } else if (arg == "--idle-seconds" && bValue) {
            if (!ParseCount(argv[++i], 1, &pOptions->iIdleSeconds)) return false;
        } else if (arg == "--resource-requests" && bValue) {
            if (!ParseCount(argv[++i], 1, &pOptions->iResourceRequests)) return false;
        } else if (arg == "--resource-drops" && bValue) {
            if (!ParseCount(argv[++i], 0, &pOptions->iResourceDrops)) return false;
        } else {
            return false;
        }
    }
    std::string dir = DirectoryOfProgram();
    if (pOptions->server.empty()) pOptions->server = dir + "/../vorel-server";
    if (pOptions->library.empty()) pOptions->library = dir + "/../libVorel.so";
    return true;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: vorel-client-bench [--quick] [--server PATH] [--library PATH]\n"
                 "                          [--round-trips N] [--pipelined N,N...] [--repeat N]\n"
                 "                          [--reconnects N] [--idle-seconds N]\n"
                 "                          [--resource-requests N] [--resource-drops N]\n");
    return 2;
}

// ---- small helpers -------------------------------------------------------------

std::atomic<const char*> g_szPhase{"start"};
int g_iProblems = 0;

void Note(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    std::printf("# ");
    std::vprintf(szFormat, args);
    std::printf("\n");
    va_end(args);
}

void Problem(const std::string& text) {
    ++g_iProblems;
    std::printf("# PROBLEM (%s): %s\n", g_szPhase.load(), text.c_str());
}

void SleepMs(int iMs) { std::this_thread::sleep_for(std::chrono::milliseconds(iMs)); }

double Ms(int64_t iNs) { return static_cast<double>(iNs) / 1e6; }

// The value at fraction q (0..1) of the sorted samples, nearest rank.
double Percentile(std::vector<double> samples, double q) {
    if (samples.empty()) return NAN;
    std::sort(samples.begin(), samples.end());
    size_t iRank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
    if (iRank == 0) iRank = 1;
    return samples[std::min(iRank, samples.size()) - 1];
}

double Median(const std::vector<double>& samples) { return Percentile(samples, 0.5); }

std::string Request(int iQueueId, int k) {
    return std::to_string(kRequestType) + " " + std::to_string(iQueueId) + " bench " +
           std::to_string(k);
}

// The default application answers "300 N bench K" with "300 N ok SEQ bench K".
bool AnswerMatches(const char* szAnswer, int iFields, int k) {
    if (iFields != 6) return false;
    std::string tail = " bench " + std::to_string(k);
    size_t iLength = std::strlen(szAnswer);
    return iLength >= tail.size() &&
           std::strcmp(szAnswer + iLength - tail.size(), tail.c_str()) == 0;
}

// Occurrences of an ASCII text in GameRun.log (its lines are GBK; the parts
// looked for are ASCII).
int CountInLog(const std::string& needle) {
    std::ifstream in("GameRun.log", std::ios::binary);
    std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int iCount = 0;
    for (size_t i = log.find(needle); i != std::string::npos; i = log.find(needle, i + 1)) ++iCount;
    return iCount;
}

// ---- the table ----------------------------------------------------------------

struct Row {
    std::string name;
    double dLibrary = NAN;
    double dRaw = NAN;  // NAN: the raw client has no counterpart
    int iDecimals = 1;
};
std::vector<Row> g_rows;

void AddRow(const std::string& name, double dLibrary, double dRaw, int iDecimals) {
    g_rows.push_back({name, dLibrary, dRaw, iDecimals});
}

std::string Format(double d, int iDecimals) {
    if (std::isnan(d)) return "-";
    char sz[64];
    std::snprintf(sz, sizeof(sz), "%.*f", iDecimals, d);
    // Thousands separated, for the large counts.
    std::string text = sz;
    size_t iPoint = text.find('.');
    size_t iDigitsEnd = iPoint == std::string::npos ? text.size() : iPoint;
    size_t iFirst = text[0] == '-' ? 1 : 0;
    for (size_t i = iDigitsEnd; i > iFirst + 3; i -= 3) text.insert(i - 3, ",");
    return text;
}

std::string Ratio(double dLibrary, double dRaw) {
    if (std::isnan(dLibrary) || std::isnan(dRaw) || dRaw == 0) return "-";
    double dRatio = dLibrary / dRaw;
    if (dRatio >= 100) return Format(std::round(dRatio), 0);
    char sz[64];
    std::snprintf(sz, sizeof(sz), dRatio >= 10 ? "%.1f" : "%.2f", dRatio);
    return sz;
}

void PrintTable() {
    std::printf("\n| measure | library | raw | library / raw |\n|---|---:|---:|---:|\n");
    for (const Row& row : g_rows) {
        std::printf("| %s | %s | %s | %s |\n", row.name.c_str(),
                    Format(row.dLibrary, row.iDecimals).c_str(),
                    Format(row.dRaw, row.iDecimals).c_str(), Ratio(row.dLibrary, row.dRaw).c_str());
    }
}

// ---- the raw client's runs ------------------------------------------------------

struct PipelinedResult {
    double dSeconds = NAN;
    int64_t iProcessCpuNs = 0;
    int64_t iLibraryCpuNs = 0;  // the library's own threads
};

// Writes iCount requests from a second thread in batches of about 64 KiB
// (one send each) while this thread reads every answer, in order.
PipelinedResult RawPipelined(bench::RawClient& client, int iCount) {
    PipelinedResult result;
    int64_t iCpu0 = bench::ProcessCpuNs();
    int64_t iStart = NowNs();
    std::atomic<bool> bSendFailed{false};
    std::thread writer([&] {
        bench::OwnThread own;
        std::string batch;
        for (int k = 0; k < iCount; ++k) {
            std::string text = Request(kPipelinedQueueId, k);
            client.AppendRequest(kRequestType, text.data(), text.size(), &batch);
            if (batch.size() >= 64 * 1024 || k == iCount - 1) {
                if (!client.SendAll(batch.data(), batch.size())) {
                    bSendFailed = true;
                    return;
                }
                batch.clear();
            }
        }
    });
    char szAnswer[kAnswerBufferSize];
    int iWrong = 0;
    for (int k = 0; k < iCount; ++k) {
        int iFields =
            client.ReadAnswer(kRequestType, kPipelinedQueueId, szAnswer, sizeof(szAnswer));
        if (iFields <= 0) {
            Problem("raw client: answer " + std::to_string(k) + " of " + std::to_string(iCount) +
                    " did not come: " + client.Error());
            break;
        }
        if (!AnswerMatches(szAnswer, iFields, k)) ++iWrong;
    }
    int64_t iEnd = NowNs();
    writer.join();
    if (bSendFailed) Problem("raw client: a send failed: " + client.Error());
    if (iWrong > 0) Problem("raw client: " + std::to_string(iWrong) + " answers out of order");
    result.dSeconds = static_cast<double>(iEnd - iStart) / 1e9;
    result.iProcessCpuNs = bench::ProcessCpuNs() - iCpu0;
    return result;
}

// Reconnects and logs on again; false with a problem noted.
bool RawLogOn(bench::RawClient& client) {
    if (!client.Connect()) {
        Problem("raw client: " + client.Error());
        return false;
    }
    if (!client.LogOn(kLogonQueueId, "player", "secret")) {
        Problem("raw client: log-on refused or lost: " + client.Error());
        return false;
    }
    return true;
}

// ---- the library's runs --------------------------------------------------------

PipelinedResult LibraryPipelined(bench::LibraryClient& lib, int iCount) {
    PipelinedResult result;
    std::map<pid_t, bench::TaskCost> before = bench::ForeignTaskCosts();
    int64_t iCpu0 = bench::ProcessCpuNs();
    int64_t iStart = NowNs();
    for (int k = 0; k < iCount; ++k) {
        int iWrite = lib.Write(kRequestType, Request(kPipelinedQueueId, k));
        if (iWrite != 1) {
            Problem("Write_Message1 returned " + std::to_string(iWrite));
            return result;
        }
    }
    char szAnswer[kAnswerBufferSize];
    int iWrong = 0;
    for (int k = 0; k < iCount; ++k) {
        int iFields = lib.Read_Message1(kRequestType, szAnswer, sizeof(szAnswer),
                                        kAnswerTimeoutSeconds, kPipelinedQueueId);
        if (iFields <= 0) {
            Problem("Read_Message1 of answer " + std::to_string(k) + " of " +
                    std::to_string(iCount) + " returned " + std::to_string(iFields));
            break;
        }
        if (!AnswerMatches(szAnswer, iFields, k)) ++iWrong;
    }
    int64_t iEnd = NowNs();
    result.iProcessCpuNs = bench::ProcessCpuNs() - iCpu0;
    result.iLibraryCpuNs = bench::CostBetween(before, bench::ForeignTaskCosts()).iCpuNs;
    if (iWrong > 0) Problem(std::to_string(iWrong) + " answers out of order");
    result.dSeconds = static_cast<double>(iEnd - iStart) / 1e9;
    return result;
}

// A game thread calling Write_Message1 and Read_Message1 (time limit 0) in a
// loop, a request and a look for an answer every millisecond, keeping the
// longest call of each.
class GameLoop {
public:
    explicit GameLoop(bench::LibraryClient& lib) : lib_(lib) {}
    ~GameLoop() { Stop(); }

    void Start() {
        thread_ = std::thread([this] { Run(); });
    }
    void Stop() {
        bStop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    void PauseWrites(bool bPause) { bPauseWrites_ = bPause; }
    // The longest calls since the last Take, in nanoseconds.
    void Take(int64_t* piWriteNs, int64_t* piReadNs, int64_t* piCalls) {
        *piWriteNs = iLongestWriteNs_.exchange(0);
        *piReadNs = iLongestReadNs_.exchange(0);
        *piCalls = iCalls_.exchange(0);
    }

private:
    static void KeepLongest(std::atomic<int64_t>& longest, int64_t iNs) {
        int64_t iSeen = longest.load();
        while (iNs > iSeen && !longest.compare_exchange_weak(iSeen, iNs)) {
        }
    }

    void Run() {
        bench::OwnThread own;
        char szAnswer[kAnswerBufferSize];
        for (int k = 0; !bStop_; ++k) {
            if (!bPauseWrites_) {
                std::string text = Request(kGameLoopQueueId, k);
                int64_t iStart = NowNs();
                lib_.Write(kRequestType, text);
                KeepLongest(iLongestWriteNs_, NowNs() - iStart);
                ++iCalls_;
            }
            int64_t iStart = NowNs();
            lib_.Read_Message1(kRequestType, szAnswer, sizeof(szAnswer), 0, kGameLoopQueueId);
            KeepLongest(iLongestReadNs_, NowNs() - iStart);
            ++iCalls_;
            SleepMs(1);
        }
    }

    bench::LibraryClient& lib_;
    std::thread thread_;
    std::atomic<bool> bStop_{false};
    std::atomic<bool> bPauseWrites_{false};
    std::atomic<int64_t> iLongestWriteNs_{0};
    std::atomic<int64_t> iLongestReadNs_{0};
    std::atomic<int64_t> iCalls_{0};
};

// Waits until the library has stopped reading its connection: the
// connection's receive queue holds bytes and has not changed for 400 ms.
bool WaitUntilLibraryStopsReading(uint16_t wServerPort, int iTimeoutMs) {
    int64_t iDeadline = NowNs() + static_cast<int64_t>(iTimeoutMs) * 1000000;
    int64_t iLast = -1;
    int iSame = 0;
    while (NowNs() < iDeadline) {
        int64_t iQueue = bench::ClientReceiveQueue(wServerPort);
        iSame = iQueue > 0 && iQueue == iLast ? iSame + 1 : 0;
        if (iSame >= 4) return true;
        iLast = iQueue;
        SleepMs(100);
    }
    return false;
}

enum class Failure { kDrop, kDisconnect, kUnknownId, kFailedSend };

const char* FailureName(Failure kind) {
    switch (kind) {
        case Failure::kDrop:
            return "a drop";
        case Failure::kDisconnect:
            return "a disconnect notice";
        case Failure::kUnknownId:
            return "an unknown identifier";
        case Failure::kFailedSend:
            return "a failed send";
    }
    return "?";
}

// One forced reconnect of the library: makes the failure, waits for the
// window's notice, logs on again at once, as a game that heeds the notice
// does, and has an answer. A log-on that goes unanswered for
// kLogonRetrySeconds (lost with the queues that the reconnect discards) is
// made again and counted in *piLostLogons. Returns the time from the
// failure to the answer in ms, or NAN.
double LibraryReconnect(bench::LibraryClient& lib, refserver::ServerProcess& server,
                        GameLoop* pLoop, Failure kind, int* piLostLogons) {
    bench::NoticeBoard& board = lib.Notices();
    uintptr_t dwNotice = kind == Failure::kDisconnect ? 96 : 95;
    int iSeen = board.Count(dwNotice);
    int64_t iStart = 0;
    switch (kind) {
        case Failure::kDrop:
            iStart = NowNs();
            server.Command("drop");
            break;
        case Failure::kDisconnect:
            iStart = NowNs();
            server.Command("disconnect");
            break;
        case Failure::kUnknownId:
            iStart = NowNs();
            server.Command("fault unknown-id");
            break;
        case Failure::kFailedSend: {
            // The library reads its socket before it writes, so a broken
            // connection is normally found by a receive. It stops reading
            // while the game leaves 64 MiB of answers unread: the server
            // floods one answer, the library stops reading, the server drops
            // the connection, and the game's next requests meet a send that
            // fails.
            if (pLoop != nullptr) pLoop->PauseWrites(true);
            SleepMs(200);  // the loop's answers in flight come in first
            server.Command("fault flood");
            lib.Write(kRequestType, "300 " + std::to_string(kFloodQueueId) + " flood " +
                                        std::string(kFloodPayload, 'x'));
            if (!WaitUntilLibraryStopsReading(server.Port(), 30000))
                Problem("the library did not stop reading under the flood");
            if (pLoop != nullptr) pLoop->PauseWrites(false);
            iStart = NowNs();
            server.Command("drop");
            // Without the game loop, a request of its own makes the send.
            if (pLoop == nullptr) lib.Write(kRequestType, Request(kGameLoopQueueId, 0));
            break;
        }
    }
    bool bNotice = board.WaitBeyond(dwNotice, iSeen, kNoticeTimeoutMs);
    if (kind == Failure::kFailedSend) server.Command("fault none");
    if (!bNotice) {
        Problem(std::string("no notice ") + std::to_string(dwNotice) + " after " +
                FailureName(kind));
        return NAN;
    }
    std::string problem = lib.LogOn(kLogonQueueId, kLogonRetrySeconds, 5, piLostLogons);
    if (!problem.empty()) {
        Problem("log-on after " + std::string(FailureName(kind)) + ": " + problem);
        return NAN;
    }
    char szAnswer[kAnswerBufferSize];
    lib.Write(kRequestType, Request(kRoundTripQueueId, 0));
    int iFields = lib.Read_Message1(kRequestType, szAnswer, sizeof(szAnswer), kAnswerTimeoutSeconds,
                                    kRoundTripQueueId);
    if (!AnswerMatches(szAnswer, iFields, 0)) {
        Problem("no answer after the log-on: " + std::to_string(iFields));
        return NAN;
    }
    return Ms(NowNs() - iStart);
}

// ---- process figures ------------------------------------------------------------

struct Holdings {
    int iFds = 0;
    int iThreads = 0;
    int64_t iResidentKiB = 0;
};

// Once threads and descriptors are back to `reference`, or after 2 s: a
// thread that is ending or a socket being closed is no growth.
Holdings MeasureHoldings(const Holdings* pReference) {
    int64_t iDeadline = NowNs() + 2000LL * 1000000;
    Holdings h;
    for (;;) {
        h = {bench::OpenFds(), bench::ThreadCount(), bench::ResidentKiB()};
        if (pReference == nullptr || NowNs() > iDeadline ||
            (h.iFds <= pReference->iFds && h.iThreads <= pReference->iThreads))
            return h;
        SleepMs(20);
    }
}

void AddHoldingRows(const std::string& when, const Holdings& lib, const Holdings& raw) {
    AddRow("open descriptors, " + when, lib.iFds, raw.iFds, 0);
    AddRow("threads, " + when, lib.iThreads, raw.iThreads, 0);
    AddRow("resident size (MiB), " + when, lib.iResidentKiB / 1024.0, raw.iResidentKiB / 1024.0, 1);
}

// ---- the phases -----------------------------------------------------------------

struct RawFigures {
    std::vector<double> roundTripsMs;
    std::vector<std::vector<PipelinedResult>> pipelined;  // by size, by repeat
    Holdings before, after;
    std::vector<double> recoveryMs;
};

void RunRaw(const Options& options, refserver::ServerProcess& server, RawFigures* pFigures) {
    bench::RawClient client(server.Port());
    g_szPhase = "raw: round trips";
    if (!RawLogOn(client)) return;
    char szAnswer[kAnswerBufferSize];
    for (int k = 0; k < options.iRoundTrips; ++k) {
        int64_t iStart = NowNs();
        bool bSent = client.SendRequest(kRequestType, Request(kRoundTripQueueId, k));
        int iFields =
            bSent ? client.ReadAnswer(kRequestType, kRoundTripQueueId, szAnswer, sizeof(szAnswer))
                  : 0;
        pFigures->roundTripsMs.push_back(Ms(NowNs() - iStart));
        if (!AnswerMatches(szAnswer, iFields, k)) {
            Problem("raw client: round trip " + std::to_string(k) + ": " + client.Error());
            return;
        }
    }
    g_szPhase = "raw: pipelined";
    for (int iCount : options.pipelined) {
        pFigures->pipelined.emplace_back();
        for (int r = 0; r < options.iRepeat; ++r) {
            PipelinedResult result = RawPipelined(client, iCount);
            Note("raw client: %d pipelined in %.3f s (%.0f answers/s)", iCount, result.dSeconds,
                 iCount / result.dSeconds);
            pFigures->pipelined.back().push_back(result);
        }
    }
    g_szPhase = "raw: requests and drops";
    pFigures->before = MeasureHoldings(nullptr);
    int iDrops = options.iResourceDrops;
    int iSegments = iDrops + 1;
    for (int s = 0; s < iSegments; ++s) {
        int iCount = options.iResourceRequests / iSegments +
                     (s < options.iResourceRequests % iSegments ? 1 : 0);
        if (iCount > 0) RawPipelined(client, iCount);
        if (s == iDrops) break;
        int64_t iStart = NowNs();
        server.Command("drop");
        if (client.ReadAnswer(kRequestType, kRoundTripQueueId, szAnswer, sizeof(szAnswer)) != 0)
            Problem("raw client: an answer after the drop");
        if (!RawLogOn(client)) return;
        bool bSent = client.SendRequest(kRequestType, Request(kRoundTripQueueId, 0));
        int iFields =
            bSent ? client.ReadAnswer(kRequestType, kRoundTripQueueId, szAnswer, sizeof(szAnswer))
                  : 0;
        if (!AnswerMatches(szAnswer, iFields, 0)) Problem("raw client: no answer after a drop");
        pFigures->recoveryMs.push_back(Ms(NowNs() - iStart));
    }
    pFigures->after = MeasureHoldings(&pFigures->before);
    Note("raw client: %d requests and %d drops done", options.iResourceRequests, iDrops);
}

struct LibraryFigures {
    std::vector<double> roundTripsMs;
    std::vector<std::vector<PipelinedResult>> pipelined;
    struct Kind {
        Failure kind;
        int64_t iLongestWriteNs = 0;
        int64_t iLongestReadNs = 0;
        int64_t iCalls = 0;
        std::vector<double> recoveryMs;
        int iLogLines = 0;  // log lines that show the failure took the intended path
        int iLostLogons = 0;
    };
    std::vector<Kind> kinds;
    Holdings before, after;
    std::vector<double> recoveryMs;
    int iLostLogons = 0;
};

// The log line each failure must leave, to show it took the path meant.
const char* KindLogLine(Failure kind) {
    switch (kind) {
        case Failure::kUnknownId:
            return "---READ---error---9---";
        case Failure::kFailedSend:
            return "---error---1---:(-1,";
        default:
            return nullptr;
    }
}

void RunLibrary(const Options& options, bench::LibraryClient& lib, refserver::ServerProcess& server,
                LibraryFigures* pFigures) {
    g_szPhase = "library: round trips";
    std::string problem = lib.LogOn(kLogonQueueId);
    if (!problem.empty()) {
        Problem("first log-on: " + problem);
        return;
    }
    char szAnswer[kAnswerBufferSize];
    for (int k = 0; k < options.iRoundTrips; ++k) {
        int64_t iStart = NowNs();
        lib.Write(kRequestType, Request(kRoundTripQueueId, k));
        int iFields = lib.Read_Message1(kRequestType, szAnswer, sizeof(szAnswer),
                                        kAnswerTimeoutSeconds, kRoundTripQueueId);
        pFigures->roundTripsMs.push_back(Ms(NowNs() - iStart));
        if (!AnswerMatches(szAnswer, iFields, k)) {
            Problem("round trip " + std::to_string(k) + ": Read_Message1 returned " +
                    std::to_string(iFields));
            return;
        }
    }
    g_szPhase = "library: pipelined";
    for (int iCount : options.pipelined) {
        pFigures->pipelined.emplace_back();
        for (int r = 0; r < options.iRepeat; ++r) {
            PipelinedResult result = LibraryPipelined(lib, iCount);
            Note("library: %d pipelined in %.3f s (%.0f answers/s)", iCount, result.dSeconds,
                 iCount / result.dSeconds);
            pFigures->pipelined.back().push_back(result);
        }
    }

    g_szPhase = "library: requests and drops";
    pFigures->before = MeasureHoldings(nullptr);
    int iDrops = options.iResourceDrops;
    int iSegments = iDrops + 1;
    for (int s = 0; s < iSegments; ++s) {
        int iCount = options.iResourceRequests / iSegments +
                     (s < options.iResourceRequests % iSegments ? 1 : 0);
        if (iCount > 0) LibraryPipelined(lib, iCount);
        if (s == iDrops) break;
        pFigures->recoveryMs.push_back(
            LibraryReconnect(lib, server, nullptr, Failure::kDrop, &pFigures->iLostLogons));
    }
    pFigures->after = MeasureHoldings(&pFigures->before);
    Note("library: %d requests and %d drops done; %d log-ons lost", options.iResourceRequests,
         iDrops, pFigures->iLostLogons);

    g_szPhase = "library: reconnects";
    GameLoop loop(lib);
    loop.Start();
    for (Failure kind :
         {Failure::kDrop, Failure::kDisconnect, Failure::kUnknownId, Failure::kFailedSend}) {
        LibraryFigures::Kind figures;
        figures.kind = kind;
        const char* szLine = KindLogLine(kind);
        int iLinesBefore = szLine != nullptr ? CountInLog(szLine) : 0;
        int64_t iIgnored[3];
        loop.Take(&iIgnored[0], &iIgnored[1], &iIgnored[2]);
        for (int c = 0; c < options.iReconnects; ++c) {
            figures.recoveryMs.push_back(
                LibraryReconnect(lib, server, &loop, kind, &figures.iLostLogons));
            SleepMs(100);
        }
        loop.Take(&figures.iLongestWriteNs, &figures.iLongestReadNs, &figures.iCalls);
        if (szLine != nullptr) {
            figures.iLogLines = CountInLog(szLine) - iLinesBefore;
            if (figures.iLogLines < options.iReconnects)
                Problem(std::to_string(options.iReconnects) + " reconnects after " +
                        FailureName(kind) + " left " + std::to_string(figures.iLogLines) +
                        " lines \"" + szLine + "\" in GameRun.log");
        }
        Note(
            "library: %d reconnects after %s; longest Write_Message1 %.1f ms, Read_Message1 "
            "%.1f ms over %lld calls",
            options.iReconnects, FailureName(kind), Ms(figures.iLongestWriteNs),
            Ms(figures.iLongestReadNs), static_cast<long long>(figures.iCalls));
        pFigures->kinds.push_back(figures);
    }
    loop.Stop();
}

struct IdleFigures {
    double dLibraryWakeups = NAN, dRawWakeups = NAN;  // a second
    double dLibraryCpuMs = NAN, dRawCpuMs = NAN;      // ms of CPU a second
    double dLibraryVoluntary = NAN, dLibraryInvoluntary = NAN;
};

// Both clients connected and logged on, silent: a minute's wait, then a
// minute measured. The raw client waits on its own thread, as a game would
// keep it, and sends its keep-alives.
void RunIdle(const Options& options, refserver::ServerProcess& rawServer, IdleFigures* pFigures) {
    g_szPhase = "idle";
    bench::RawClient client(rawServer.Port());
    if (!RawLogOn(client)) return;
    std::atomic<pid_t> rawTid{0};
    std::atomic<bool> bRawFailed{false};
    int iTotalMs = options.iIdleSeconds * 2 * 1000 + 500;
    std::thread idler([&] {
        bench::OwnThread own;
        rawTid = bench::CurrentTid();
        if (!client.Idle(iTotalMs)) bRawFailed = true;
    });
    while (rawTid.load() == 0) SleepMs(1);
    Note("idle: %d s to settle, then %d s measured", options.iIdleSeconds, options.iIdleSeconds);
    SleepMs(options.iIdleSeconds * 1000);
    bench::TaskCost raw0, raw1;
    bench::ReadTaskCost(rawTid, &raw0);
    std::map<pid_t, bench::TaskCost> lib0 = bench::ForeignTaskCosts();
    int64_t iStart = NowNs();
    SleepMs(options.iIdleSeconds * 1000);
    bench::ReadTaskCost(rawTid, &raw1);
    std::map<pid_t, bench::TaskCost> lib1 = bench::ForeignTaskCosts();
    double dSeconds = static_cast<double>(NowNs() - iStart) / 1e9;
    idler.join();
    if (bRawFailed) Problem("raw client: " + client.Error());
    bench::TaskCost lib = bench::CostBetween(lib0, lib1);
    pFigures->dLibraryWakeups = (lib.iVoluntary + lib.iInvoluntary) / dSeconds;
    pFigures->dLibraryVoluntary = lib.iVoluntary / dSeconds;
    pFigures->dLibraryInvoluntary = lib.iInvoluntary / dSeconds;
    pFigures->dLibraryCpuMs = Ms(lib.iCpuNs) / dSeconds;
    pFigures->dRawWakeups =
        (raw1.iVoluntary - raw0.iVoluntary + raw1.iInvoluntary - raw0.iInvoluntary) / dSeconds;
    pFigures->dRawCpuMs = Ms(raw1.iCpuNs - raw0.iCpuNs) / dSeconds;
    Note("idle: library threads %.1f wake-ups/s (%.1f voluntary), %.3f ms CPU/s; raw %.2f, %.3f",
         pFigures->dLibraryWakeups, pFigures->dLibraryVoluntary, pFigures->dLibraryCpuMs,
         pFigures->dRawWakeups, pFigures->dRawCpuMs);
}

// The median over repeats of answers per second, CPU per answer.
struct PipelinedSummary {
    double dAnswersPerSecond = NAN;
    double dProcessCpuUs = NAN;
    double dLibraryCpuUs = NAN;
};

PipelinedSummary Summarise(const std::vector<PipelinedResult>& results, int iCount) {
    std::vector<double> rates, process, library;
    for (const PipelinedResult& r : results) {
        rates.push_back(iCount / r.dSeconds);
        process.push_back(static_cast<double>(r.iProcessCpuNs) / 1e3 / iCount);
        library.push_back(static_cast<double>(r.iLibraryCpuNs) / 1e3 / iCount);
    }
    return {Median(rates), Median(process), Median(library)};
}

void BuildTable(const Options& options, const LibraryFigures& lib, const RawFigures& raw,
                const IdleFigures& idle) {
    AddRow("round trip p50 (ms)", Median(lib.roundTripsMs), Median(raw.roundTripsMs), 3);
    AddRow("round trip p99 (ms)", Percentile(lib.roundTripsMs, 0.99),
           Percentile(raw.roundTripsMs, 0.99), 3);
    for (size_t i = 0; i < options.pipelined.size(); ++i) {
        int iCount = options.pipelined[i];
        PipelinedSummary l =
            i < lib.pipelined.size() ? Summarise(lib.pipelined[i], iCount) : PipelinedSummary();
        PipelinedSummary r =
            i < raw.pipelined.size() ? Summarise(raw.pipelined[i], iCount) : PipelinedSummary();
        std::string n = Format(iCount, 0);
        AddRow("pipelined " + n + ": answers/s", l.dAnswersPerSecond, r.dAnswersPerSecond, 0);
        AddRow("pipelined " + n + ": CPU per answer, process (us)", l.dProcessCpuUs,
               r.dProcessCpuUs, 2);
        AddRow("pipelined " + n + ": CPU per answer, library's threads (us)", l.dLibraryCpuUs, NAN,
               2);
    }
    for (const LibraryFigures::Kind& k : lib.kinds) {
        std::string what = std::string(FailureName(k.kind));
        AddRow("reconnects after " + what + ": longest Write_Message1 (ms)", Ms(k.iLongestWriteNs),
               NAN, 1);
        AddRow("reconnects after " + what + ": longest Read_Message1, limit 0 (ms)",
               Ms(k.iLongestReadNs), NAN, 1);
        AddRow("reconnects after " + what + ": logged on again with an answer, median (ms)",
               Median(k.recoveryMs), NAN, 0);
        AddRow("reconnects after " + what + ": log-ons made at the notice and lost", k.iLostLogons,
               NAN, 0);
    }
    AddRow(Format(options.iResourceRequests, 0) + " requests, " +
               Format(options.iResourceDrops, 0) +
               " drops: logged on again with an answer after a drop, median (ms)",
           Median(lib.recoveryMs), Median(raw.recoveryMs), 1);
    AddRow("idle: wake-ups a second", idle.dLibraryWakeups, idle.dRawWakeups, 2);
    AddRow("idle: CPU (ms a second)", idle.dLibraryCpuMs, idle.dRawCpuMs, 3);
    AddHoldingRows("before the requests and drops", lib.before, raw.before);
    AddHoldingRows("after them", lib.after, raw.after);
}

void OnWatchdog(int) {
    static const char kText[] = "\nvorel-client-bench: FAILED: the run did not finish in time\n";
    ssize_t n = write(STDOUT_FILENO, kText, sizeof(kText) - 1);
    (void)n;
    _exit(3);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return Usage();
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGALRM, OnWatchdog);
    // Generous: a full run takes about ten minutes on a loaded machine.
    alarm(options.bQuick ? 300 : 3600);
    bench::RegisterOwnThread();

    int64_t iRunStart = NowNs();
    refserver::ServerProcess rawServer, libServer;
    std::string error;
    int iServerSeconds = options.bQuick ? 600 : 7200;
    if (!rawServer.Start(options.server, iServerSeconds, "server-raw.out", &error) ||
        !libServer.Start(options.server, iServerSeconds, "server-library.out", &error)) {
        std::fprintf(stderr, "vorel-client-bench: %s\n", error.c_str());
        return 2;
    }
    Note("vorel-client-bench: %s; raw client and library against vorel-server on ports %u, %u",
         options.bQuick ? "quick run" : "full run", rawServer.Port(), libServer.Port());

    RawFigures raw;
    RunRaw(options, rawServer, &raw);

    bench::LibraryClient lib;
    if (!lib.Load(options.library, libServer.Port(), &error)) {
        std::fprintf(stderr, "vorel-client-bench: cannot load %s: %s\n", options.library.c_str(),
                     error.c_str());
        return 2;
    }
    LibraryFigures libFigures;
    RunLibrary(options, lib, libServer, &libFigures);
    IdleFigures idle;
    RunIdle(options, rawServer, &idle);

    BuildTable(options, libFigures, raw, idle);
    PrintTable();
    lib.Unload();
    rawServer.Stop();
    libServer.Stop();
    alarm(0);
    std::printf("\n%s run in %.0f s; %s\n", options.bQuick ? "quick" : "full",
                static_cast<double>(NowNs() - iRunStart) / 1e9,
                g_iProblems == 0 ? "every check held"
                                 : (std::to_string(g_iProblems) + " problems").c_str());
    return g_iProblems == 0 ? 0 : 1;
}
