// The session against a server that misbehaves on purpose: it stops
// reading, resets or half-closes the connection, drips its bytes, keeps the
// session key back, sends thousands of tiny answers at once or floods one
// identifier with answers, the smallest ones too. Whatever it does, every export of the engine
// returns within its own limit with one of its documented codes, and once
// the engine is destroyed the process holds the descriptors, threads and
// heap it held before.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/packet.h"
#include "exchange/queue_table.h"
#include "exchange/testing.h"
#include "frame/app.h"
#include "platform/socket_registry.h"
#include "session/engine.h"
#include "support/testing.h"
#include "util/process_resources.h"
#include "util/session_fixture.h"
#include "vorel/vorel.h"

namespace {

using refserver::Fault;
using testutil::ProcessResources;
using testutil::WaitReal;

// malloc's figures then cover the allocations of every thread.
const bool g_bOneMallocArena = testutil::UseOneMallocArena();

// A runtime that starts a thread of its own the first time the process
// starts one (the thread sanitizer's) has done so before the first test
// counts the process's threads.
class FirstThreadStarted : public ::testing::Environment {
public:
    void SetUp() override {
        std::thread([] {}).join();
    }
};
::testing::Environment* const g_pFirstThreadStarted =
    ::testing::AddGlobalTestEnvironment(new FirstThreadStarted);

// A second of the library's time takes 200 ms here: long enough for the
// limits below to leave a busy machine's hiccups room, short enough for
// waits of whole seconds.
constexpr uint32_t kClockScale = 5;

// Limits on the library's clock, in milliseconds. Write_Message1 and
// SetMessageWnd never wait for the server; neither do the readers when the
// log-on test refuses them. A reader with a time limit of T seconds returns
// within T seconds and one more pass; init waits at most 5 s for a set-up.
constexpr int64_t kNoWaitMs = 1500;
constexpr int64_t kWaitSlackMs = 1500;
constexpr int64_t kInitWaitMs = 5000;

// What an export that does not return at all is given, in real time, on
// top of its limit before the test gives up on it.
constexpr int kHangGraceMs = 2000;
constexpr int kNoReturn = INT_MIN;

// What the server gives each connection to receive into: a stalled reader
// holds the client back after a few kilobytes.
constexpr int kServerReceiveBuffer = 8192;

// Heap that a test may leave behind: the growth of tables that live as long
// as the process (the socket table, the test framework's records). Far below
// what the engine holds: its buffers alone are 3 MiB, its queue table 80 KB.
constexpr int64_t kHeapSlackBytes = 48 * 1024;

constexpr int kProbeQueueId = 77;
// Seconds; a reader that waits it out instead of refusing at once takes at
// least two of them, more than the limit of a call that does not wait.
constexpr int kProbeTimeout = 3;

std::atomic<int> g_iNotice95{0};
std::atomic<int> g_iNotice96{0};

intptr_t GameWindow(HWND, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg != WM_COPYDATA) return 0;
    uintptr_t dwData = reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData;
    if (dwData == 95) ++g_iNotice95;
    if (dwData == 96) ++g_iNotice96;
    return 1;
}

bool IsRead1Code(int iCode) {
    return iCode >= 4 || iCode == 0 || iCode == -1 || iCode == -2 || iCode == -3 || iCode == -4 ||
           iCode == -9;
}

bool IsRead2Code(int iCode) {
    return iCode >= 4 || iCode == 0 || iCode == -2 || iCode == -3 || iCode == -4 || iCode == -9;
}

// The codes of Read_Message1 for a user who is not logged on.
bool IsNetworkStateCode(int iCode) {
    return iCode == -1 || iCode == -2 || iCode == -3 || iCode == -9;
}

// One export call on a thread of its own, and what it left: its code, the
// text and type it wrote. Shared with the thread, which may outlive a test
// that gave up on it.
struct WatchedCall {
    std::mutex mutex;
    std::condition_variable returned;
    bool bReturned = false;
    int iCode = 0;
    char buffer[2048] = {};
    int iType = -1;
};

// What the exports returned while the server misbehaved.
struct Probe {
    int iWrite = 0;
    int iRead1 = 0;
    int64_t iRead1Ms = 0;
    int iRead2 = 0;
    int64_t iRead2Ms = 0;
    int iInit = 0;
};

