// Retrieving results: what lands in the caller's buffer (byte for byte),
// which answer is taken and what becomes of it, the logon test, the clock
// rules of the wait, and the local network check.
#include "exchange/retrieve.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "exchange/queue_table.h"
#include "platform/adapters.h"
#include "platform/clock.h"
#include "platform/testing.h"
#include "util/engine_fixture.h"
#include "util/session_fixture.h"
#include "vorel/vorel.h"

namespace {

using testutil::InspectQueue;
using testutil::QueueAnswer;
using testutil::QueueView;
using testutil::RecvKey;

// The reader's texts as GBK bytes, with their terminators.
const std::string kTooSmall("---error---OutputBuff \xCC\xAB\xD0\xA1", 27);
const std::string kTimeout(
    "---error---\xB3\xAC\xCA\xB1,\xC3\xBB\xD3\xD0\xCA\xD5\xB5\xBD\xCA\xFD\xBE\xDD", 29);
const std::string kFormat(
    "---error---\xB7\xFE\xCE\xF1\xB6\xCB\xB7\xB5\xBB\xD8\xB5\xC4\xB8\xF1\xCA\xBD\xB4\xED\xCE\xF3",
    32);
const std::string kLongerPrefix(
    "---error---OutputBuff \xCC\xAB\xD0\xA1,\xB7\xFE\xCE\xF1\xB6\xCB\xB7\xB5\xBB\xD8\xB5\xC4\xCA"
    "\xFD\xBE\xDD\xB3\xA4\xB6\xC8:");

constexpr char kSentinel = 'Z';
constexpr size_t kSlack = 64;

// ---- substituted adapter lists ---------------------------------------------

struct AdapterScript {
    uint32_t dwFirst = platform::kErrorBufferOverflow;  // answer to the size query
    uint32_t dwSecond = platform::kErrorSuccess;        // answer to the query with room
    std::vector<const char*> addresses;
};
AdapterScript g_script;

uint32_t ScriptedAdapters(platform::AdapterRecord* pList, uint32_t* pdwSize) {
    uint32_t dwNeeded =
        static_cast<uint32_t>((g_script.addresses.empty() ? 1 : g_script.addresses.size()) *
                              sizeof(platform::AdapterRecord));
    if (pList == nullptr || *pdwSize < dwNeeded) {
        if (g_script.dwFirst == platform::kErrorBufferOverflow) *pdwSize = dwNeeded;
        return g_script.dwFirst;
    }
    if (g_script.dwSecond != platform::kErrorSuccess) return g_script.dwSecond;
    for (size_t i = 0; i < g_script.addresses.size(); ++i) {
        pList[i].pNext = i + 1 < g_script.addresses.size() ? &pList[i + 1] : nullptr;
        std::snprintf(pList[i].szIpAddress, sizeof(pList[i].szIpAddress), "%s",
                      g_script.addresses[i]);
    }
    return platform::kErrorSuccess;
}

void UseAdapters(uint32_t dwFirst, uint32_t dwSecond, std::vector<const char*> addresses) {
    g_script = AdapterScript{dwFirst, dwSecond, std::move(addresses)};
    platform_testing::SetAdapterQuery(ScriptedAdapters);
}

// ---- a clock that keeps the sleeps ------------------------------------------

// Stands still but for the sleeps, which move it by their length at once and
// are kept. It starts on a whole second. A wait that never sleeps on it would
// never end: after ten real seconds its seconds jump an hour ahead.
std::atomic<int64_t> g_iCountingMs{0};
std::chrono::steady_clock::time_point g_countingInstalled;
std::mutex g_sleepsLock;
std::vector<uint32_t> g_sleeps;

int64_t CountingNowSeconds() {
    int64_t iSeconds = 1700000000 + g_iCountingMs.load() / 1000;
    bool bStuck = std::chrono::steady_clock::now() - g_countingInstalled > std::chrono::seconds(10);
    return bStuck ? iSeconds + 3600 : iSeconds;
}
void CountingLocalTime(platform::LocalTime* pTime) { *pTime = {2023, 11, 14, 22, 13, 20}; }
uint32_t CountingTickMs() { return static_cast<uint32_t>(g_iCountingMs.load()); }
void CountingSleepMs(uint32_t dwMs) {
    {
        std::lock_guard<std::mutex> guard(g_sleepsLock);
        g_sleeps.push_back(dwMs);
    }
    g_iCountingMs.fetch_add(dwMs);
}
const platform_testing::ClockHooks kCountingClock{CountingNowSeconds, CountingLocalTime,
                                                  CountingTickMs, CountingSleepMs, nullptr};

// ---- fixture ----------------------------------------------------------------

class Retrieve : public testutil::EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        Engine().logon.iUserStatus1 = 1;
        ClearLog();  // the constructor's word on the absent configuration
    }

    // Read_Message1 into a buffer of iOutputLength bytes followed by sentinels.
    int Read1(int iType, int iQueueId, int iTimeout = 0, int iOutputLength = 1024) {
        PrepareBuffer(iOutputLength);
        return Read_Message1(iType, out_.data(), iOutputLength, iTimeout, iQueueId);
    }
    int Read2(int* piType, int iTimeout = 0, int iOutputLength = 1024, int iReserved = 0) {
        PrepareBuffer(iOutputLength);
        return Read_Message2(piType, out_.data(), iOutputLength, iTimeout, iReserved);
    }
    void PrepareBuffer(int iOutputLength) {
        out_.assign(static_cast<size_t>(iOutputLength > 0 ? iOutputLength : 0) + kSlack, kSentinel);
    }
    // The first n bytes of the buffer.
    std::string Out(size_t n) const { return std::string(out_.data(), n); }
    // The buffer up to its first zero.
    std::string Text() const { return std::string(out_.data()); }
    // Whether bytes [from, to) are all b.
    bool All(size_t from, size_t to, char b) const {
        for (size_t i = from; i < to; ++i)
            if (out_[i] != b) return false;
        return true;
    }
    void Answer(int iQueueId, int iType, const std::string& payload) {
        ASSERT_TRUE(QueueAnswer(Engine().queues, iQueueId, iType, payload));
    }
    QueueView Recv(int iQueueId) {
        return InspectQueue(Engine().queues, RecvKey(iQueueId).c_str());
    }

    // The sleeps made while `work` runs, on the clock above. The fixture's
    // own clock comes back afterwards.
    template <class Work>
    std::vector<uint32_t> SleepsDuring(Work work) {
        g_iCountingMs = 0;
        g_sleeps.clear();
        g_countingInstalled = std::chrono::steady_clock::now();
        platform_testing::SetClockHooks(&kCountingClock);
        work();
        UseClockScale(1000);
        std::lock_guard<std::mutex> guard(g_sleepsLock);
        return g_sleeps;
    }

    std::vector<char> out_;
};

