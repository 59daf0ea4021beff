// The baseline: a client of our own on one blocking TCP socket, speaking the
// library's protocol (the same packet header and codec) with nothing else:
// no queues, no session thread, no polling. What it costs is what the
// protocol itself costs; the library's figures are set against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/packet.h"
#include "support/quorvex.h"

namespace bench {

// Cuts a byte stream into packets, as received: bytes go in with Room and
// Commit, whole packets come out of Next in order; an incomplete packet
// stays for the next bytes.
class PacketFramer {
public:
    // Free space for at least iWanted more bytes, at *ppRoom; returns its size.
    size_t Room(size_t iWanted, char** ppRoom);
    void Commit(size_t n) { iEnd_ += n; }

    // 1: a whole packet at *ppPacket, *pdwLength bytes (valid until the next
    // call of Room); 0: no whole packet yet; -1: the bytes are no packet of
    // the protocol (a length below the header or above 65,536).
    int Next(const char** ppPacket, uint32_t* pdwLength);

    void Clear() { iStart_ = iEnd_ = 0; }
    size_t Buffered() const { return iEnd_ - iStart_; }

private:
    std::vector<char> buffer_;
    size_t iStart_ = 0;  // the first byte not yet handed out
    size_t iEnd_ = 0;    // the end of the received bytes
};

// The fields of a payload text as the library counts them: the text ends at
// its first NUL or at the packet's end, and fields are cut at spaces, runs of
// them counting as one. *piQueueId gets the second field's number (0 when
// there is none).
int CountAnswerFields(const char* pPayload, size_t iLength, int* piQueueId);

// One connection to the server. One thread may send while another receives
// (the pipelined run does); each direction is used by one thread at a time.
class RawClient {
public:
    explicit RawClient(uint16_t wPort) : wPort_(wPort) {}
    ~RawClient() { Close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Connects to 127.0.0.1 and runs the key exchange: a key request, and a
    // key answer that decodes. False with Error() set.
    bool Connect();
    void Close();
    bool Connected() const { return fd_ >= 0; }

    // "201 N NAME PASSWORD" and its answer; true when the server took it.
    bool LogOn(int iQueueId, const std::string& name, const std::string& password);

    // Appends one request packet, encoded with the session key (plain when
    // the encoding does not fit, as the library does), to *pOut.
    void AppendRequest(int iType, const char* pText, size_t iLength, std::string* pOut);
    // Sends every byte; false when the connection failed.
    bool SendAll(const char* pBytes, size_t iLength);
    bool SendRequest(int iType, const std::string& text);

    // Waits for the next answer of type iType and identifier iQueueId and
    // copies its text, terminated, into pOut (iOutSize bytes). Answers of
    // another type or identifier are counted in Skipped() and dropped.
    // Returns the answer's field count (4 or more); 0 when the connection
    // ended (end of stream, an error, or the disconnect notice); -1 when the
    // server sent something that is no answer (Error() says what).
    int ReadAnswer(int iType, int iQueueId, char* pOut, size_t iOutSize);

    // Stays connected for iMs milliseconds doing what an idle client must:
    // it waits on the socket and sends a keep-alive after 20 s without a
    // send. False when the connection ended meanwhile.
    bool Idle(int iMs);

    const std::string& Error() const { return error_; }
    int64_t Skipped() const { return iSkipped_; }

private:
    bool SendHeaderOnly(int iType);
    // The next whole packet, receiving as needed: 1 packet, 0 connection
    // ended, -1 protocol error.
    int NextPacket(const char** ppPacket, uint32_t* pdwLength);
    bool Fail(const std::string& error);

    uint16_t wPort_;
    int fd_ = -1;
    char szKey_[kSessionKeySize] = {};
    TextEncodeDecode codec_;
    PacketFramer framer_;
    std::string error_;
    int64_t iSkipped_ = 0;
    int64_t iLastSendNs_ = 0;
};

}  // namespace bench
