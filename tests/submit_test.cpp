// Submitting requests: the bounds of length, type and fields, where a
// request is queued and in what shape, and failures that must leave nothing
// behind.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/testing.h"
#include "exchange/queue_table.h"
#include "platform/clock.h"
#include "support/testing.h"
#include "util/engine_fixture.h"
#include "vorel/vorel.h"

namespace {

using testutil::CountTable;
using testutil::InspectQueue;
using testutil::QueueView;
using testutil::SendKey;

class Submit : public testutil::EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        Engine();
        ClearLog();  // the constructor's word on the absent configuration
    }
    // Write_Message1 with the text's own length, or iLength when given.
    int Write(int iType, std::string text, int iLength = -1000) {
        Engine();
        if (iLength == -1000) iLength = static_cast<int>(text.size());
        return Write_Message1(iType, text.data(), iLength);
    }
    int RequestTotal() {
        KMutexAdaptor<KThreadMutex> guard(Engine().queues.CounterLockForTesting(), -1);
        return Engine().queues.RequestTotal();
    }
    QueueView Send(int iQueueId) {
        return InspectQueue(Engine().queues, SendKey(iQueueId).c_str());
    }
};

// A request text of exactly iLength bytes whose second field is 7.
std::string RequestOfLength(size_t iLength) {
    std::string text = "q 7 ";
    text.append(iLength - text.size(), 'x');
    return text;
}

TEST_F(Submit, LengthBoundsAt65520) {
    std::string longest = RequestOfLength(65520);
    EXPECT_EQ(Write(300, longest), 1);
    QueueView queue = Send(7);
    ASSERT_EQ(queue.nodes.size(), 1u);
    EXPECT_EQ(queue.nodes[0].dwLength, 65536u);
    EXPECT_EQ(queue.nodes[0].payload, longest);
    EXPECT_TRUE(queue.nodes[0].bTerminated);

    EXPECT_EQ(Write(300, RequestOfLength(65521)), -3);
    EXPECT_TRUE(LogHas("---ProcessUserRequest---error---1---iInputLength=65521"));
    EXPECT_EQ(Send(7).iCount, 1);
    EXPECT_EQ(RequestTotal(), 1);
}

TEST_F(Submit, NonPositiveLengthMeansUpToTheZero) {
    // Measured text: three fields, queued whole.
    EXPECT_EQ(Write(300, "a 3 c", 0), 1);
    EXPECT_EQ(Write(300, "a 3 dd", -5), 1);
    QueueView queue = Send(3);
    ASSERT_EQ(queue.nodes.size(), 2u);
    EXPECT_EQ(queue.nodes[0].payload, "a 3 c");
    EXPECT_EQ(queue.nodes[1].payload, "a 3 dd");

    // An empty text, and a null one, are refused for their length.
    EXPECT_EQ(Write(300, "", 0), -3);
    EXPECT_EQ(Write_Message1(300, nullptr, 0), -3);
    EXPECT_EQ(Write_Message1(300, nullptr, 12), -3);
    EXPECT_EQ(CountLogLines("---ProcessUserRequest---error---1---iInputLength=0"), 2);
    EXPECT_EQ(RequestTotal(), 2);
}

TEST_F(Submit, TypeBoundsWithTheirLogLines) {
    EXPECT_EQ(Write(200, "a 1 c"), 1);
    EXPECT_EQ(Write(399, "a 1 c"), 1);
    EXPECT_EQ(Write(199, "a 1 c"), -1);
    EXPECT_EQ(Write(400, "a 1 cc"), -1);
    EXPECT_EQ(Write(-300, "a 1 c"), -1);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "---ProcessUserRequest---error---2---iInputLength=5,iType=199",
                              "---ProcessUserRequest---error---2---iInputLength=6,iType=400",
                              "---ProcessUserRequest---error---2---iInputLength=5,iType=-300",
                          }));
    QueueView queue = Send(1);
    ASSERT_EQ(queue.nodes.size(), 2u);
    EXPECT_EQ(queue.nodes[0].iType, 200);
    EXPECT_EQ(queue.nodes[1].iType, 399);
}

TEST_F(Submit, TheSecondFieldChoosesTheQueue) {
    EXPECT_EQ(Write(300, "a 12 c"), 1);
    EXPECT_EQ(Write(300, "a -5 c"), 1);
    EXPECT_EQ(Write(300, "a abc c"), 1);      // no digits: 0
    EXPECT_EQ(Write(300, "a 8000x c"), 1);    // digits up to the first other character
    EXPECT_EQ(Write(300, "a  +9   c  "), 1);  // runs of spaces separate once
    EXPECT_EQ(Write(300, "a 99999999999 c"), 1);
    EXPECT_EQ(Write(300, "a \t\n\v\f\r31 c"), 1);  // white space before the digits
    EXPECT_EQ(Send(12).iCount, 1);
    EXPECT_EQ(Send(-5).iCount, 1);
    EXPECT_EQ(Send(0).iCount, 1);
    EXPECT_EQ(Send(8000).iCount, 1);
    EXPECT_EQ(Send(9).iCount, 1);
    EXPECT_EQ(InspectQueue(Engine().queues, "send+2147483647").iCount, 1);
    EXPECT_EQ(Send(31).iCount, 1);
    EXPECT_EQ(CountTable(Engine().queues).iWalked, 7);
}