// ---- the caller's buffer ------------------------------------------------------

TEST_F(Retrieve, OutputLength255IsTooSmallAnd256TakesAnAnswerOfExactly256) {
    std::string payload = "r 1 c ";
    payload.append(240 - payload.size(), 'p');
    Answer(1, 300, payload);  // dwLength 256

    EXPECT_EQ(Read1(300, 1, 0, 255), -2);
    EXPECT_EQ(Out(27), kTooSmall);
    EXPECT_TRUE(All(27, out_.size(), kSentinel));
    EXPECT_EQ(Recv(1).Pending(), 1);

    EXPECT_EQ(Read1(300, 1, 0, 256), 4);
    EXPECT_EQ(Out(240), payload);
    EXPECT_TRUE(All(240, 256, '\0'));
    EXPECT_TRUE(All(256, out_.size(), kSentinel));

    // The longest answer the server may send, 65,536 bytes in all.
    std::string longest = "r 1 c ";
    longest.append(65536 - 16 - longest.size(), 'q');
    Answer(1, 300, longest);
    EXPECT_EQ(Read1(300, 1, 0, 65536), 4);
    EXPECT_EQ(Text(), longest);
}

TEST_F(Retrieve, TooSmallTextIsCutOnACharacterAndNeverOverruns) {
    struct Case {
        int iOutputLength;
        size_t iKept;  // bytes of the text kept before the terminator
    };
    // "---error---OutputBuff " is 22 bytes, then two 2-byte characters.
    for (Case c : {Case{1, 0}, Case{5, 4}, Case{23, 22}, Case{24, 22}, Case{25, 24}, Case{26, 24},
                   Case{27, 26}}) {
        SCOPED_TRACE(c.iOutputLength);
        int iType = -1;
        EXPECT_EQ(Read2(&iType, 0, c.iOutputLength), -2);
        EXPECT_EQ(iType, 0);
        EXPECT_EQ(Out(c.iKept), kTooSmall.substr(0, c.iKept));
        EXPECT_EQ(out_[c.iKept], '\0');
        EXPECT_TRUE(All(c.iKept + 1, out_.size(), kSentinel));
        EXPECT_EQ(Read1(300, 1, 0, c.iOutputLength), -2);
        EXPECT_EQ(out_[c.iKept], '\0');
        EXPECT_TRUE(All(c.iKept + 1, out_.size(), kSentinel));
    }
    for (int iOutputLength : {0, -1, -256}) {
        EXPECT_EQ(Read1(300, 1, 0, iOutputLength), -2);
        EXPECT_TRUE(All(0, out_.size(), kSentinel));
    }
    EXPECT_EQ(Read_Message1(300, nullptr, 1024, 0, 1), -2);
    int iType = -1;
    EXPECT_EQ(Read_Message2(&iType, nullptr, 1024, 0, 0), -2);
    EXPECT_EQ(iType, 0);
}