class HostileServer : public testutil::SessionFixture {
protected:
    void SetUp() override {
        before_ = testutil::MeasureProcessResources();
        SessionFixture::SetUp();
        UseClockScale(kClockScale);
        g_iNotice95 = 0;
        g_iNotice96 = 0;
        hWnd_ = VorelCreateWindow(GameWindow, nullptr);
    }

    void TearDown() override {
        auto start = std::chrono::steady_clock::now();
        bool bStopped = DestroyAllEngines();
        auto iDestroyMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        EXPECT_TRUE(bStopped) << "a thread of the library outlived the engine";
        // The session thread's second to leave, then at most the bound of
        // the threads that had to be unblocked.
        EXPECT_LT(iDestroyMs, 2500);
        ReapCallsGivenUp();
        SessionFixture::TearDown();
        VorelDestroyWindow(hWnd_);
        vorel_testing::SetHeldAnswerLimit(0);
        quorvex_testing::SetLogBound(0);
        // Nothing is counted as held for an engine that is gone.
        EXPECT_EQ(HeldAnswerBytes(), 0);
        // The unload lets go of the log file after the engines, as here.
        WriteFileClose();
        ExpectResourcesBack();
    }

    refserver::Options ServerOptions() const override {
        refserver::Options options;
        options.iReceiveBufferBytes = kServerReceiveBuffer;
        return options;
    }

    // Descriptors and threads exactly as before the test, the heap within
    // its slack. The library joins its threads as they end; the wait covers
    // the system's reaping of the server's.
    void ExpectResourcesBack() {
        ProcessResources after;
        WaitReal(
            [&] {
                after = testutil::MeasureProcessResources();
                return after.iOpenFds == before_.iOpenFds && after.iThreads == before_.iThreads;
            },
            2000);
        EXPECT_EQ(after.iOpenFds, before_.iOpenFds) << "before: " << before_.Describe();
        EXPECT_EQ(after.iThreads, before_.iThreads) << "before: " << before_.Describe();
        if (testutil::HeapMeasurable()) {
            EXPECT_LE(after.iHeapBytes - before_.iHeapBytes, kHeapSlackBytes)
                << "before: " << before_.Describe() << "; after: " << after.Describe();
        }
    }

    // Runs an export on a thread of its own and checks that it returns
    // within iLimitMs of the library's clock. One that does not return at
    // all fails the test instead of hanging it; its thread is left to end
    // once the engine is destroyed. Returns the call, or null for a hang.
    std::shared_ptr<WatchedCall> CallWithin(const char* szExport, int64_t iLimitMs,
                                            std::function<int(WatchedCall&)> call,
                                            int64_t* piMs = nullptr) {
        auto pCall = std::make_shared<WatchedCall>();
        int64_t iStart = Clock().ElapsedMs();
        std::thread caller([pCall, call] {
            int iCode = call(*pCall);
            std::lock_guard<std::mutex> lock(pCall->mutex);
            pCall->iCode = iCode;
            pCall->bReturned = true;
            pCall->returned.notify_all();
        });
        std::unique_lock<std::mutex> lock(pCall->mutex);
        bool bReturned = pCall->returned.wait_for(
            lock, std::chrono::milliseconds(iLimitMs / kClockScale + kHangGraceMs),
            [&] { return pCall->bReturned; });
        int64_t iMs = Clock().ElapsedMs() - iStart;
        lock.unlock();
        if (!bReturned) {
            ADD_FAILURE() << szExport << " did not return";
            givenUp_.emplace_back(std::move(caller), pCall);
            return nullptr;
        }
        caller.join();
        EXPECT_LE(iMs, iLimitMs) << szExport << " took longer than its limit";
        if (piMs != nullptr) *piMs = iMs;
        return pCall;
    }

    // Calls given up on: each gets a bound to end now that the engine is
    // gone (its socket closed, its locks left), or is left to the process.
    void ReapCallsGivenUp() {
        for (auto& [caller, pCall] : givenUp_) {
            std::unique_lock<std::mutex> lock(pCall->mutex);
            if (pCall->returned.wait_for(lock, std::chrono::milliseconds(kHangGraceMs),
                                         [&] { return pCall->bReturned; })) {
                lock.unlock();
                caller.join();
            } else {
                ADD_FAILURE() << "an export call still has not returned";
                caller.detach();
            }
        }
        givenUp_.clear();
    }

