// The benchmark's own parts (bench/): the raw client that the library is set
// against, and the figures read from /proc. A baseline that framed, encoded
// or counted wrongly, or figures that looked at the wrong threads, would
// make every comparison of the benchmark wrong without a failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/packet.h"
#include "bench/process_figures.h"
#include "bench/raw_client.h"
#include "server/reference_server.h"

namespace {

using bench::PacketFramer;
using bench::RawClient;

void Feed(PacketFramer& framer, const std::string& bytes) {
    char* pRoom = nullptr;
    size_t iRoom = framer.Room(bytes.size(), &pRoom);
    ASSERT_GE(iRoom, bytes.size());
    std::memcpy(pRoom, bytes.data(), bytes.size());
    framer.Commit(bytes.size());
}

std::vector<std::string> TakeAll(PacketFramer& framer) {
    std::vector<std::string> packets;
    const char* pPacket = nullptr;
    uint32_t dwLength = 0;
    while (framer.Next(&pPacket, &dwLength) == 1) packets.emplace_back(pPacket, dwLength);
    return packets;
}

TEST(BenchFramer, PacketsCutAtEveryByteComeOutWholeAndInOrder) {
    std::string stream = refserver::MakePacket(300, "300 1 ok 1 a") +
                         refserver::MakePacket(202, "202 1 player 0 welcome") +
                         refserver::MakePacket(300, std::string(300, 'y'));
    for (size_t iCut = 1; iCut < stream.size(); ++iCut) {
        PacketFramer framer;
        Feed(framer, stream.substr(0, iCut));
        std::vector<std::string> packets = TakeAll(framer);
        Feed(framer, stream.substr(iCut));
        for (const std::string& packet : TakeAll(framer)) packets.push_back(packet);
        ASSERT_EQ(packets.size(), 3u) << "cut at " << iCut;
        EXPECT_EQ(packets[0] + packets[1] + packets[2], stream) << "cut at " << iCut;
        EXPECT_EQ(framer.Buffered(), 0u);
    }
}

TEST(BenchFramer, PacketOneByteShortWaitsAndALargeOneGrowsTheBuffer) {
    std::string large = refserver::MakePacket(300, std::string(200000 / 4, 'y'));
    PacketFramer framer;
    Feed(framer, refserver::MakePacket(300, "300 1 ok 1 a"));
    ASSERT_EQ(TakeAll(framer).size(), 1u);
    Feed(framer, large.substr(0, large.size() - 1));
    const char* pPacket = nullptr;
    uint32_t dwLength = 0;
    EXPECT_EQ(framer.Next(&pPacket, &dwLength), 0);
    Feed(framer, large.substr(large.size() - 1));
    ASSERT_EQ(framer.Next(&pPacket, &dwLength), 1);
    EXPECT_EQ(std::string(pPacket, dwLength), large);
}

TEST(BenchFramer, LengthsOutsideTheProtocolAreRefusedAndItsLargestTaken) {
    std::string largest = refserver::MakePacket(300, std::string(kMaxPacketLength - 16, 'z'));
    PacketFramer framer;
    Feed(framer, largest);
    const char* pPacket = nullptr;
    uint32_t dwLength = 0;
    EXPECT_EQ(framer.Next(&pPacket, &dwLength), 1);
    EXPECT_EQ(dwLength, kMaxPacketLength);

    for (uint32_t dwBad : {15u, kMaxPacketLength + 1}) {
        PacketFramer bad;
        std::string header = refserver::MakePacket(300, "");
        std::memcpy(&header[0], &dwBad, 4);
        Feed(bad, header);
        EXPECT_EQ(bad.Next(&pPacket, &dwLength), -1) << dwBad;
    }
    // Three bytes say nothing yet.
    PacketFramer partial;
    Feed(partial, std::string("\x20\x00\x00", 3));
    EXPECT_EQ(partial.Next(&pPacket, &dwLength), 0);
}

TEST(BenchFramer, FieldsAreCountedAsTheLibraryCountsThem) {
    int iId = -1;
    EXPECT_EQ(bench::CountAnswerFields("300 12 ok 7", 11, &iId), 4);
    EXPECT_EQ(iId, 12);
    const char szSpaces[] = "  300   5  ok  7  ";
    EXPECT_EQ(bench::CountAnswerFields(szSpaces, sizeof(szSpaces) - 1, &iId), 4);
    EXPECT_EQ(iId, 5);
    // The text ends at a NUL inside the payload.
    const char szNul[] = "300 9 ok\0 7 8";
    EXPECT_EQ(bench::CountAnswerFields(szNul, sizeof(szNul) - 1, &iId), 3);
    EXPECT_EQ(bench::CountAnswerFields("300", 3, &iId), 1);
    EXPECT_EQ(iId, 0);
}

class RawClientTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.Start()); }

    std::vector<refserver::ReceivedPacket> RequestsOfType(int iType) {
        std::vector<refserver::ReceivedPacket> found;
        for (const auto& packet : server_.Received())
            if (packet.iType == iType) found.push_back(packet);
        return found;
    }

    refserver::ReferenceServer server_;
};