// ---- which answer, and what is left ---------------------------------------------

TEST_F(Retrieve, LongerAnswerIsRefusedWithItsLengthAndConsumed) {
    std::string payload = "r 2 c ";
    payload.append(241 - payload.size(), 'p');  // dwLength 257
    Answer(2, 300, payload);
    Answer(2, 300, "");  // a header alone

    EXPECT_EQ(Read1(300, 2, 0, 256), -3);
    std::string expected = kLongerPrefix + "257";
    EXPECT_EQ(Out(expected.size() + 1), expected + '\0');
    EXPECT_TRUE(All(expected.size(), 256, '\0'));
    EXPECT_TRUE(
        LogHas("---ReturnUserRequestResult1---error12---从注册/登录服务器得到的包太长或太短,"
               "dwLength=257,iType=300"));

    EXPECT_EQ(Read1(300, 2, 0, 256), -3);
    EXPECT_EQ(Text(), kLongerPrefix + "16");

    EXPECT_EQ(Read1(300, 2, 0, 256), 0);
    EXPECT_EQ(Out(29), kTimeout);
    QueueView queue = Recv(2);
    EXPECT_EQ(queue.Pending(), 0);
    EXPECT_EQ(queue.iCount, 1);  // the consumed tail stays listed
}

TEST_F(Retrieve, AnswerOfThreeFieldsIsRefusedAndConsumed) {
    Answer(3, 300, "r 3 c");
    EXPECT_EQ(Read1(300, 3), -4);
    EXPECT_EQ(Out(32), kFormat);
    EXPECT_TRUE(
        LogHas("---ReturnUserRequestResult1---error13---从注册/"
               "登录服务器得到的包格式错误,dwLength=21,ac1=3"));
    EXPECT_EQ(Read1(300, 3), 0);
    EXPECT_EQ(Recv(3).Pending(), 0);
}

TEST_F(Retrieve, RequestedTypeOutside200To600IsRefused) {
    Answer(4, 601, "r 4 c d");
    Answer(4, 199, "r 4 c d");
    EXPECT_EQ(Read1(601, 4), -4);
    EXPECT_EQ(Read1(199, 4), -4);
    EXPECT_EQ(Read1(601, 4), 0);
    EXPECT_EQ(Read1(600, 4), 0);
    // The bounds themselves are handed out.
    Answer(4, 600, "r 4 highest d");
    Answer(4, 200, "r 4 lowest d");
    EXPECT_EQ(Read1(600, 4), 4);
    EXPECT_EQ(Text(), "r 4 highest d");
    EXPECT_EQ(Read1(200, 4), 4);
    EXPECT_EQ(Text(), "r 4 lowest d");
}