TEST_F(Submit, FewerThanThreeFieldsAreRefused) {
    EXPECT_EQ(Write(300, "a 12"), -1);
    EXPECT_EQ(Write(300, "   a    12   "), -1);
    EXPECT_EQ(Write(300, "single"), -1);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "---ProcessUserRequest---error---3---ac1=2,iInputLength=4,iType=300",
                              "---ProcessUserRequest---error---3---ac1=2,iInputLength=13,iType=300",
                              "---ProcessUserRequest---error---3---ac1=1,iInputLength=6,iType=300",
                          }));
    EXPECT_FALSE(Send(12).bExists);
    EXPECT_EQ(RequestTotal(), 0);
}

TEST_F(Submit, BytesPastTheFirstZeroAreQueuedButNotSplit) {
    // Queued whole, zero and all; the key comes from the text before it.
    std::string text("a 9 c\0Z Z", 9);
    EXPECT_EQ(Write(300, text), 1);
    QueueView queue = Send(9);
    ASSERT_EQ(queue.nodes.size(), 1u);
    EXPECT_EQ(queue.nodes[0].payload, text);
    EXPECT_EQ(queue.nodes[0].dwLength, 16u + 9u);

    // Only two fields before the zero: refused, whatever follows it.
    EXPECT_EQ(Write(300, std::string("a 9\0 c d e", 10)), -1);
    EXPECT_TRUE(LogHas("---ProcessUserRequest---error---3---ac1=2,iInputLength=10,iType=300"));
    EXPECT_EQ(Send(9).iCount, 1);
}

TEST_F(Submit, QueuedRecordIsHeaderPayloadAndZero) {
    std::string text = "login 4 name pass";
    ASSERT_EQ(Write(201, text), 1);
    KMutexAdaptor<KThreadMutex> tableGuard(Engine().queues.LockForTesting(), -1);
    auto* pQueue =
        static_cast<MESSAGE_QUEUE*>(hash_lookup(Engine().queues.TableForTesting(), "send+4"));
    ASSERT_NE(pQueue, nullptr);
    KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
    ASSERT_NE(pQueue->pHead, nullptr);
    EXPECT_EQ(pQueue->pHead, pQueue->pTail);
    EXPECT_EQ(pQueue->iCount, 1);
    EXPECT_EQ(pQueue->pHead->iDone, 0);
    EXPECT_EQ(pQueue->pHead->pNext, nullptr);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pQueue->pHead->pPacket);
    const unsigned char expected[16] = {16 + 17, 0, 0, 0, 0, 0, 0, 0, 201, 0, 0, 0, 0x7E, 0, 0, 0};
    EXPECT_EQ(std::memcmp(p, expected, 16), 0);
    EXPECT_EQ(std::memcmp(p + 16, text.data(), text.size()), 0);
    EXPECT_EQ(p[16 + text.size()], 0);
}

TEST_F(Submit, RequestsKeepCallOrderAndStampTheirQueue) {
    Engine();
    ASSERT_TRUE(testutil::SetQueueLastUse(Engine().queues, "send+5", 0) == false);
    EXPECT_EQ(Write(300, "a 5 first"), 1);
    ASSERT_TRUE(testutil::SetQueueLastUse(Engine().queues, "send+5", 0));
    int32_t tBefore = platform::NowSeconds32();
    EXPECT_EQ(Write(301, "a 6 other"), 1);
    EXPECT_EQ(Write(302, "a 5 second"), 1);
    int32_t tAfter = platform::NowSeconds32();
    QueueView five = Send(5);
    ASSERT_EQ(five.nodes.size(), 2u);
    EXPECT_EQ(five.nodes[0].payload, "a 5 first");
    EXPECT_EQ(five.nodes[1].payload, "a 5 second");
    EXPECT_EQ(five.nodes[1].iType, 302);
    EXPECT_TRUE(five.bTailIsLast);
    EXPECT_GE(five.tLastUse, tBefore);
    EXPECT_LE(five.tLastUse, tAfter);
    EXPECT_EQ(Send(6).iCount, 1);
    EXPECT_EQ(RequestTotal(), 3);
}

TEST_F(Submit, TraceLineOnlyWithTheVerboseSwitch) {
    Engine();
    EXPECT_EQ(Write(300, "a 2 c"), 1);
    EXPECT_TRUE(LogLines().empty());
    Engine().iLogFlag = 1;
    // The trace comes before the type check and shows the text up to its zero.
    EXPECT_EQ(Write(450, std::string("a 2 c\0hidden", 12)), -1);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "从WebServices收到处理请求[iType=450,iInputLength=12]:a 2 c",
                              "",
                              "---ProcessUserRequest---error---2---iInputLength=12,iType=450",
                          }));
}