TEST_F(RawClientTest, KeyExchangeThenEncodedRequestsTheServerDecodes) {
    RawClient client(server_.Port());
    ASSERT_TRUE(client.Connect()) << client.Error();
    ASSERT_TRUE(client.LogOn(1, "player", "secret")) << client.Error();
    ASSERT_TRUE(client.SendRequest(300, "300 12 bench 5"));
    char szAnswer[4096];
    EXPECT_EQ(client.ReadAnswer(300, 12, szAnswer, sizeof(szAnswer)), 6);
    EXPECT_EQ(std::string(szAnswer).substr(0, 9), "300 12 ok");
    EXPECT_EQ(std::string(szAnswer).substr(std::strlen(szAnswer) - 8), " bench 5");

    std::vector<refserver::ReceivedPacket> received = server_.Received();
    ASSERT_GE(received.size(), 3u);
    EXPECT_EQ(received[0].raw, std::string("\x10\0\0\0\0\0\0\0\x6B\0\0\0\x7E\0\0\0", 16));
    for (const auto& packet : received) {
        if (packet.iType < 200) continue;
        EXPECT_TRUE(packet.bEncoded && packet.bDecoded) << packet.text;
    }
    EXPECT_EQ(RequestsOfType(300).at(0).text, "300 12 bench 5");
}

TEST_F(RawClientTest, RefusedLogOnIsNoLogOn) {
    RawClient client(server_.Port());
    ASSERT_TRUE(client.Connect());
    EXPECT_FALSE(client.LogOn(1, "player", "guess"));
    EXPECT_TRUE(client.LogOn(1, "player", "secret"));
}

TEST_F(RawClientTest, PipelinedRequestsInOneSendAnsweredInOrder) {
    RawClient client(server_.Port());
    ASSERT_TRUE(client.Connect());
    const int kCount = 2000;
    std::string batch;
    for (int k = 0; k < kCount; ++k) {
        std::string text = "300 13 bench " + std::to_string(k);
        client.AppendRequest(300, text.data(), text.size(), &batch);
    }
    std::thread writer([&] { EXPECT_TRUE(client.SendAll(batch.data(), batch.size())); });
    char szAnswer[4096];
    for (int k = 0; k < kCount; ++k) {
        ASSERT_EQ(client.ReadAnswer(300, 13, szAnswer, sizeof(szAnswer)), 6) << k;
        std::string tail = " bench " + std::to_string(k);
        ASSERT_EQ(std::string(szAnswer).substr(std::strlen(szAnswer) - tail.size()), tail);
    }
    writer.join();
    EXPECT_EQ(client.Skipped(), 0);
}

// Encoded up to 7,664 bytes of text, which fill the 10,224-byte encoding
// area; plain from 7,665 on, as the library sends them.
TEST_F(RawClientTest, RequestsGoEncodedUpToTheEncodingAreaAndPlainPastIt) {
    RawClient client(server_.Port());
    ASSERT_TRUE(client.Connect());
    const std::string head = "300 4 long ";
    std::string fits = head + std::string(7664 - head.size(), 'q');
    std::string beyond = head + std::string(7665 - head.size(), 'q');
    char szAnswer[16384];
    for (const std::string& text : {fits, beyond}) {
        ASSERT_TRUE(client.SendRequest(300, text));
        EXPECT_EQ(client.ReadAnswer(300, 4, szAnswer, sizeof(szAnswer)), 6);
    }
    std::vector<refserver::ReceivedPacket> requests = RequestsOfType(300);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].bEncoded && requests[0].bDecoded);
    EXPECT_EQ(requests[0].dwLength, 16u + 10224u);
    EXPECT_EQ(requests[0].text, fits);
    EXPECT_FALSE(requests[1].bEncoded);
    EXPECT_EQ(requests[1].text, beyond);
    EXPECT_EQ(requests[1].dwLength, 16 + beyond.size());
}

TEST_F(RawClientTest, AnswersOfOtherTypesOrIdentifiersAreSkipped) {
    RawClient client(server_.Port());
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.SendRequest(301, "301 3 first"));
    ASSERT_TRUE(client.SendRequest(300, "300 4 second"));
    ASSERT_TRUE(client.SendRequest(300, "300 3 third"));
    char szAnswer[4096];
    EXPECT_EQ(client.ReadAnswer(300, 3, szAnswer, sizeof(szAnswer)), 5);
    EXPECT_NE(std::strstr(szAnswer, "third"), nullptr);
    EXPECT_EQ(client.Skipped(), 2);
}