    // Write_Message1 within iLimitMs: by default that of a call that does
    // not wait.
    int Write(int iType, const std::string& text, int64_t iLimitMs = kNoWaitMs) {
        auto pCall = CallWithin("Write_Message1", iLimitMs, [iType, text](WatchedCall&) {
            std::vector<char> input(text.begin(), text.end());
            input.push_back('\0');
            return Write_Message1(iType, input.data(), static_cast<int>(text.size()));
        });
        return pCall != nullptr ? pCall->iCode : kNoReturn;
    }

    // Read_Message1 within its limit, on this thread: for the many reads of
    // answers that are there or on their way. The answer's text in *pText.
    int Read1(int iType, int iTimeout, int iQueueId, std::string* pText = nullptr,
              int64_t* piMs = nullptr) {
        char buffer[2048];
        int64_t iStart = Clock().ElapsedMs();
        int iCode = Read_Message1(iType, buffer, sizeof(buffer), iTimeout, iQueueId);
        int64_t iMs = Clock().ElapsedMs() - iStart;
        EXPECT_LE(iMs, iTimeout * 1000 + kWaitSlackMs) << "Read_Message1 over its limit";
        EXPECT_TRUE(IsRead1Code(iCode)) << iCode;
        if (pText != nullptr) *pText = iCode >= 4 ? std::string(buffer) : std::string();
        if (piMs != nullptr) *piMs = iMs;
        return iCode;
    }

    // Every engine export once, init last: init moves the session to a new
    // connection, with the server still misbehaving.
    Probe ProbeEveryExport() {
        Probe probe;
        probe.iWrite = Write(300, "300 " + std::to_string(kProbeQueueId) + " probe");
        EXPECT_EQ(probe.iWrite, 1);

        const int64_t iReadLimitMs = kProbeTimeout * 1000 + kWaitSlackMs;
        auto pRead1 = CallWithin(
            "Read_Message1", iReadLimitMs,
            [](WatchedCall& call) {
                return Read_Message1(300, call.buffer, sizeof(call.buffer), kProbeTimeout,
                                     kProbeQueueId);
            },
            &probe.iRead1Ms);
        probe.iRead1 = pRead1 != nullptr ? pRead1->iCode : kNoReturn;
        EXPECT_TRUE(IsRead1Code(probe.iRead1)) << probe.iRead1;

        auto pRead2 = CallWithin(
            "Read_Message2", iReadLimitMs,
            [](WatchedCall& call) {
                return Read_Message2(&call.iType, call.buffer, sizeof(call.buffer), kProbeTimeout,
                                     0);
            },
            &probe.iRead2Ms);
        probe.iRead2 = pRead2 != nullptr ? pRead2->iCode : kNoReturn;
        EXPECT_TRUE(IsRead2Code(probe.iRead2)) << probe.iRead2;
        if (pRead2 != nullptr) {
            // The type of a message taken, else 0.
            EXPECT_EQ(pRead2->iType != 0,
                      probe.iRead2 >= 4 || probe.iRead2 == -3 || probe.iRead2 == -4)
                << pRead2->iType;
        }

        HWND hWnd = hWnd_;
        auto pWindow = CallWithin("SetMessageWnd", kNoWaitMs,
                                  [hWnd](WatchedCall&) { return SetMessageWnd(hWnd); });
        if (pWindow != nullptr) {
            EXPECT_EQ(pWindow->iCode, 1);
        }
        auto pNoWindow = CallWithin("SetMessageWnd", kNoWaitMs,
                                    [](WatchedCall&) { return SetMessageWnd(nullptr); });
        if (pNoWindow != nullptr) {
            EXPECT_EQ(pNoWindow->iCode, 0);
        }

        int iPort = Server().Port();
        auto pInit = CallWithin("init", kInitWaitMs + kWaitSlackMs, [iPort](WatchedCall&) {
            char szHost[] = "127.0.0.1";
            return init(szHost, iPort);
        });
        probe.iInit = pInit != nullptr ? pInit->iCode : kNoReturn;
        // The server still accepts connections: a set-up begins.
        EXPECT_EQ(probe.iInit, 0);
        return probe;
    }

    // A logged-on user whose connection was lost: Read_Message1 refuses at
    // once with the network's state, Read_Message2 with -9.
    void ExpectLostLogOnRefusals(const Probe& probe) {
        EXPECT_EQ(Engine().logon.iUserStatus1.load(), 2);
        EXPECT_TRUE(IsNetworkStateCode(probe.iRead1)) << probe.iRead1;
        EXPECT_LE(probe.iRead1Ms, kNoWaitMs);
        EXPECT_EQ(probe.iRead2, -9);
        EXPECT_LE(probe.iRead2Ms, kNoWaitMs);
    }

