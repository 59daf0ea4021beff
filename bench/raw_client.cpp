#include "bench/raw_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bench/process_figures.h"

namespace bench {

namespace {

constexpr size_t kReceiveChunk = 256 * 1024;
constexpr int64_t kKeepAliveNs = 20LL * 1000 * 1000 * 1000;

}  // namespace

size_t PacketFramer::Room(size_t iWanted, char** ppRoom) {
    if (iStart_ == iEnd_) iStart_ = iEnd_ = 0;
    if (buffer_.size() - iEnd_ < iWanted) {
        // Move the incomplete rest to the front before growing.
        if (iStart_ > 0) {
            std::memmove(buffer_.data(), buffer_.data() + iStart_, iEnd_ - iStart_);
            iEnd_ -= iStart_;
            iStart_ = 0;
        }
        if (buffer_.size() - iEnd_ < iWanted) buffer_.resize(iEnd_ + iWanted);
    }
    *ppRoom = buffer_.data() + iEnd_;
    return buffer_.size() - iEnd_;
}

int PacketFramer::Next(const char** ppPacket, uint32_t* pdwLength) {
    size_t iHave = iEnd_ - iStart_;
    if (iHave < 4) return 0;
    uint32_t dwLength = ReadPacketLength(buffer_.data() + iStart_);
    if (dwLength < kPacketHeaderSize || dwLength > kMaxPacketLength) return -1;
    if (iHave < dwLength) return 0;
    *ppPacket = buffer_.data() + iStart_;
    *pdwLength = dwLength;
    iStart_ += dwLength;
    return 1;
}

int CountAnswerFields(const char* pPayload, size_t iLength, int* piQueueId) {
    int iFields = 0;
    *piQueueId = 0;
    bool bInField = false;
    for (size_t i = 0; i < iLength && pPayload[i] != '\0'; ++i) {
        if (pPayload[i] == ' ') {
            bInField = false;
        } else if (!bInField) {
            bInField = true;
            if (++iFields == 2) *piQueueId = std::atoi(pPayload + i);
        }
    }
    return iFields;
}

bool RawClient::Fail(const std::string& error) {
    error_ = error;
    return false;
}

bool RawClient::Connect() {
    Close();
    framer_.Clear();
    std::memset(szKey_, 0, sizeof(szKey_));
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return Fail(std::string("socket: ") + std::strerror(errno));
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(wPort_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        std::string error = std::string("connect: ") + std::strerror(errno);
        Close();
        return Fail(error);
    }
    if (!SendHeaderOnly(kTypeKey)) return Fail("the key request could not be sent");
    for (;;) {
        const char* pPacket = nullptr;
        uint32_t dwLength = 0;
        int iNext = NextPacket(&pPacket, &dwLength);
        if (iNext <= 0) return Fail("no key answer: " + error_);
        if (ReadPacketType(pPacket) != kTypeKey) {
            ++iSkipped_;
            continue;
        }
        // The key is the first field of the payload, in the keyless encoding.
        const char* pField = pPacket + kPacketHeaderSize;
        size_t iField = 0;
        while (iField < dwLength - kPacketHeaderSize && pField[iField] != ' ' &&
               pField[iField] != '\0')
            ++iField;
        if (codec_.DataDecode(nullptr, pField, static_cast<unsigned int>(iField), szKey_,
                              sizeof(szKey_), kDecodeModeKey) <= 0) {
            Close();
            return Fail("the key answer does not decode");
        }
        return true;
    }
}

void RawClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool RawClient::LogOn(int iQueueId, const std::string& name, const std::string& password) {
    std::string request = "201 " + std::to_string(iQueueId) + " " + name + " " + password;
    if (!SendRequest(kTypeLogonRequest, request)) return false;
    char szAnswer[4096];
    if (ReadAnswer(kTypeLogonAnswer, iQueueId, szAnswer, sizeof(szAnswer)) < 4) return false;
    // "202 N NAME 0 ...": the fourth field 0 is a log-on.
    const char* p = szAnswer;
    for (int iField = 1; iField < 4; ++iField) {
        p = std::strchr(p, ' ');
        if (p == nullptr) return false;
        while (*p == ' ') ++p;
    }
    return p[0] == '0' && (p[1] == ' ' || p[1] == '\0');
}

void RawClient::AppendRequest(int iType, const char* pText, size_t iLength, std::string* pOut) {
    size_t iStart = pOut->size();
    pOut->resize(iStart + kPacketHeaderSize + kEncodeCapacity);
    char* pPacket = &(*pOut)[iStart];
    std::memset(pPacket, 0, kPacketHeaderSize);
    int iEncoded =
        codec_.DataEncode(szKey_, pText, static_cast<unsigned int>(iLength),
                          pPacket + kPacketHeaderSize, kEncodeCapacity, kEncodeModeRequest);
    uint32_t dwLength;
    if (iEncoded > 0) {
        dwLength = kPacketHeaderSize + static_cast<uint32_t>(iEncoded);
    } else {
        dwLength = kPacketHeaderSize + static_cast<uint32_t>(iLength);
        pOut->resize(iStart + dwLength);
        pPacket = &(*pOut)[iStart];
        std::memcpy(pPacket + kPacketHeaderSize, pText, iLength);
    }
    FillPacketHeader(reinterpret_cast<PacketHeader*>(pPacket), iType, dwLength, 0, 0, 0);
    pOut->resize(iStart + dwLength);
}

bool RawClient::SendAll(const char* pBytes, size_t iLength) {
    if (fd_ < 0) return Fail("not connected");
    size_t iSent = 0;
    while (iSent < iLength) {
        ssize_t n = send(fd_, pBytes + iSent, iLength - iSent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Fail(std::string("send: ") + std::strerror(errno));
        iSent += static_cast<size_t>(n);
    }
    iLastSendNs_ = NowNs();
    return true;
}

bool RawClient::SendRequest(int iType, const std::string& text) {
    std::string packet;
    AppendRequest(iType, text.data(), text.size(), &packet);
    return SendAll(packet.data(), packet.size());
}

bool RawClient::SendHeaderOnly(int iType) {
    PacketHeader header;
    std::memset(&header, 0, sizeof(header));
    FillPacketHeader(&header, iType, kPacketHeaderSize, 0, 0, 0);
    return SendAll(reinterpret_cast<const char*>(&header), sizeof(header));
}

int RawClient::NextPacket(const char** ppPacket, uint32_t* pdwLength) {
    for (;;) {
        int iNext = framer_.Next(ppPacket, pdwLength);
        if (iNext != 0) {
            if (iNext < 0) error_ = "a packet length outside 16..65,536";
            return iNext;
        }
        if (fd_ < 0) {
            error_ = "not connected";
            return 0;
        }
        char* pRoom = nullptr;
        size_t iRoom = framer_.Room(kReceiveChunk, &pRoom);
        ssize_t n = recv(fd_, pRoom, iRoom, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n == 0 ? "end of stream" : std::string("recv: ") + std::strerror(errno);
            return 0;
        }
        framer_.Commit(static_cast<size_t>(n));
    }
}

int RawClient::ReadAnswer(int iType, int iQueueId, char* pOut, size_t iOutSize) {
    for (;;) {
        const char* pPacket = nullptr;
        uint32_t dwLength = 0;
        int iNext = NextPacket(&pPacket, &dwLength);
        if (iNext <= 0) return iNext;
        int iPacketType = ReadPacketType(pPacket);
        if (iPacketType == kTypeDisconnect) {
            error_ = "the disconnect notice";
            return 0;
        }
        if (iPacketType < kAnswerTypeMin || iPacketType > kAnswerTypeMax) {
            ++iSkipped_;
            continue;
        }
        const char* pPayload = pPacket + kPacketHeaderSize;
        size_t iPayload = dwLength - kPacketHeaderSize;
        int iId = 0;
        int iFields = CountAnswerFields(pPayload, iPayload, &iId);
        if (iFields < 4) {
            error_ = "an answer of fewer than four fields";
            return -1;
        }
        if (iPacketType != iType || iId != iQueueId) {
            ++iSkipped_;
            continue;
        }
        size_t iCopy = iPayload < iOutSize ? iPayload : iOutSize - 1;
        std::memcpy(pOut, pPayload, iCopy);
        pOut[iCopy] = '\0';
        return iFields;
    }
}

bool RawClient::Idle(int iMs) {
    int64_t iEndNs = NowNs() + static_cast<int64_t>(iMs) * 1000000;
    for (;;) {
        int64_t iNow = NowNs();
        if (iNow >= iEndNs) return true;
        if (iNow - iLastSendNs_ >= kKeepAliveNs) {
            if (!SendHeaderOnly(kTypeKeepAlive)) return false;
            continue;
        }
        int64_t iWakeNs = iLastSendNs_ + kKeepAliveNs;
        if (iWakeNs > iEndNs) iWakeNs = iEndNs;
        pollfd wanted{fd_, POLLIN, 0};
        int iReady = poll(&wanted, 1, static_cast<int>((iWakeNs - iNow) / 1000000) + 1);
        if (iReady < 0 && errno != EINTR) return Fail(std::string("poll: ") + std::strerror(errno));
        if (iReady > 0) {
            // Nothing is expected while idle: whatever comes is read and dropped.
            char* pRoom = nullptr;
            size_t iRoom = framer_.Room(kReceiveChunk, &pRoom);
            ssize_t n = recv(fd_, pRoom, iRoom, 0);
            if (n <= 0) return Fail("the connection ended while idle");
            framer_.Commit(static_cast<size_t>(n));
            const char* pPacket = nullptr;
            uint32_t dwLength = 0;
            while (framer_.Next(&pPacket, &dwLength) > 0) ++iSkipped_;
        }
    }
}

}  // namespace bench
