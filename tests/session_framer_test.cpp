// The framer alone: bytes in, packets or a verdict out, with no engine, no
// socket and no queue table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/packet.h"
#include "session/framer.h"

namespace {

// A packet of type iType with the payload, its length word as it should be.
std::string Packet(int iType, const std::string& payload) {
    std::string bytes(kPacketHeaderSize, '\0');
    FillPacketHeader(reinterpret_cast<PacketHeader*>(&bytes[0]), iType,
                     static_cast<uint32_t>(kPacketHeaderSize + payload.size()), 0, 0, 0);
    return bytes + payload;
}

// The bytes with their length word replaced.
std::string WithLength(std::string bytes, uint32_t dwLength) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(dwLength >> (8 * i));
    return bytes;
}

// What one round, or a run of rounds, handed out.
struct Cut {
    FrameResult result;
    int iType;
    int iPosition;
    std::string bytes;  // the packet's bytes (kPacket only)
    bool operator==(const Cut& other) const {
        return result == other.result && iType == other.iType && iPosition == other.iPosition &&
               bytes == other.bytes;
    }
};

std::ostream& operator<<(std::ostream& out, const Cut& cut) {
    return out << "{result " << static_cast<int>(cut.result) << ", type " << cut.iType << ", at "
               << cut.iPosition << ", " << cut.bytes.size() << " bytes}";
}

// A read buffer with the framer over it, driven as the read step drives it:
// every packet is consumed; a verdict ends the round and drops everything.
class Reader {
public:
    explicit Reader(size_t iCapacity = 1 << 17) : buffer_(iCapacity) {}

    // Receives the bytes behind the kept ones and runs one round.
    std::vector<Cut> Receive(const std::string& bytes) {
        EXPECT_LE(framer.Kept() + bytes.size(), buffer_.size());
        std::memcpy(buffer_.data() + framer.Kept(), bytes.data(), bytes.size());
        framer.Feed(buffer_.data(), static_cast<int>(bytes.size()));
        std::vector<Cut> cuts;
        FramedPacket packet;
        FrameResult result;
        while ((result = framer.Next(&packet)) == FrameResult::kPacket) {
            // A packet handed out lies inside the bytes fed.
            EXPECT_GE(packet.pBytes, buffer_.data());
            EXPECT_LE(packet.pBytes + packet.dwLength, buffer_.data() + framer.Kept());
            cuts.push_back({result, packet.iType, packet.iPosition,
                            std::string(packet.pBytes, packet.dwLength)});
            framer.Consume();
        }
        if (result == FrameResult::kNeedMore) {
            framer.KeepRest();
        } else {
            cuts.push_back({result, packet.iType, packet.iPosition, std::string()});
            framer.Reset();
        }
        return cuts;
    }

    std::string KeptBytes() const { return std::string(buffer_.data(), framer.Kept()); }

    PacketFramer framer;

private:
    std::vector<char> buffer_;
};

// What a run of rounds handed out, positions made relative to the stream,
// up to the first verdict (the connection ends there); pKept: what waits.
std::vector<Cut> ReceiveInPieces(const std::string& stream, const std::vector<size_t>& cuts,
                                 std::string* pKept = nullptr) {
    Reader reader(stream.size() + 1);
    std::vector<Cut> out;
    size_t iStart = 0;  // the stream offset of the buffer's first byte
    size_t p = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(stream.size());
    for (size_t iEnd : ends) {
        std::vector<Cut> round = reader.Receive(stream.substr(p, iEnd - p));
        for (Cut& cut : round) {
            cut.iPosition += static_cast<int>(iStart);
            out.push_back(cut);
            if (cut.result != FrameResult::kPacket) return out;
        }
        p = iEnd;
        iStart = p - static_cast<size_t>(reader.framer.Kept());
    }
    if (pKept != nullptr) *pKept = reader.KeptBytes();
    return out;
}

const std::string kKeyAnswer = Packet(kTypeKey, "20NTed8Yuf-jKD0ghioJGUsEXGc");
const std::string kAnswer = Packet(300, "300 12 first answer");
const std::string kPush = Packet(400, "400 0 pushed");

TEST(PacketFramer, SeveralPacketsInOneFeedComeOutInOrderAtTheirPositions) {
    Reader reader;
    std::vector<Cut> cuts = reader.Receive(kKeyAnswer + kAnswer + kPush);
    std::vector<Cut> expected = {
        {FrameResult::kPacket, kTypeKey, 0, kKeyAnswer},
        {FrameResult::kPacket, 300, static_cast<int>(kKeyAnswer.size()), kAnswer},
        {FrameResult::kPacket, 400, static_cast<int>(kKeyAnswer.size() + kAnswer.size()), kPush},
    };
    EXPECT_EQ(cuts, expected);
    EXPECT_EQ(reader.framer.Kept(), 0);
}