    // A logged-on user whose connection stands. A server that answers gives
    // the probe its answer; one that does not leaves both readers waiting
    // their whole time. Nothing is pushed for Read_Message2.
    void ExpectAnswered(const Probe& probe) {
        EXPECT_EQ(probe.iRead1, 5);  // "300 77 ok SEQ probe"
        EXPECT_EQ(probe.iRead2, 0);
    }
    void ExpectTimeOuts(const Probe& probe) {
        EXPECT_EQ(probe.iRead1, 0);
        EXPECT_GE(probe.iRead1Ms, kProbeTimeout * 1000 - 1000);
        EXPECT_EQ(probe.iRead2, 0);
        EXPECT_GE(probe.iRead2Ms, kProbeTimeout * 1000 - 1000);
    }

    void LogOnWithWindow() {
        ConnectedEngine();
        ASSERT_EQ(SetMessageWnd(hWnd_), 1);
        ASSERT_TRUE(LogOn(1));
    }

    int LogLinesStartingWith(const std::string& prefix) const {
        int iCount = 0;
        for (const std::string& line : LogLines()) iCount += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return iCount;
    }

    // Pending answers of a receive queue, and the bytes of their packets.
    static int PendingAnswers(ClientEngine& engine, int iQueueId, int64_t* piBytes) {
        testutil::QueueView view =
            testutil::InspectQueue(engine.queues, testutil::RecvKey(iQueueId).c_str());
        int iPending = 0;
        *piBytes = 0;
        for (const testutil::NodeView& node : view.nodes) {
            if (node.iDone != 0) continue;
            ++iPending;
            *piBytes += node.dwLength;
        }
        return iPending;
    }

    // A send buffer of 8 KiB, Winsock's traditional default, for the
    // session's socket: a send of more than that to a server that reads
    // nothing blocks, as it can on the game's system, instead of fitting
    // into the megabytes that loopback sockets get here.
    void GiveTheSessionSocketASmallSendBuffer() {
        platform::detail::SocketUse use(Engine().connection.hSocket.load());
        ASSERT_TRUE(use);
        int iBytes = 8192;
        ASSERT_EQ(setsockopt(static_cast<int>(use.Native()), SOL_SOCKET, SO_SNDBUF, &iBytes,
                             sizeof(iBytes)),
                  0);
    }

    // The size of the log file: with the trace switch on, every pass of the
    // session thread makes it grow.
    int64_t LogSize(const char* szName = "GameRun.log") const {
        std::error_code error;
        auto iSize = std::filesystem::file_size(Dir().File(szName), error);
        return error ? -1 : static_cast<int64_t>(iSize);
    }

    // True once the log has not grown for a second of the library's time,
    // within iTimeoutMs of real time.
    bool LogStandsStill(int iTimeoutMs) {
        int64_t iSize = LogSize();
        int64_t iSince = Clock().ElapsedMs();
        return WaitReal(
            [&] {
                int64_t iNow = LogSize();
                if (iNow != iSize) {
                    iSize = iNow;
                    iSince = Clock().ElapsedMs();
                }
                return Clock().ElapsedMs() - iSince >= 1000;
            },
            iTimeoutMs);
    }

public:
    // The behaviours, each provoked and checked on its own.

    // The server stops reading once the user is logged on, and the session
    // thread blocks in its send of the requests behind it: its passes,
    // traced in the log, stop.
    void StallTheSessionInASend() {
        ConfigForServer(1);
        ASSERT_NO_FATAL_FAILURE(LogOnWithWindow());
        ASSERT_NO_FATAL_FAILURE(GiveTheSessionSocketASmallSendBuffer());
        Server().SetFault(Fault::kStopReading);
        // Long requests, traced whole in the log: only a hang counts here.
        const std::string filler(60000, 'x');
        for (int i = 0; i < 10; ++i) {
            ASSERT_EQ(Write(300, "300 20 " + std::to_string(i) + " " + filler, kInitWaitMs), 1)
                << i;
        }
        ASSERT_TRUE(WaitReal([this] { return Server().StalledReaders() == 1; }, 5000));
        ASSERT_TRUE(LogStandsStill(5000)) << "the session thread goes on with its passes";
    }