TEST_F(Retrieve, OldestOfTheTypeFirstAndOtherTypesStay) {
    Answer(5, 300, "r 5 first x");
    Answer(5, 301, "r 5 other x");
    Answer(5, 300, "r 5 second x y");
    EXPECT_EQ(Read1(300, 5), 4);
    EXPECT_EQ(Text(), "r 5 first x");
    EXPECT_EQ(Read1(300, 5), 5);
    EXPECT_EQ(Text(), "r 5 second x y");
    EXPECT_EQ(Read1(300, 5), 0);
    EXPECT_EQ(Read1(301, 5), 4);
    EXPECT_EQ(Text(), "r 5 other x");
    // Only the receive queue of the asked identifier is read.
    Answer(6, 300, "r 6 c d");
    EXPECT_EQ(Read1(300, 5), 0);
    EXPECT_EQ(Read1(300, -5), 0);
    Answer(-5, 300, "r -5 c d");
    EXPECT_EQ(Read1(300, -5), 4);
    EXPECT_TRUE(InspectQueue(Engine().queues, "recv+-5").bExists);
}

TEST_F(Retrieve, PayloadIsCopiedFromThePacketNotFromTheSplitCopy) {
    // The count covers the text before the zero; the copy is every byte.
    std::string payload("r 7  x y\0tail z", 15);
    Answer(7, 300, payload);
    EXPECT_EQ(Read1(300, 7), 4);
    EXPECT_EQ(Out(15), payload);
    EXPECT_EQ(out_[15], '\0');
}

// A node consumed as the tail stays listed until something follows it; a
// later pass, taking something or not, unlinks consumed nodes it meets,
// through their predecessor when they are not the head.
TEST_F(Retrieve, TailRuleAcrossConsumeAndAppend) {
    Answer(8, 300, "r 8 a x");
    EXPECT_EQ(Read1(300, 8), 4);
    QueueView queue = Recv(8);
    ASSERT_EQ(queue.nodes.size(), 1u);
    EXPECT_EQ(queue.iCount, 1);
    EXPECT_EQ(queue.nodes[0].iDone, 1);
    EXPECT_TRUE(queue.bTailIsLast);

    Answer(8, 300, "r 8 b x");
    queue = Recv(8);
    ASSERT_EQ(queue.nodes.size(), 2u);
    EXPECT_EQ(queue.iCount, 2);
    EXPECT_EQ(queue.nodes[1].payload, "r 8 b x");

    EXPECT_EQ(Read1(300, 8), 4);
    EXPECT_EQ(Text(), "r 8 b x");
    queue = Recv(8);
    ASSERT_EQ(queue.nodes.size(), 1u);
    EXPECT_EQ(queue.iCount, 1);
    EXPECT_EQ(queue.nodes[0].payload, "r 8 b x");
    EXPECT_EQ(queue.nodes[0].iDone, 1);

    // [b done] + other pending + c: take c (the tail), then append d.
    Answer(8, 301, "r 8 other x");
    Answer(8, 300, "r 8 c x");
    EXPECT_EQ(Read1(300, 8), 4);
    EXPECT_EQ(Text(), "r 8 c x");
    Answer(8, 300, "r 8 d x");
    queue = Recv(8);
    ASSERT_EQ(queue.nodes.size(), 3u);  // b unlinked as the head, c kept as the tail
    EXPECT_EQ(queue.nodes[0].payload, "r 8 other x");
    EXPECT_EQ(queue.nodes[1].iDone, 1);
    // A pass that takes nothing still unlinks c behind its predecessor.
    EXPECT_EQ(Read1(302, 8), 0);
    queue = Recv(8);
    ASSERT_EQ(queue.nodes.size(), 2u);
    EXPECT_EQ(queue.iCount, 2);
    EXPECT_EQ(queue.nodes[0].payload, "r 8 other x");
    EXPECT_EQ(queue.nodes[1].payload, "r 8 d x");
    EXPECT_TRUE(queue.bTailIsLast);
    EXPECT_EQ(Read1(300, 8), 4);
    EXPECT_EQ(Read1(301, 8), 4);
    queue = Recv(8);
    ASSERT_EQ(queue.nodes.size(), 1u);
    EXPECT_EQ(queue.nodes[0].payload, "r 8 d x");
    EXPECT_EQ(queue.iCount, 1);
}

