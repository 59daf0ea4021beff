// Whatever a server sends, the read step neither crashes nor reads or writes
// outside its buffers (the sanitizer builds watch), and what it stores keeps
// the queue's bounds. Seeded, so that a failure can be replayed.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "base/packet.h"
#include "exchange/queue_table.h"
#include "session/inbound.h"
#include "util/session_state_fixture.h"

namespace {

class SessionFuzz : public testutil::SessionStateFixture {
protected:
    void SetUp() override {
        SessionStateFixture::SetUp();
        for (int n = 0; n < 4; ++n) {
            ASSERT_EQ(Request(300, "300 " + std::to_string(n) + " ask"), 1);
        }
    }

    // A stream of packets, some well formed, some damaged in one place.
    std::string RandomStream(std::mt19937& random) {
        std::string stream;
        std::uniform_int_distribution<int> kind(0, 9);
        int iPackets = std::uniform_int_distribution<int>(1, 12)(random);
        for (int i = 0; i < iPackets; ++i) {
            std::string text = "300 " + std::to_string(random() % 6) + " f3";
            int iFields = static_cast<int>(random() % 6);
            for (int f = 0; f < iFields; ++f) text += " w" + std::to_string(random() % 1000);
            int iType = std::uniform_int_distribution<int>(0, 3)(random) == 0
                            ? static_cast<int>(random() % 700) - 50
                            : 300;
            std::string packet = Answer(iType, text);
            switch (kind(random)) {
                case 0:  // a random length
                    for (int b = 0; b < 4; ++b) packet[b] = static_cast<char>(random());
                    break;
                case 1:  // a random byte anywhere
                    packet[random() % packet.size()] = static_cast<char>(random());
                    break;
                case 2:  // cut short
                    packet.resize(random() % packet.size());
                    break;
                case 3:  // plain noise
                    packet = std::string(random() % 40, '\0');
                    for (char& c : packet) c = static_cast<char>(random());
                    break;
                case 4:  // a key answer with a random field
                    packet = Answer(107, std::string(random() % 60, 'k'));
                    break;
                default:
                    break;
            }
            stream += packet;
        }
        return stream;
    }
};

TEST_F(SessionFuzz, RandomStreamsInRandomPiecesKeepTheBounds) {
    std::mt19937 random(20261207);
    ClientEngine& engine = Engine();
    for (int iRound = 0; iRound < 3000; ++iRound) {
        std::string stream = RandomStream(random);
        size_t p = 0;
        while (p < stream.size()) {
            size_t iPiece = 1 + random() % 64;
            if (p + iPiece > stream.size()) iPiece = stream.size() - p;
            // Room as the read step computes it; a full buffer receives nothing.
            size_t iRoom = kReadBufferSize - static_cast<size_t>(State().framer.Kept());
            if (iPiece > iRoom) iPiece = iRoom;
            Feed(stream.substr(p, iPiece));
            p += iPiece;
            ASSERT_GE(State().framer.Kept(), 0);
            ASSERT_LE(State().framer.Kept(), static_cast<int>(kReadBufferSize));
            // A dropped connection empties the buffer; carry on as after a
            // reconnection.
            State().iConnectionGood = 1;
        }
        State().framer.Reset();
    }
    // Whatever was stored respects the bounds the readers rely on.
    KMutexAdaptor<KThreadMutex> guard(engine.queues.LockForTesting(), -1);
    int iStored = 0;
    ForEachQueue(engine.queues.TableForTesting(), [&iStored](MESSAGE_QUEUE* pQueue) {
        KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
        for (MESSAGE_NODE* pNode = pQueue->pHead; pNode != nullptr; pNode = pNode->pNext) {
            uint32_t dwLength = pNode->pPacket->header.dwLength;
            EXPECT_GE(dwLength, kMinPacketLength);
            EXPECT_LE(dwLength, kMaxPacketLength);
            if (std::strncmp(pQueue->szKey, "recv", 4) == 0) {
                int iType = pNode->pPacket->header.iType;
                EXPECT_TRUE(iType >= kAnswerTypeMin && iType <= kAnswerTypeMax) << iType;
                ++iStored;
            }
        }
        return QueueWalk::kNext;
    });
    EXPECT_GT(iStored, 0);               // the well-formed answers got through
    EXPECT_FALSE(ReConnects().empty());  // and the damaged ones dropped the connection
}

}  // namespace