    void StopsReading() {
        ASSERT_NO_FATAL_FAILURE(StallTheSessionInASend());
        ExpectTimeOuts(ProbeEveryExport());
    }

    void ResetsMidPacket() {
        ASSERT_NO_FATAL_FAILURE(LogOnWithWindow());
        Server().SetFault(Fault::kResetMidPacket);
        ASSERT_EQ(Write(300, "300 7 provoke"), 1);
        ASSERT_TRUE(WaitForConnections(2, 10000));
        // A reset is a failed receive, not the end of the stream.
        EXPECT_EQ(LogLinesStartingWith("线程2---READ---warn---1---socket繁忙,"), 1);
        EXPECT_EQ(LogLinesStartingWith("线程2---READ---warn---2---"), 0);
        EXPECT_TRUE(WaitReal([] { return g_iNotice95.load() == 1; }, 5000));
        ExpectLostLogOnRefusals(ProbeEveryExport());
        EXPECT_EQ(g_iNotice96.load(), 0);
    }

    void HalfClosesAndKeepsReading() {
        ASSERT_NO_FATAL_FAILURE(LogOnWithWindow());
        Server().SetFault(Fault::kHalfClose);
        ASSERT_EQ(Write(300, "300 7 provoke"), 1);
        ASSERT_TRUE(WaitForConnections(2, 10000));
        EXPECT_EQ(LogLinesStartingWith("线程2---READ---warn---2---socket已断,"), 1);
        // The library closes the half-closed connection too: the server's
        // reader sees its end.
        EXPECT_TRUE(Server().WaitUntil([this] { return Server().LiveConnections() == 1; }, 5000));
        EXPECT_TRUE(WaitReal([] { return g_iNotice95.load() == 1; }, 5000));
        ExpectLostLogOnRefusals(ProbeEveryExport());
    }

    void DripsOneByteAtATime() {
        ASSERT_NO_FATAL_FAILURE(LogOnWithWindow());
        Server().SetFault(Fault::kDrip, -1);
        ASSERT_EQ(Write(300, "300 8 slowly but surely"), 1);
        // One look, no wait, while the answer is on its way byte by byte.
        int64_t iMs = 0;
        EXPECT_EQ(Read1(300, 0, 8, nullptr, &iMs), 0);
        EXPECT_LE(iMs, kNoWaitMs);
        std::string answer;
        EXPECT_EQ(Read1(300, 10, 8, &answer), 7);
        EXPECT_EQ(answer.substr(0, 9), "300 8 ok ");
        EXPECT_EQ(answer.substr(answer.find(' ', 9)), " slowly but surely");
        ExpectAnswered(ProbeEveryExport());
        // The first connection, and the one init made.
        EXPECT_TRUE(Server().WaitUntil([this] { return Server().Connections() == 2; }, 5000));
    }

    void NeverAnswersTheKeyRequest() {
        Server().SetFault(Fault::kNoKeyAnswer, -1);
        CreateEngine();
        ASSERT_EQ(SetMessageWnd(hWnd_), 1);
        ASSERT_TRUE(WaitReal([this] { return ReceivedOfType(kTypeKey) >= 1; }, 5000));
        ASSERT_EQ(Write(201, "201 1 player secret"), 1);
        // The log-on answer cannot come: its read waits its whole time.
        int64_t iMs = 0;
        EXPECT_EQ(Read1(202, 2, 1, nullptr, &iMs), 0);
        EXPECT_GE(iMs, 1000);
        Probe probe = ProbeEveryExport();
        // Not logged on: Read_Message1 for an ordinary answer does not wait.
        EXPECT_TRUE(IsNetworkStateCode(probe.iRead1)) << probe.iRead1;
        EXPECT_LE(probe.iRead1Ms, kNoWaitMs);
        EXPECT_EQ(probe.iRead2, 0);
        // Without a key nothing but key requests went out.
        for (const refserver::ReceivedPacket& packet : Server().Received()) {
            EXPECT_EQ(packet.iType, kTypeKey);
        }
        EXPECT_EQ(Engine().logon.iUserStatus1.load(), 0);
    }