TEST_F(Retrieve, EveryLookStampsTheQueue) {
    Answer(9, 301, "r 9 c d");
    ASSERT_TRUE(testutil::SetQueueLastUse(Engine().queues, "recv+9", 0));
    int32_t tBefore = platform::NowSeconds32();
    EXPECT_EQ(Read1(300, 9), 0);
    int32_t tAfter = platform::NowSeconds32();
    QueueView queue = Recv(9);
    EXPECT_GE(queue.tLastUse, tBefore);
    EXPECT_LE(queue.tLastUse, tAfter);
    // A reader never makes a queue.
    EXPECT_EQ(Read1(300, 10), 0);
    EXPECT_FALSE(Recv(10).bExists);
}

TEST_F(Retrieve, TraceLineOnlyWithTheVerboseSwitch) {
    Answer(11, 300, "r 11 c d");
    Answer(11, 300, "r 11 c");
    Answer(0, 450, "p 0 c\r\n[2026-01-01 00:00:00] forged");
    EXPECT_EQ(Read1(300, 11), 4);
    EXPECT_TRUE(LogLines().empty());
    Engine().iLogFlag = 1;
    EXPECT_EQ(Read1(300, 11), -4);
    int iType = 0;
    EXPECT_EQ(Read2(&iType), 5);
    EXPECT_EQ(Read1(300, 11), 0);  // a time-out is not traced
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1],
              "返回给WebServices请求结果[iType=300,iLength=31]:---error---服务端返回的格式错误");
    // The server's text with its control bytes escaped: no line of its own.
    EXPECT_EQ(lines[2],
              "返回给WebServices请求结果[iType=450,iLength=35]:p 0 c\\x0D\\x0A[2026-01-01 "
              "00:00:00] forged");
}

// ---- the logon test -------------------------------------------------------------

TEST_F(Retrieve, NotLoggedOnOnlyTypes2And16And202Wait) {
    UseAdapters(platform::kErrorNoData, 0, {});
    Engine().logon.iUserStatus1 = 0;
    Answer(12, 202, "r 12 logon 0");
    Answer(12, 300, "r 12 c d");

    EXPECT_EQ(Read1(202, 12), 4);
    EXPECT_EQ(Read1(2, 12), 0);
    EXPECT_EQ(Read1(16, 12), 0);
    EXPECT_TRUE(LogLines().empty());

    EXPECT_EQ(Read1(300, 12, 5), -2);
    EXPECT_TRUE(All(0, 1024, '\0'));
    EXPECT_EQ(
        LogLines(),
        (std::vector<std::string>{"---ReturnUserRequestResult1---iUserStatus1=0, iType=300"}));
    EXPECT_EQ(Recv(12).Pending(), 1);

    Engine().logon.iUserStatus1 = 2;
    EXPECT_EQ(Read1(300, 12), -2);
    EXPECT_TRUE(LogHas("---ReturnUserRequestResult1---iUserStatus1=2, iType=300"));
}