TEST(PacketFramer, AStreamCutAtAnyByteGivesTheSamePackets) {
    const std::string stream = kKeyAnswer + kAnswer + kPush;
    const std::vector<Cut> whole = ReceiveInPieces(stream, {});
    ASSERT_EQ(whole.size(), 3u);
    for (size_t i = 1; i < stream.size(); ++i) {
        EXPECT_EQ(ReceiveInPieces(stream, {i}), whole) << "cut at " << i;
        // Two cuts: the middle piece may be inside a header.
        for (size_t j = i + 1; j < stream.size(); j += 7) {
            ASSERT_EQ(ReceiveInPieces(stream, {i, j}), whole) << "cuts at " << i << ", " << j;
        }
    }
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < stream.size(); ++i) everyByte.push_back(i);
    EXPECT_EQ(ReceiveInPieces(stream, everyByte), whole);
}

TEST(PacketFramer, AnIncompletePacketWaitsAtTheStartOfTheBuffer) {
    Reader reader;
    // Fewer than four bytes say nothing yet; four to nine give a length but
    // no type.
    for (size_t n : {1u, 3u, 4u, 9u, 16u}) {
        Reader fresh;
        EXPECT_TRUE(fresh.Receive(kAnswer.substr(0, n)).empty()) << n;
        EXPECT_EQ(fresh.KeptBytes(), kAnswer.substr(0, n));
    }
    // The rest behind whole packets moves to the front.
    std::vector<Cut> cuts = reader.Receive(kKeyAnswer + kPush + kAnswer.substr(0, 5));
    EXPECT_EQ(cuts.size(), 2u);
    EXPECT_EQ(reader.KeptBytes(), kAnswer.substr(0, 5));
    cuts = reader.Receive(kAnswer.substr(5));
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].bytes, kAnswer);
    EXPECT_EQ(cuts[0].iPosition, 0);
    EXPECT_EQ(reader.framer.Kept(), 0);
}

TEST(PacketFramer, APacketLeftUnconsumedIsKeptAndHandedOutAgain) {
    // The read step leaves a packet it could not store, and cuts the kept
    // bytes again later without a receive.
    std::vector<char> buffer(1024);
    const std::string stream = kAnswer + kPush + kKeyAnswer.substr(0, 6);
    std::memcpy(buffer.data(), stream.data(), stream.size());
    PacketFramer framer;
    framer.Feed(buffer.data(), static_cast<int>(stream.size()));
    FramedPacket packet;
    ASSERT_EQ(framer.Next(&packet), FrameResult::kPacket);
    framer.Consume();
    ASSERT_EQ(framer.Next(&packet), FrameResult::kPacket);
    FramedPacket again;
    ASSERT_EQ(framer.Next(&again), FrameResult::kPacket);  // not consumed: the same one
    EXPECT_EQ(again.iPosition, packet.iPosition);
    EXPECT_EQ(framer.Rest(), static_cast<int>(kPush.size() + 6));
    framer.KeepRest();
    EXPECT_EQ(std::string(buffer.data(), framer.Kept()), kPush + kKeyAnswer.substr(0, 6));

    framer.Feed(buffer.data(), 0);
    ASSERT_EQ(framer.Next(&packet), FrameResult::kPacket);
    EXPECT_EQ(packet.iPosition, 0);
    EXPECT_EQ(std::string(packet.pBytes, packet.dwLength), kPush);
    framer.Consume();
    EXPECT_EQ(framer.Next(&packet), FrameResult::kNeedMore);

    // Feeds add up before a round; a reset forgets everything.
    framer.KeepRest();
    EXPECT_EQ(std::string(buffer.data(), framer.Kept()), kKeyAnswer.substr(0, 6));
    std::memcpy(buffer.data() + 6, kKeyAnswer.data() + 6, 4);
    framer.Feed(buffer.data(), 4);
    EXPECT_EQ(framer.Kept(), 10);
    framer.Reset();
    EXPECT_EQ(framer.Kept(), 0);
    EXPECT_EQ(framer.Rest(), 0);
    EXPECT_EQ(framer.Next(&packet), FrameResult::kNeedMore);
}

