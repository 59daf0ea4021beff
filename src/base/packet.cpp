#include "base/packet.h"

void FillPacketHeader(PacketHeader* pHeader, int iType, uint32_t dwLength, uint32_t dwReserved,
                      uint8_t byFlag1, uint8_t byFlag2) {
    unsigned char* p = reinterpret_cast<unsigned char*>(pHeader);
    uint32_t dwTotal = dwLength == 0 ? kPacketHeaderSize : dwLength;
    // Byte by byte, so the layout is little-endian whatever the host.
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(dwTotal >> (8 * i));
    for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<unsigned char>(dwReserved >> (8 * i));
    uint16_t wType = static_cast<uint16_t>(iType);
    p[8] = static_cast<unsigned char>(wType);
    p[9] = static_cast<unsigned char>(wType >> 8);
    p[10] = byFlag1;
    p[11] = byFlag2;
    p[12] = kPacketMarker;
}

uint32_t ReadPacketLength(const void* pBytes) {
    const unsigned char* p = static_cast<const unsigned char*>(pBytes);
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

int ReadPacketType(const void* pBytes) {
    const unsigned char* p = static_cast<const unsigned char*>(pBytes);
    return static_cast<int16_t>(static_cast<uint16_t>(p[8] | (p[9] << 8)));
}