TEST_F(Retrieve, CheckNetworkStateOutcomes) {
    struct Case {
        AdapterScript script;
        int iExpected;
    };
    const Case cases[] = {
        {{platform::kErrorBufferOverflow, 0, {"0.0.0.0", "0.0.0.0"}}, -1},  // no address
        {{platform::kErrorBufferOverflow, 0, {"0.0.0.0", "10.1.2.3"}}, -9},
        {{platform::kErrorBufferOverflow, 0, {"192.168.0.7"}}, -9},
        {{platform::kErrorNoData, 0, {}}, -2},
        {{platform::kErrorBufferOverflow, platform::kErrorNoData, {"1.2.3.4"}}, -2},
        {{87, 0, {"1.2.3.4"}}, -3},  // the size query failed
        {{platform::kErrorBufferOverflow, 31, {"1.2.3.4"}}, -3},
        {{platform::kErrorBufferOverflow, platform::kErrorBufferOverflow, {"1.2.3.4"}}, -3},
        {{platform::kErrorSuccess, 0, {}}, -9},  // an empty buffer was enough
    };
    for (const Case& c : cases) {
        UseAdapters(c.script.dwFirst, c.script.dwSecond, c.script.addresses);
        EXPECT_EQ(CheckNetworkState(), c.iExpected) << c.script.dwFirst << "/" << c.script.dwSecond
                                                    << " adapters " << c.script.addresses.size();
    }
    // Through the reader.
    Engine().logon.iUserStatus1 = 0;
    UseAdapters(platform::kErrorBufferOverflow, 0, {"0.0.0.0"});
    EXPECT_EQ(Read1(300, 1), -1);
    UseAdapters(platform::kErrorBufferOverflow, 0, {"8.8.4.4"});
    EXPECT_EQ(Read1(300, 1), -9);
}