TEST(PacketFramer, LengthsAtAndBeyondTheBounds) {
    // 17 bytes (a header and one byte) to 65,536 bytes are packets.
    std::string smallest = Packet(300, "x");
    std::string largest = Packet(300, std::string(65536 - 16, 'L'));
    EXPECT_EQ(Reader().Receive(smallest)[0].result, FrameResult::kPacket);
    EXPECT_EQ(Reader().Receive(largest)[0].result, FrameResult::kPacket);
    // A header alone, or a length word one past the limit on a whole packet.
    EXPECT_EQ(Reader().Receive(Packet(300, "")),
              (std::vector<Cut>{{FrameResult::kBadPacket, 300, 0, ""}}));
    EXPECT_EQ(Reader().Receive(Packet(300, std::string(65537 - 16, 'L')))[0].result,
              FrameResult::kBadPacket);
    // Zero and short lengths: never a loop, never a type read past them.
    EXPECT_EQ(Reader().Receive(WithLength(kAnswer, 0))[0].result, FrameResult::kBadPacket);
    std::string nineBytes = WithLength(std::string("\0\0\0\0\0\0\0\0\x60\x00", 10), 9);
    EXPECT_EQ(Reader().Receive(nineBytes), (std::vector<Cut>{{FrameResult::kBadPacket, 0, 0, ""}}));
    // A length word with its sign bit set reads as a whole packet, at once.
    EXPECT_EQ(Reader().Receive(WithLength(kAnswer, 0x80000000u))[0].result,
              FrameResult::kBadPacket);
}

TEST(PacketFramer, TheKeptPartialPacketIsBoundedByTheLargestPacket) {
    // Announcing 65,536 bytes, it waits for all of them.
    std::string largest = Packet(300, std::string(65536 - 16, 'L'));
    Reader reader;
    EXPECT_TRUE(reader.Receive(largest.substr(0, 65535)).empty());
    EXPECT_EQ(reader.framer.Kept(), 65535);
    EXPECT_EQ(reader.Receive(largest.substr(65535))[0].bytes, largest);
    // Announcing one more, it is refused as soon as its length is here,
    // behind whole packets too.
    std::string tooLong = WithLength(kAnswer, 65537);
    Reader refusing;
    EXPECT_TRUE(refusing.Receive(tooLong.substr(0, 3)).empty());
    std::vector<Cut> cuts = refusing.Receive(tooLong.substr(3, 1));
    EXPECT_EQ(cuts, (std::vector<Cut>{{FrameResult::kTooLong, 0, 0, ""}}));
    EXPECT_EQ(refusing.framer.Kept(), 0);
    cuts = Reader().Receive(kPush + tooLong);
    ASSERT_EQ(cuts.size(), 2u);
    EXPECT_EQ(cuts[1], (Cut{FrameResult::kTooLong, 0, static_cast<int>(kPush.size()), ""}));

    // The length word of a refused packet is handed out for its line.
    std::vector<char> buffer(tooLong.begin(), tooLong.end());
    PacketFramer framer;
    framer.Feed(buffer.data(), static_cast<int>(buffer.size()));
    FramedPacket packet;
    ASSERT_EQ(framer.Next(&packet), FrameResult::kTooLong);
    EXPECT_EQ(packet.dwLength, 65537u);
}

TEST(PacketFramer, TypesAndTheDisconnectNotice) {
    for (int iType : {kTypeKey, 200, 202, 400, 600}) {
        EXPECT_EQ(Reader().Receive(Packet(iType, "t 1 2 3"))[0].result, FrameResult::kPacket)
            << iType;
    }
    for (int iType : {0, 106, 108, 127, 199, 601, -32768}) {
        EXPECT_EQ(Reader().Receive(Packet(iType, "t 1 2 3")),
                  (std::vector<Cut>{{FrameResult::kBadPacket, iType, 0, ""}}))
            << iType;
    }
    // The notice's length is not examined: a header alone, a length word
    // past every bound on whole bytes, ten bytes announcing 2 GiB.
    const std::string notice = Packet(kTypeDisconnect, "");
    EXPECT_EQ(Reader().Receive(notice + kAnswer),
              (std::vector<Cut>{{FrameResult::kDisconnect, kTypeDisconnect, 0, ""}}));
    EXPECT_EQ(Reader().Receive(Packet(kTypeDisconnect, std::string(70000, 'D')))[0].result,
              FrameResult::kDisconnect);
    EXPECT_EQ(Reader().Receive(WithLength(notice, 0xFFFFFFF0u).substr(0, 10))[0].result,
              FrameResult::kDisconnect);
    // An incomplete notice waits like any packet, or is too long like any.
    EXPECT_TRUE(Reader().Receive(WithLength(notice, 100)).empty());
    EXPECT_EQ(Reader().Receive(WithLength(notice, 70000))[0].result, FrameResult::kTooLong);
}