    void SendsThousandsOfTinyAnswersInOneBurst() {
        ASSERT_NO_FATAL_FAILURE(LogOnWithWindow());
        Server().SetFault(Fault::kBurst);
        ASSERT_EQ(Write(300, "300 9 many please"), 1);
        const int iBurst = ServerOptions().iBurstPackets;
        std::string answer;
        for (int k = 1; k <= iBurst; ++k) {
            ASSERT_EQ(Read1(300, 5, 9, &answer), 4) << k;
            ASSERT_EQ(answer, "300 9 burst " + std::to_string(k));
        }
        int64_t iMs = 0;
        EXPECT_EQ(Read1(300, 0, 9, nullptr, &iMs), 0);
        EXPECT_EQ(Server().Connections(), 1);
        ExpectAnswered(ProbeEveryExport());
    }

    void FloodsAnswersForAKnownIdentifier() {
        ASSERT_NO_FATAL_FAILURE(FloodUpToTheBound());
        // Two seconds of the library's time in which the game reads nothing:
        // the library takes nothing more from the server, and says so once.
        int64_t iHeldBytes = 0;
        int iHeld = PendingAnswers(Engine(), kFloodQueueId, &iHeldBytes);
        const int64_t iStart = Clock().ElapsedMs();
        WaitReal([&] { return Clock().ElapsedMs() - iStart >= 2000; }, 5000);
        int64_t iHeldBytesLater = 0;
        EXPECT_EQ(PendingAnswers(Engine(), kFloodQueueId, &iHeldBytesLater), iHeld);
        // At most one receive of the read buffer past the limit.
        EXPECT_LE(iHeldBytesLater, static_cast<int64_t>(kHeldLimit + kReadBufferSize));
        EXPECT_EQ(LogLinesStartingWith(kBoundLine), 1);

        // The game reads: every answer in the server's order, past what was
        // held, so the library went back to reading.
        std::string answer;
        for (int k = 1; k <= iHeld + 500; ++k) {
            ASSERT_GE(Read1(300, 5, kFloodQueueId, &answer), 6) << k;
            ASSERT_EQ(answer.substr(answer.rfind(' ') + 1), std::to_string(k));
        }
        // The server, flooding, reads nothing: the probe's request is not
        // answered.
        ExpectTimeOuts(ProbeEveryExport());
    }

    // The server floods one identifier with answers of about a kilobyte
    // ("300 N ok SEQ flood <pad> K") until the library holds as much as it
    // may for the game and stops reading.
    void FloodUpToTheBound() {
        vorel_testing::SetHeldAnswerLimit(kHeldLimit);
        ASSERT_NO_FATAL_FAILURE(LogOnWithWindow());
        Server().SetFault(Fault::kFlood);
        ASSERT_EQ(
            Write(300, "300 " + std::to_string(kFloodQueueId) + " flood " + std::string(1000, 'p')),
            1);
        ASSERT_TRUE(WaitReal([&] { return LogLinesStartingWith(kBoundLine) >= 1; }, 10000));
    }

    // The server floods one identifier with the smallest answers there are
    // ("300 N t K", four fields), the trace off. Each still writes its
    // recv line: the log is rotated at its bound and takes at most twice
    // it, and the answers held stop at their bound, counted as the heap
    // takes them.
    void FloodsTheSmallestAnswersWithTheTraceOff() {
        quorvex_testing::SetLogBound(kFloodLogBound);
        vorel_testing::SetHeldAnswerLimit(kHeldLimit);
        ASSERT_NO_FATAL_FAILURE(LogOnWithWindow());
        Server().SetApplication([](int iType, const std::string&) {
            return std::vector<refserver::Reply>{
                {iType, "300 " + std::to_string(kFloodQueueId) + " t"}};
        });
        Server().SetFault(Fault::kFlood);
        ASSERT_EQ(Write(300, "300 " + std::to_string(kFloodQueueId) + " tiny"), 1);
        ASSERT_TRUE(WaitReal([&] { return LogLinesStartingWith(kBoundLine) >= 1; }, 10000));
        int64_t iPendingBytes = 0;
        int iHeld = PendingAnswers(Engine(), kFloodQueueId, &iPendingBytes);
        const int64_t iStart = Clock().ElapsedMs();
        WaitReal([&] { return Clock().ElapsedMs() - iStart >= 2000; }, 5000);
        EXPECT_EQ(PendingAnswers(Engine(), kFloodQueueId, &iPendingBytes), iHeld);
        // Stopped at the bound, within one answer, however many the last
        // receive brought.
        EXPECT_GE(HeldAnswerBytes(), static_cast<int64_t>(kHeldLimit));
        EXPECT_LT(HeldAnswerBytes(), static_cast<int64_t>(kHeldLimit + HeldAnswerCost(64)));
        EXPECT_GT(LogSize("GameRun.log.1"), 0) << "the log was rotated";
        EXPECT_LE(LogSize() + LogSize("GameRun.log.1"), static_cast<int64_t>(2 * kFloodLogBound));
    }