TEST_F(Retrieve, LogonLostWhileWaitingEndsTheCall) {
    UseAdapters(platform::kErrorBufferOverflow, 0, {"0.0.0.0"});
    std::atomic<int> iResult{1};
    std::vector<char> buffer(1024, kSentinel);
    std::thread reader([&] { iResult = Read_Message1(300, buffer.data(), 1024, 600, 13); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(iResult.load(), 1) << "the reader should still be waiting";
    Engine().logon.iUserStatus1 = 2;
    reader.join();
    EXPECT_EQ(iResult.load(), -1);
    EXPECT_TRUE(LogHas("---ReturnUserRequestResult1---iUserStatus1=2, iType=300"));
    for (char c : buffer) ASSERT_EQ(c, '\0');
}

TEST_F(Retrieve, Read2LogonTestOnlyForALostLogon) {
    Answer(0, 400, "p 0 c d");
    int iType = -1;
    for (int iStatus : {0, 1, 2}) {
        Engine().logon.iUserStatus1 = iStatus;
        Engine().logon.iLoginFlag = iStatus == 2 ? 0 : 1;
        EXPECT_EQ(Read2(&iType), iStatus == 0 ? 4 : 0) << iStatus;
    }
    EXPECT_TRUE(LogLines().empty());
    Answer(0, 400, "p 0 c d");
    Engine().logon.iLoginFlag = 1;
    EXPECT_EQ(Read2(&iType), -9);
    EXPECT_EQ(iType, 0);
    EXPECT_TRUE(All(0, 1024, '\0'));
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"---ReturnUserRequestResult1---iUserStatus1=2, iType=0"}));
    EXPECT_EQ(Recv(0).Pending(), 1);

    // Lost while waiting.
    Engine().logon.iUserStatus1 = 1;
    ASSERT_EQ(Read2(&iType), 4);
    std::atomic<int> iResult{1};
    std::vector<char> buffer(1024);
    std::thread reader([&] {
        int iTaken = 0;
        iResult = Read_Message2(&iTaken, buffer.data(), 1024, 600, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(iResult.load(), 1);
    Engine().logon.iUserStatus1 = 2;
    reader.join();
    EXPECT_EQ(iResult.load(), -9);
}

// ---- Read_Message2 -----------------------------------------------------------

TEST_F(Retrieve, Read2PassesOverTypesBelow400) {
    Answer(0, 300, "r 0 c d");
    int iType = -1;
    EXPECT_EQ(Read2(&iType), 0);
    EXPECT_EQ(iType, 0);
    EXPECT_EQ(Out(29), kTimeout);

    Answer(0, 399, "r 0 c d");
    Answer(0, -25536, "r 0 c d");  // 40000 on the wire: negative as a 16-bit type
    Answer(0, 400, "p 0 first d");
    Answer(0, 32767, "p 0 high d");
    EXPECT_EQ(Read2(&iType, 0, 1024, 77), 4);  // iReserved chooses nothing
    EXPECT_EQ(iType, 400);
    EXPECT_EQ(Text(), "p 0 first d");
    EXPECT_EQ(Read2(&iType), -4);  // taken, then refused: outside 200..600
    EXPECT_EQ(iType, 32767);
    EXPECT_EQ(Out(32), kFormat);
    EXPECT_TRUE(
        LogHas("---ReturnUserRequestResultEx---error13---从注册/登录服务器得到的包格式错误,"
               "dwLength=26,ac1=4"));
    EXPECT_EQ(Read2(&iType), 0);
    EXPECT_EQ(iType, 0);
    EXPECT_EQ(Recv(0).Pending(), 3);

    // What Read_Message2 leaves, Read_Message1 with identifier 0 takes.
    EXPECT_EQ(Read1(300, 0), 4);
    EXPECT_EQ(Read1(399, 0), 4);
    EXPECT_EQ(Read1(-25536, 0), -4);
    EXPECT_EQ(Recv(0).Pending(), 0);
}

TEST_F(Retrieve, Read2RefusalsStillReportTheType) {
    std::string payload = "p 0 c ";
    payload.append(241 - payload.size(), 'p');
    Answer(0, 500, payload);
    Answer(0, 401, "p 0 c");
    int iType = 0;
    EXPECT_EQ(Read2(&iType, 0, 256), -3);
    EXPECT_EQ(iType, 500);
    EXPECT_EQ(Text(), kLongerPrefix + "257");
    EXPECT_TRUE(
        LogHas("---ReturnUserRequestResultEx---error12---从注册/登录服务器得到的包太长或太短,"
               "dwLength=257,iType=500"));
    EXPECT_EQ(Read2(&iType), -4);
    EXPECT_EQ(iType, 401);
    EXPECT_TRUE(
        LogHas("---ReturnUserRequestResultEx---error13---从注册/登录服务器得到的包格式错误,"
               "dwLength=21,ac1=3"));
    EXPECT_EQ(Read2(&iType), 0);
    EXPECT_EQ(iType, 0);
    // A null piType is tolerated.
    Answer(0, 402, "p 0 c d");
    PrepareBuffer(1024);
    EXPECT_EQ(Read_Message2(nullptr, out_.data(), 1024, 0, 0), 4);
}

// ---- the clock --------------------------------------------------------------------

TEST_F(Retrieve, TimeoutZeroOrBelowMakesOneLookWithoutSleeping) {
    UseClockScale(1);
    for (int iTimeout : {0, -1, -100}) {
        int64_t iStart = Clock().ElapsedMs();
        EXPECT_EQ(Read1(300, 14, iTimeout), 0);
        EXPECT_LT(Clock().ElapsedMs() - iStart, 50) << iTimeout;
        EXPECT_EQ(Out(29), kTimeout);
        EXPECT_TRUE(All(29, 1024, '\0'));
        int iType = -1;
        EXPECT_EQ(Read2(&iType, iTimeout), 0);
        EXPECT_EQ(iType, 0);
    }
    Answer(14, 300, "r 14 c d");
    EXPECT_EQ(Read1(300, 14, 0), 4);
}

TEST_F(Retrieve, TimeoutRunsOnTheWholeSecondClock) {
    // Real time: the clock starts on a whole second and moves by hand here;
    // the test ends well inside the first real second.
    UseClockScale(1);
    std::atomic<int> iResult{1};
    std::vector<char> buffer(1024);
    std::thread reader([&] { iResult = Read_Message1(202, buffer.data(), 1024, 2, 15); });
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(iResult.load(), 1);
    Clock().AdvanceSeconds(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_EQ(iResult.load(), 1) << "one second of two passed";
    Clock().AdvanceSeconds(1);
    reader.join();
    EXPECT_EQ(iResult.load(), 0);
    EXPECT_LT(Clock().ElapsedMs(), 2900);
}

TEST_F(Retrieve, ReadersLookEvery50Ms) {
    // A second without an answer: a look at once, then one after each of
    // twenty sleeps of 50 ms.
    const std::vector<uint32_t> kTwentyLooks(20, 50);
    EXPECT_EQ(SleepsDuring([&] { EXPECT_EQ(Read1(300, 19, 1), 0); }), kTwentyLooks);
    int iType = -1;
    EXPECT_EQ(SleepsDuring([&] { EXPECT_EQ(Read2(&iType, 1), 0); }), kTwentyLooks);
}

TEST_F(Retrieve, TimeoutOfSecondsOnAFastClock) {
    UseClockScale(100);
    int64_t iStart = Clock().ElapsedMs();
    EXPECT_EQ(Read1(300, 16, 3), 0);
    int64_t iElapsed = Clock().ElapsedMs() - iStart;
    EXPECT_GT(iElapsed, 2000);
    EXPECT_LT(iElapsed, 5000);
}

TEST_F(Retrieve, AnswerArrivingWhileWaitingIsTaken) {
    std::atomic<int> iResult{1};
    std::vector<char> buffer(1024);
    std::thread reader([&] { iResult = Read_Message1(300, buffer.data(), 1024, 600, 17); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Answer(17, 300, "r 17 late answer");
    reader.join();
    EXPECT_EQ(iResult.load(), 4);
    EXPECT_STREQ(buffer.data(), "r 17 late answer");
}

// In the prompt mode a waiting reader is woken by the answers published,
// with no time passing on the clock, and by the unload.
TEST_F(Retrieve, InThePromptModeAnswersAndTheUnloadWakeAWaitingReader) {
    UseManualClock();
    Clock().HoldWaits(true);
    std::atomic<int> iResult{1};
    std::vector<char> buffer(1024);
    // Without the mode a reader only sleeps between its looks: a hold on the
    // waits on events does not stop it.
    std::thread looking([&] { iResult = Read_Message1(300, buffer.data(), 1024, 1, 16); });
    bool bSlept = testutil::WaitReal([&] { return iResult.load() != 1; }, 5000);
    if (!bSlept) Clock().HoldWaits(false);
    looking.join();
    EXPECT_TRUE(bSlept) << "the reader waited on an event";
    EXPECT_EQ(iResult.load(), 0);
    Clock().HoldWaits(true);

    Engine().iPromptMode = 1;
    iResult = 1;
    std::thread reader([&] { iResult = Read_Message1(300, buffer.data(), 1024, 600, 17); });
    ASSERT_TRUE(testutil::WaitReal([this] { return Clock().HeldWaits() == 1; }, 5000));
    int64_t iStart = Clock().ElapsedMs();
    Answer(17, 300, "r 17 late answer");
    bool bWoken = testutil::WaitReal([&] { return iResult.load() != 1; }, 5000);
    if (!bWoken) Clock().HoldWaits(false);
    reader.join();
    EXPECT_TRUE(bWoken) << "not woken by its answer";
    EXPECT_EQ(iResult.load(), 4);
    EXPECT_EQ(Clock().ElapsedMs(), iStart);
    Clock().HoldWaits(true);

    iResult = 1;
    std::thread waiting([&] { iResult = Read_Message1(300, buffer.data(), 1024, 600, 18); });
    ASSERT_TRUE(testutil::WaitReal([this] { return Clock().HeldWaits() == 1; }, 5000));
    std::thread unload([] { DestroyAllEngines(); });
    EXPECT_TRUE(testutil::WaitReal([&] { return iResult.load() != 1; }, 5000));
    Clock().HoldWaits(false);  // the unload's own waits
    waiting.join();
    unload.join();
    EXPECT_EQ(iResult.load(), 0);
}

TEST_F(Retrieve, TwoReadersTakeDifferentAnswers) {
    Answer(18, 300, "r 18 one x");
    Answer(18, 300, "r 18 two x");
    std::vector<std::string> texts(2);
    std::vector<int> results(2);
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&, i] {
            std::vector<char> buffer(1024);
            results[i] = Read_Message1(300, buffer.data(), 1024, 60, 18);
            texts[i] = buffer.data();
        });
    }
    for (auto& t : readers) t.join();
    EXPECT_EQ(results, (std::vector<int>{4, 4}));
    EXPECT_EQ(std::set<std::string>(texts.begin(), texts.end()),
              (std::set<std::string>{"r 18 one x", "r 18 two x"}));
}

}  // namespace