// Corrupted streams: one byte of a three-packet stream changed, received in
// pieces. Whatever the change, the packets ahead of the damaged one come
// out intact, every packet handed out lies inside the bytes received and
// follows the one before, and a damaged length or type shows as the
// verdict it deserves.
class PacketFramerCorruption : public ::testing::Test {
protected:
    const std::vector<std::string> sent_ = {kAnswer, kKeyAnswer, kPush};
    const std::string stream_ = kAnswer + kKeyAnswer + kPush;
    const size_t iSecond_ = kAnswer.size();
    const size_t iThird_ = kAnswer.size() + kKeyAnswer.size();
};

TEST_F(PacketFramerCorruption, ADamagedLengthOrTypeOfTheSecondPacket) {
    auto Damaged = [this](size_t i, char c) {
        std::string bytes = stream_;
        bytes[i] = c;
        return ReceiveInPieces(bytes, {5, iSecond_ + 2, iSecond_ + 11});
    };
    const Cut first = {FrameResult::kPacket, 300, 0, kAnswer};
    const int iAt = static_cast<int>(iSecond_);
    // Zero length: refused where it stands.
    std::vector<Cut> cuts = Damaged(iSecond_, '\0');
    EXPECT_EQ(cuts, (std::vector<Cut>{first, {FrameResult::kBadPacket, 0, iAt, ""}}));
    // Third length byte set: far beyond the bound, refused before it is all here.
    cuts = Damaged(iSecond_ + 2, '\x10');
    EXPECT_EQ(cuts, (std::vector<Cut>{first, {FrameResult::kTooLong, 0, iAt, ""}}));
    // Sign bit set: whole at once, and refused.
    cuts = Damaged(iSecond_ + 3, '\x80');
    EXPECT_EQ(cuts, (std::vector<Cut>{first, {FrameResult::kBadPacket, kTypeKey, iAt, ""}}));
    // The type turned into the disconnect notice, or out of bounds.
    cuts = Damaged(iSecond_ + 8, '\x60');
    EXPECT_EQ(cuts,
              (std::vector<Cut>{first, {FrameResult::kDisconnect, kTypeDisconnect, iAt, ""}}));
    cuts = Damaged(iSecond_ + 9, '\x7f');
    EXPECT_EQ(cuts.back().result, FrameResult::kBadPacket);
    // Beyond the header nothing is examined: the payload travels as received.
    cuts = Damaged(iSecond_ + 20, '!');
    ASSERT_EQ(cuts.size(), 3u);
    EXPECT_EQ(cuts[1].bytes[20], '!');
}

TEST_F(PacketFramerCorruption, EveryByteChangedKeepsTheFramingSound) {
    for (size_t i = 0; i < stream_.size(); ++i) {
        for (int iMask : {0x01, 0x10, 0x80, 0xFF}) {
            std::string bytes = stream_;
            bytes[i] = static_cast<char>(bytes[i] ^ iMask);
            for (size_t iPiece : {size_t{1}, size_t{7}, bytes.size()}) {
                std::vector<size_t> cuts;
                for (size_t p = iPiece; p < bytes.size(); p += iPiece) cuts.push_back(p);
                std::string kept;
                std::vector<Cut> out = ReceiveInPieces(bytes, cuts, &kept);
                size_t p = 0;
                for (const Cut& cut : out) {
                    ASSERT_EQ(cut.iPosition, static_cast<int>(p)) << i << " " << iMask;
                    if (cut.result != FrameResult::kPacket) break;
                    ASSERT_EQ(cut.bytes, bytes.substr(p, cut.bytes.size()));
                    p += cut.bytes.size();
                }
                // The packets ahead of the damaged one, as they were sent.
                size_t iIntact = i < iSecond_ ? 0 : i < iThird_ ? 1 : 2;
                ASSERT_GE(out.size(), iIntact) << i << " " << iMask;
                for (size_t k = 0; k < iIntact; ++k) ASSERT_EQ(out[k].bytes, sent_[k]);
                // Without a verdict, what waits is the start of one packet.
                if (out.empty() || out.back().result == FrameResult::kPacket) {
                    ASSERT_EQ(kept, bytes.substr(p)) << i << " " << iMask;
                    if (kept.size() >= 4) {
                        uint32_t dwLength = ReadPacketLength(kept.data());
                        ASSERT_GT(static_cast<int32_t>(dwLength), static_cast<int>(kept.size()));
                        ASSERT_LE(dwLength, kMaxPacketLength);
                    }
                }
            }
        }
    }
}

}  // namespace
