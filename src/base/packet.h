// The wire packet: a 16-byte little-endian header and a payload. The same
// header starts every message waiting in the queue table. This file is the
// one place that fixes the header, the message types and the bounds.
#pragma once

#include <cstdint>

// The header as it lies in memory and on the wire (little-endian fields, no
// padding).
#pragma pack(push, 1)
struct PacketHeader {
    uint32_t dwLength;      // total packet length, header included
    uint32_t dwReserved;    // 0
    int16_t iType;          // message type
    uint8_t byFlag1;        // 0
    uint8_t byFlag2;        // 0
    uint8_t byMarker;       // always kPacketMarker
    uint8_t byReserved[3];  // 0
};
#pragma pack(pop)
static_assert(sizeof(PacketHeader) == 16, "the header is 16 bytes on the wire");

constexpr uint32_t kPacketHeaderSize = 16;
constexpr uint8_t kPacketMarker = 0x7E;  // '~'

// Message types.
constexpr int kTypeDisconnect = 96;    // server -> client: the server ends the session
constexpr int kTypeKey = 107;          // client: key request (header only); server: key answer
constexpr int kTypeKeepAlive = 127;    // client -> server, header only
constexpr int kTypeLogonAnswer = 202;  // answer whose fourth field 0 means logged on
constexpr int kTypeLogonRequest = 201;
constexpr int kTypeLogoffRequest = 207;
constexpr int kRequestTypeMin = 200;  // requests from the game: 200..399
constexpr int kRequestTypeMax = 399;
constexpr int kAnswerTypeMin = 200;  // answers from the server: 200..600
constexpr int kAnswerTypeMax = 600;
constexpr int kPushTypeMin = 400;  // pushed messages, read from identifier 0

// Bounds.
constexpr int kMaxRequestText = 65520;                 // request text from the game
constexpr uint32_t kMinPacketLength = 17;              // a header and at least one byte
constexpr uint32_t kMaxPacketLength = 65536;           // any packet but the disconnect notice
constexpr uint32_t kEncodeCapacity = 10224;            // encoded request payload
constexpr uint32_t kSessionKeySize = 40;               // session key text with its terminator
constexpr uint32_t kWriteBufferSize = 1024 * 1024;     // bytes waiting to be sent stay below it
constexpr uint32_t kReadBufferSize = 2 * 1024 * 1024;  // received bytes waiting to be parsed

// Codec arguments.
constexpr int kEncodeModeRequest = 2;  // DataEncode of request texts, with the session key
constexpr int kDecodeModeKey = 0;      // DataDecode of the key answer's first field, no key

// Fills a header on zeroed memory: the type, the total length (0 stands for
// 16), the reserved word and the two flag bytes; the marker is always 0x7E
// and the three reserved bytes are left alone.
void FillPacketHeader(PacketHeader* pHeader, int iType, uint32_t dwLength, uint32_t dwReserved,
                      uint8_t byFlag1, uint8_t byFlag2);

// Reading a header from bytes, which need not be aligned: dwLength as an
// unsigned 32-bit number at offset 0, iType as a signed 16-bit number at
// offset 8. REQUIRES: 4 (length) or 10 (type) readable bytes.
uint32_t ReadPacketLength(const void* pBytes);
int ReadPacketType(const void* pBytes);
