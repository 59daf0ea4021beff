// Cutting the bytes received from the server into packets. The framer knows
// bytes and packet headers only: no socket, no engine, no queue, no log.
// What a packet means, and what an error costs the connection, is its
// caller's business.
//
// A round: receive behind the kept bytes, Feed() the count, take packets
// with Next() and Consume() each one handled, then end the round with
// KeepRest() (the rest waits for more bytes) or Reset().
#pragma once

#include <cstdint>

// One packet at the front of the unhandled bytes, as its header gives it.
struct FramedPacket {
    const char* pBytes = nullptr;  // its first byte, inside the buffer
    uint32_t dwLength = 0;         // the header's length word, as received
    int iType = 0;                 // the header's type; 0 when the packet is too short for one
    int iPosition = 0;             // its offset in the buffer (kept bytes included)
};

// What lies at the front of the unhandled bytes.
enum class FrameResult {
    // A whole packet whose length (17 to 65,536 bytes) and type (the key
    // answer, or an answer of 200 to 600) are in bounds.
    kPacket,
    // The disconnect notice: its length is not examined, and whatever
    // follows it belongs to no one.
    kDisconnect,
    // A whole packet (its length word no more than the bytes there, read as
    // a signed number) whose length or type is out of bounds.
    kBadPacket,
    // No whole packet: fewer than 4 bytes, or a length word in bounds that
    // asks for more than there is. The rest waits for the next feed.
    kNeedMore,
    // An incomplete packet announcing more than any packet may hold: no
    // later feed can complete it.
    kTooLong,
};

class PacketFramer {
public:
    PacketFramer() = default;
    PacketFramer(const PacketFramer&) = delete;
    PacketFramer& operator=(const PacketFramer&) = delete;

    // The bytes in the buffer from its start, the next receive going behind
    // them: between rounds, the start of an incomplete packet kept for the
    // next feed (or, after a round that left a packet unconsumed, everything
    // from that packet on); within a round, those and the bytes fed since.
    int Kept() const { return iEnd_; }

    // iReceived more bytes were written behind the kept ones, at
    // pBuffer + Kept(). pBuffer holds the kept bytes at its start: while any
    // are kept it is the buffer of the previous feeds. Feeding 0 bytes is how
    // the kept bytes are cut again.
    void Feed(char* pBuffer, int iReceived);

    // The front of the bytes not yet consumed. A packet handed out stays at
    // the front until Consume(): one its caller cannot handle yet is kept.
    // pPacket is filled for every result but kNeedMore (for kTooLong the
    // type reads 0: only the length word counts).
    FrameResult Next(FramedPacket* pPacket) const;
    // Moves past the packet Next() handed out. REQUIRES: Next() gave kPacket.
    void Consume();

    // The bytes not yet consumed.
    int Rest() const { return iEnd_ - iPosition_; }

    // Ends a round: the bytes not consumed move to the start of the buffer
    // and are kept for the next feed.
    void KeepRest();
    // Drops every byte, kept or fed (a connection given up starts anew).
    void Reset();

private:
    char* pBuffer_ = nullptr;
    int iEnd_ = 0;       // bytes in the buffer: the kept ones and those fed since
    int iPosition_ = 0;  // the first byte not consumed
};
