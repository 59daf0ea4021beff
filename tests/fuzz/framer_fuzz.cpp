// Arbitrary server bytes, received in pieces, cut by the framer alone (no
// engine, no socket) and compared with a small model of the framing after
// every piece:
//   - the packets, the verdicts (a bad packet, the disconnect notice, an
//     incomplete packet too long to be one) and their stream offsets are
//     those of the model, in order;
//   - a packet handed out lies inside the bytes received, at its position;
//   - the buffer keeps exactly the bytes not handled, at its start;
//   - a packet its reader leaves unconsumed is handed out again first.
// After a verdict the reader drops everything, and the next piece comes as
// on a new connection. The buffer holds exactly the stream's bytes, so that
// a read past what was received is a sanitizer report.
//
// Input: one byte giving the size of each receive (0: everything in one;
// larger for long streams, which come in at most 256 receives), one byte
// choosing which packets the reader leaves unconsumed (bit k: the packets
// handed out k, k + 8, ... times before), then the stream.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "session/framer.h"

namespace {

using fuzzref::Le16Signed;
using fuzzref::Le32;

// What came out, at which offset of the stream.
struct Event {
    FrameResult result;
    int iType;
    uint32_t dwLength;  // packets only
    size_t iOffset;
    bool operator==(const Event& other) const {
        return result == other.result && iType == other.iType && dwLength == other.dwLength &&
               iOffset == other.iOffset;
    }
};

const char* Name(FrameResult result) {
    switch (result) {
        case FrameResult::kPacket:
            return "packet";
        case FrameResult::kDisconnect:
            return "disconnect";
        case FrameResult::kBadPacket:
            return "bad";
        case FrameResult::kNeedMore:
            return "need-more";
        case FrameResult::kTooLong:
            return "too-long";
    }
    return "?";
}

// The framing, read from the rules of the protocol: a 4-byte little-endian
// length word (a signed number when compared with the bytes there), a
// 16-bit signed type at offset 8 when the packet has ten bytes, 17..65,536
// bytes, types 107 and 200..600, the notice 96 of any length.
FrameResult ModelFront(const std::string& bytes, int* piType, uint32_t* pdwLength) {
    *piType = 0;
    *pdwLength = 0;
    if (bytes.size() < 4) return FrameResult::kNeedMore;
    uint32_t dwLength = Le32(bytes, 0);
    int64_t iSigned = static_cast<int32_t>(dwLength);
    if (iSigned > static_cast<int64_t>(bytes.size())) {
        return dwLength > 65536 ? FrameResult::kTooLong : FrameResult::kNeedMore;
    }
    int iType = dwLength >= 10 && bytes.size() >= 10 ? Le16Signed(bytes, 8) : 0;
    *piType = iType;
    if (iType == 96) return FrameResult::kDisconnect;
    bool bTypeGood = iType == 107 || (iType >= 200 && iType <= 600);
    if (dwLength < 17 || dwLength > 65536 || !bTypeGood) return FrameResult::kBadPacket;
    *pdwLength = dwLength;
    return FrameResult::kPacket;
}

class Model {
public:
    explicit Model(uint8_t byRefused) : byRefused_(byRefused) {}

    // One receive: the events of its round.
    void Receive(const std::string& piece, size_t iPieceOffset) {
        if (pending_.empty()) iBase_ = iPieceOffset;
        pending_ += piece;
        for (;;) {
            int iType = 0;
            uint32_t dwLength = 0;
            FrameResult result = ModelFront(pending_, &iType, &dwLength);
            if (result == FrameResult::kNeedMore) return;
            if (result != FrameResult::kPacket) {
                events.push_back({result, iType, 0, iBase_});
                pending_.clear();
                return;
            }
            events.push_back({result, iType, dwLength, iBase_});
            if (Refused(iHandedOut_++)) return;
            pending_.erase(0, dwLength);
            iBase_ += dwLength;
        }
    }

    bool Refused(uint64_t iCount) const { return (byRefused_ >> (iCount % 8)) & 1; }

    const std::string& Pending() const { return pending_; }