// GameRun.log goes to support: a log-on request's trace shows no password.
// The request itself is queued as the game wrote it.
TEST_F(Submit, TheTraceOfALogOnMasksThePassword) {
    Engine().iLogFlag = 1;
    EXPECT_EQ(Write(201, "201 1 player s3cr3t"), 1);
    EXPECT_EQ(Write(201, "201  2 player  pw extra"), 1);
    EXPECT_EQ(Write(201, "201 3 nameonly"), 1);
    EXPECT_EQ(Write(300, "300 4 player s3cr3t"), 1);  // not a log-on: shown as it is
    std::vector<std::string> traces;
    for (const std::string& line : LogLines())
        if (line.rfind("从WebServices", 0) == 0) traces.push_back(line);
    EXPECT_EQ(traces,
              (std::vector<std::string>{
                  "从WebServices收到处理请求[iType=201,iInputLength=19]:201 1 player ***",
                  "从WebServices收到处理请求[iType=201,iInputLength=23]:201  2 player  *** "
                  "extra",
                  "从WebServices收到处理请求[iType=201,iInputLength=14]:201 3 nameonly",
                  "从WebServices收到处理请求[iType=300,iInputLength=19]:300 4 player s3cr3t",
              }));
    EXPECT_EQ(Send(1).nodes.at(0).payload, "201 1 player s3cr3t");
}

TEST_F(Submit, AllocationFailuresLeaveNoTrace) {
    Engine();
    ASSERT_EQ(Write(300, "a 1 old"), 1);

    // The new queue itself.
    vorel_testing::FailAllocations(0, 1);
    EXPECT_EQ(Write(300, "a 2 c"), -4);
    EXPECT_FALSE(Send(2).bExists);
    EXPECT_TRUE(LogHas("---ProcessUserRequest---error---10---calloc-fail"));

    // The node, then the packet, of a queue that exists.
    vorel_testing::FailAllocations(0, 1);
    EXPECT_EQ(Write(300, "a 1 c"), -7);
    vorel_testing::FailAllocations(1, 1);
    EXPECT_EQ(Write(300, "a 1 cc"), -7);
    EXPECT_EQ(CountLogLines("---ProcessUserRequest---error---11---calloc-fail:22"), 1);
    EXPECT_EQ(CountLogLines("---ProcessUserRequest---error---11---calloc-fail:23"), 1);
    QueueView one = Send(1);
    ASSERT_EQ(one.nodes.size(), 1u);
    EXPECT_EQ(one.iCount, 1);
    EXPECT_EQ(one.nodes[0].payload, "a 1 old");

    EXPECT_EQ(CountTable(Engine().queues).iWalked, 1);
    EXPECT_EQ(CountTable(Engine().queues).iRecorded, 1);
    EXPECT_EQ(RequestTotal(), 1);

    // A table that could not be created (at start-up, or at a reset) is
    // made by the next request instead of refusing every one after it.
    _hash* pTable = Engine().queues.SwapTableForTesting(nullptr);
    EXPECT_EQ(Write(300, "a 3 c"), 1);
    EXPECT_TRUE(Send(3).bExists);
    EXPECT_FALSE(Send(1).bExists);  // the new table holds this request alone
    EXPECT_FALSE(LogHas("---ProcessUserRequest---error1---hash_add failed (MESSAGE_QUEUE_TABLE)"));
    free_hash(Engine().queues.SwapTableForTesting(pTable));
    EXPECT_EQ(RequestTotal(), 2);

    vorel_testing::FailAllocations(0, 0);
    EXPECT_EQ(Write(300, "a 2 c"), 1);
    EXPECT_EQ(Write(300, "a 1 c"), 1);
    EXPECT_EQ(RequestTotal(), 4);
    // A queue made that the table cannot take: refused with its line.
    static std::atomic<int> s_iFrees{0};
    vorel_testing::ObserveFrees([] { ++s_iFrees; });
    quorvex_testing::FailHashAdds(1);
    EXPECT_EQ(Write(300, "a 5 c"), -5);
    quorvex_testing::FailHashAdds(0);
    vorel_testing::ObserveFrees(nullptr);
    EXPECT_EQ(s_iFrees.load(), 1) << "the queue the table could not take stays allocated";
    EXPECT_TRUE(LogHas("---ProcessUserRequest---error1---hash_add failed (MESSAGE_QUEUE_TABLE)"));
    EXPECT_FALSE(Send(5).bExists);
    EXPECT_EQ(RequestTotal(), 4);
}

// A failed node for a new identifier happens after the queue was made; the
// queue stays, empty, as a queue that has never held a node.
TEST_F(Submit, FailedNodeForNewIdentifierKeepsAnEmptyQueue) {
    Engine();
    vorel_testing::FailAllocations(1, 1);
    EXPECT_EQ(Write(300, "a 8 c"), -7);
    QueueView queue = Send(8);
    EXPECT_TRUE(queue.bExists);
    EXPECT_EQ(queue.iCount, 0);
    EXPECT_TRUE(queue.nodes.empty());
    EXPECT_EQ(RequestTotal(), 0);
    EXPECT_EQ(Write(300, "a 8 c"), 1);
    EXPECT_EQ(Send(8).iCount, 1);
}

}  // namespace