TEST_F(RawClientTest, DropAndDisconnectEndTheReadAndReconnectWorks) {
    RawClient client(server_.Port());
    ASSERT_TRUE(client.Connect());
    char szAnswer[4096];
    server_.DropConnections();
    EXPECT_EQ(client.ReadAnswer(300, 1, szAnswer, sizeof(szAnswer)), 0);
    ASSERT_TRUE(client.Connect()) << client.Error();
    ASSERT_TRUE(server_.WaitUntil([this] { return server_.LiveConnections() == 1; }, 5000));
    server_.SendDisconnect();
    EXPECT_EQ(client.ReadAnswer(300, 1, szAnswer, sizeof(szAnswer)), 0);
    EXPECT_EQ(client.Error(), "the disconnect notice");
    ASSERT_TRUE(client.Connect());
    EXPECT_TRUE(client.LogOn(1, "player", "secret"));
}

TEST_F(RawClientTest, BytesThatAreNoPacketAreAnError) {
    RawClient client(server_.Port());
    ASSERT_TRUE(client.Connect());
    server_.SetFault(refserver::Fault::kGarbage);
    ASSERT_TRUE(client.SendRequest(300, "300 1 x"));
    char szAnswer[4096];
    EXPECT_EQ(client.ReadAnswer(300, 1, szAnswer, sizeof(szAnswer)), -1);
}

TEST_F(RawClientTest, IdleEndsFalseWhenTheServerDrops) {
    RawClient client(server_.Port());
    ASSERT_TRUE(client.Connect());
    std::thread dropper([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        server_.DropConnections();
    });
    EXPECT_FALSE(client.Idle(5000));
    dropper.join();
    // Nothing to do for a short idle on a live connection, and no keep-alive
    // before 20 s.
    ASSERT_TRUE(client.Connect());
    size_t iBefore = server_.Received().size();
    EXPECT_TRUE(client.Idle(200));
    EXPECT_EQ(server_.Received().size(), iBefore);
}

// ---- /proc figures ---------------------------------------------------------------

TEST(BenchFigures, ForeignThreadsAreThoseNotRegistered) {
    bench::OwnThread own;
    std::atomic<pid_t> foreign{0}, registered{0};
    std::atomic<bool> bStop{false};
    std::thread a([&] {
        foreign = bench::CurrentTid();
        // Work and waits that the figures must see.
        while (!bStop) {
            for (volatile int i = 0; i < 100000; ++i) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread b([&] {
        bench::OwnThread ownToo;
        registered = bench::CurrentTid();
        while (!bStop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (foreign == 0 || registered == 0) std::this_thread::yield();
    std::map<pid_t, bench::TaskCost> before = bench::ForeignTaskCosts();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::map<pid_t, bench::TaskCost> after = bench::ForeignTaskCosts();
    bStop = true;
    a.join();
    b.join();
    EXPECT_EQ(after.count(foreign), 1u);
    EXPECT_EQ(after.count(registered), 0u);
    EXPECT_EQ(after.count(bench::CurrentTid()), 0u);
    bench::TaskCost cost = bench::CostBetween(before, after);
    EXPECT_GT(cost.iCpuNs, 0);
    EXPECT_GE(cost.iVoluntary, 10);  // about 100 sleeps
    // A thread that started after `before` counts from zero.
    std::map<pid_t, bench::TaskCost> beforeWithout = before;
    beforeWithout.erase(foreign);
    EXPECT_EQ(bench::CostBetween(beforeWithout, after).iVoluntary - cost.iVoluntary,
              before.at(foreign).iVoluntary);
}

TEST(BenchFigures, BlockedSystemCallAndDescriptorsAreSeen) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int iFds = bench::OpenFds();
    std::atomic<pid_t> reader{0};
    std::thread t([&] {
        reader = bench::CurrentTid();
        char c;
        EXPECT_EQ(read(fds[0], &c, 1), 1);
    });
    while (reader == 0) std::this_thread::yield();
    bool bSeen = false;
    for (int i = 0; i < 200 && !bSeen; ++i) {
        bSeen = bench::InSystemCall(reader, SYS_read);
        if (!bSeen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(bSeen);
    EXPECT_FALSE(bench::InSystemCall(reader, SYS_write));
    EXPECT_EQ(write(fds[1], "x", 1), 1);
    t.join();
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(bench::OpenFds(), iFds - 2);
    EXPECT_GT(bench::ResidentKiB(), 0);
}

TEST_F(RawClientTest, UnreadBytesShowInTheClientsReceiveQueue) {
    EXPECT_EQ(bench::ClientReceiveQueue(server_.Port()), -1);  // no connection yet
    RawClient client(server_.Port());
    ASSERT_TRUE(client.Connect());
    server_.SendRaw(std::string(5000, 'u'));
    int64_t iQueue = 0;
    for (int i = 0; i < 200 && iQueue < 5000; ++i) {
        iQueue = bench::ClientReceiveQueue(server_.Port());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(iQueue, 5000);
}

}  // namespace