    std::vector<Event> events;

private:
    uint8_t byRefused_;
    std::string pending_;  // the bytes not handled, from stream offset iBase_
    size_t iBase_ = 0;
    uint64_t iHandedOut_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t iSize) {
    fuzzref::InputReader input(pData, iSize);
    size_t iPiece = input.Byte();
    uint8_t byRefused = input.Byte();
    std::string stream = input.Rest();
    if (iPiece == 0) iPiece = stream.size();
    // At most 256 receives: every check looks at the whole kept buffer.
    if (iPiece < stream.size() / 256 + 1) iPiece = stream.size() / 256 + 1;

    // Never more is kept than was received, so the stream's size is enough.
    std::unique_ptr<char[]> buffer(new char[stream.size() + 1]);
    char* pBuffer = buffer.get();
    PacketFramer framer;
    Model model(byRefused);
    std::vector<Event> events;
    size_t iBase = 0;  // the stream offset of the buffer's first byte
    uint64_t iHandedOut = 0;

    for (size_t p = 0; p < stream.size(); p += iPiece) {
        std::string piece = stream.substr(p, iPiece);
        if (framer.Kept() == 0) iBase = p;
        FUZZ_CHECK(static_cast<size_t>(framer.Kept()) + piece.size() <= stream.size(),
                   "kept %d bytes with %zu of %zu received", framer.Kept(), p, stream.size());
        std::memcpy(pBuffer + framer.Kept(), piece.data(), piece.size());
        framer.Feed(pBuffer, static_cast<int>(piece.size()));
        int iEnd = framer.Kept();
        FramedPacket packet;
        FrameResult result;
        int iLastPosition = -1;
        for (;;) {
            result = framer.Next(&packet);
            if (result == FrameResult::kNeedMore) {
                iBase += static_cast<size_t>(iEnd - framer.Rest());
                framer.KeepRest();
                break;
            }
            FUZZ_CHECK(packet.iPosition > iLastPosition && packet.iPosition < iEnd,
                       "%s at %d after %d, %d bytes fed", Name(result), packet.iPosition,
                       iLastPosition, iEnd);
            FUZZ_CHECK(packet.pBytes == pBuffer + packet.iPosition, "%s not at its position",
                       Name(result));
            iLastPosition = packet.iPosition;
            if (result != FrameResult::kPacket) {
                events.push_back({result, packet.iType, 0, iBase + packet.iPosition});
                framer.Reset();
                break;
            }
            FUZZ_CHECK(packet.iPosition + static_cast<int64_t>(packet.dwLength) <= iEnd,
                       "a packet of %u bytes at %d, %d bytes fed", packet.dwLength,
                       packet.iPosition, iEnd);
            events.push_back({result, packet.iType, packet.dwLength, iBase + packet.iPosition});
            if (model.Refused(iHandedOut++)) {
                // Not handled: it must come out again, first, after a feed of
                // nothing.
                FUZZ_CHECK(framer.Rest() == iEnd - packet.iPosition, "rest %d, expected %d",
                           framer.Rest(), iEnd - packet.iPosition);
                iBase += static_cast<size_t>(iEnd - framer.Rest());
                framer.KeepRest();
                FramedPacket again;
                framer.Feed(pBuffer, 0);
                FUZZ_CHECK(framer.Next(&again) == FrameResult::kPacket && again.iPosition == 0 &&
                               again.dwLength == packet.dwLength && again.iType == packet.iType,
                           "a kept packet is not handed out again");
                framer.KeepRest();
                break;
            }
            framer.Consume();
        }
        model.Receive(piece, p);

        FUZZ_CHECK(events.size() == model.events.size(), "%zu events, expected %zu", events.size(),
                   model.events.size());
        for (size_t i = 0; i < events.size(); ++i) {
            const Event& got = events[i];
            const Event& want = model.events[i];
            FUZZ_CHECK(got == want,
                       "event %zu: %s type %d, %u bytes at %zu; expected %s type %d, "
                       "%u bytes at %zu",
                       i, Name(got.result), got.iType, got.dwLength, got.iOffset, Name(want.result),
                       want.iType, want.dwLength, want.iOffset);
        }
        const std::string& pending = model.Pending();
        FUZZ_CHECK(framer.Kept() == static_cast<int>(pending.size()), "kept %d bytes, expected %zu",
                   framer.Kept(), pending.size());
        FUZZ_CHECK(framer.Rest() == framer.Kept(), "a round ended with bytes consumed");
        FUZZ_CHECK(std::memcmp(pBuffer, pending.data(), pending.size()) == 0,
                   "the kept bytes differ");
    }
    return 0;
}