    static constexpr size_t kHeldLimit = 256 * 1024;
    static constexpr uint64_t kFloodLogBound = 64 * 1024;
    static constexpr int kFloodQueueId = 10;
    static constexpr const char* kBoundLine = "线程2---READ---warn---3---";

protected:
    ProcessResources before_;
    HWND hWnd_ = nullptr;
    std::vector<std::pair<std::thread, std::shared_ptr<WatchedCall>>> givenUp_;
};

// A behaviour of the server: its name, and how a test provokes it and
// checks what the library made of it.
struct Behaviour {
    const char* szName;
    void (HostileServer::*pfnRun)();
};

void PrintTo(const Behaviour& behaviour, std::ostream* pOut) { *pOut << behaviour.szName; }

class EveryExport : public HostileServer, public ::testing::WithParamInterface<Behaviour> {};

TEST_P(EveryExport, KeepsItsLimitAndTheProcessGetsItsResourcesBack) {
    (this->*GetParam().pfnRun)();
}

INSTANTIATE_TEST_SUITE_P(
    WhileTheServer, EveryExport,
    ::testing::Values(
        Behaviour{"StopsReading", &HostileServer::StopsReading},
        Behaviour{"ResetsMidPacket", &HostileServer::ResetsMidPacket},
        Behaviour{"HalfClosesAndKeepsReading", &HostileServer::HalfClosesAndKeepsReading},
        Behaviour{"DripsOneByteAtATime", &HostileServer::DripsOneByteAtATime},
        Behaviour{"NeverAnswersTheKeyRequest", &HostileServer::NeverAnswersTheKeyRequest},
        Behaviour{"SendsThousandsOfTinyAnswersInOneBurst",
                  &HostileServer::SendsThousandsOfTinyAnswersInOneBurst},
        Behaviour{"FloodsAnswersForAKnownIdentifier",
                  &HostileServer::FloodsAnswersForAKnownIdentifier},
        Behaviour{"FloodsTheSmallestAnswersWithTheTraceOff",
                  &HostileServer::FloodsTheSmallestAnswersWithTheTraceOff}),
    [](const ::testing::TestParamInfo<Behaviour>& info) { return std::string(info.param.szName); });

// The engine destroyed while the server still misbehaves: threads blocked
// on the server are unblocked and end within the shutdown's bound, and what
// the session held is freed (checked in TearDown).
class DestroyingTheEngine : public HostileServer,
                            public ::testing::WithParamInterface<Behaviour> {};

TEST_P(DestroyingTheEngine, EndsEveryThreadAndFreesWhatItHeld) { (this->*GetParam().pfnRun)(); }

INSTANTIATE_TEST_SUITE_P(
    WhileIt, DestroyingTheEngine,
    ::testing::Values(
        // Closing the socket unblocks the send.
        Behaviour{"IsBlockedInASendToAServerThatStoppedReading",
                  &HostileServer::StallTheSessionInASend},
        Behaviour{"HoldsAFloodOfAnswersAtItsBound", &HostileServer::FloodUpToTheBound}),
    [](const ::testing::TestParamInfo<Behaviour>& info) { return std::string(info.param.szName); });

// A connection set up in the engine's first five seconds keeps the queue
// table, and with it the answers held at the bound. The user who lost the
// connection may read none of them until logged on again, so the session
// must still read what the new connection brings: its key and the log-on
// answer.
TEST_F(HostileServer, AGameCanLogOnAgainAfterAnEarlyReconnectionWithAnswersHeldAtTheBound) {
    ASSERT_NO_FATAL_FAILURE(FloodUpToTheBound());
    Server().SetFault(Fault::kNone);
    if (Clock().ElapsedMs() >= 4000) GTEST_SKIP() << "too late for the table to stay";
    char szHost[] = "127.0.0.1";
    ASSERT_EQ(init(szHost, Server().Port()), 0);
    ASSERT_EQ(Write(201, "201 1 player secret"), 1);
    std::string answer;
    EXPECT_EQ(Read1(202, 10, 1, &answer), 5);
    EXPECT_EQ(answer, "202 1 player 0 welcome");
}

}  // namespace
