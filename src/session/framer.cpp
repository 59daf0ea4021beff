#include "session/framer.h"

#include <cstring>

#include "base/packet.h"

void PacketFramer::Feed(char* pBuffer, int iReceived) {
    pBuffer_ = pBuffer;
    iEnd_ += iReceived;
}

FrameResult PacketFramer::Next(FramedPacket* pPacket) const {
    // Four bytes tell the length; a packet longer than what is here is
    // incomplete (the length taken as signed, as received).
    int iRemaining = Rest();
    if (iRemaining < 4) return FrameResult::kNeedMore;
    const char* pFront = pBuffer_ + iPosition_;
    uint32_t dwLength = ReadPacketLength(pFront);
    if (static_cast<int32_t>(dwLength) > iRemaining) {
        if (dwLength <= kMaxPacketLength) return FrameResult::kNeedMore;
        pPacket->pBytes = pFront;
        pPacket->dwLength = dwLength;
        pPacket->iType = 0;
        pPacket->iPosition = iPosition_;
        return FrameResult::kTooLong;
    }
    // A packet shorter than 10 bytes has no type field of its own: its type
    // reads as 0, which is out of bounds, and nothing is read past the bytes
    // received.
    int iType = (dwLength >= 10 && iRemaining >= 10) ? ReadPacketType(pFront) : 0;
    pPacket->pBytes = pFront;
    pPacket->dwLength = dwLength;
    pPacket->iType = iType;
    pPacket->iPosition = iPosition_;
    if (iType == kTypeDisconnect) return FrameResult::kDisconnect;
    if (dwLength < kMinPacketLength || dwLength > kMaxPacketLength ||
        (iType != kTypeKey && (iType < kAnswerTypeMin || iType > kAnswerTypeMax))) {
        return FrameResult::kBadPacket;
    }
    return FrameResult::kPacket;
}

void PacketFramer::Consume() {
    iPosition_ += static_cast<int>(ReadPacketLength(pBuffer_ + iPosition_));
}

void PacketFramer::KeepRest() {
    int iRest = Rest();
    if (iPosition_ > 0 && iRest > 0) {
        std::memmove(pBuffer_, pBuffer_ + iPosition_, static_cast<size_t>(iRest));
    }
    iEnd_ = iRest;
    iPosition_ = 0;
}

void PacketFramer::Reset() {
    iEnd_ = 0;
    iPosition_ = 0;
}
