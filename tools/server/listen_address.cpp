#include "server/listen_address.h"

#include <cstring>

#include "platform/socket.h"

namespace refserver {
namespace {

uint32_t FromBytes(const uint8_t (&abBytes)[4]) {
    uint32_t dwAddrNet;
    std::memcpy(&dwAddrNet, abBytes, sizeof(dwAddrNet));
    return dwAddrNet;
}

}  // namespace

uint32_t LoopbackAddress() { return FromBytes({127, 0, 0, 1}); }

bool ParseIPv4Address(const std::string& text, uint32_t* pAddrNet) {
    uint8_t abBytes[4];
    size_t i = 0;
    for (int iPart = 0; iPart < 4; ++iPart) {
        if (iPart > 0) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
        size_t iStart = i;
        int iValue = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - iStart < 3) {
            iValue = iValue * 10 + (text[i] - '0');
            ++i;
        }
        size_t iDigits = i - iStart;
        if (iDigits == 0 || iValue > 255 || (iDigits > 1 && text[iStart] == '0')) return false;
        abBytes[iPart] = static_cast<uint8_t>(iValue);
    }
    if (i != text.size()) return false;  // a fourth dot, a fourth digit, anything after
    *pAddrNet = FromBytes(abBytes);
    return true;
}

std::string FormatIPv4Address(uint32_t dwAddrNet) {
    uint8_t abBytes[4];
    std::memcpy(abBytes, &dwAddrNet, sizeof(abBytes));
    return std::to_string(abBytes[0]) + "." + std::to_string(abBytes[1]) + "." +
           std::to_string(abBytes[2]) + "." + std::to_string(abBytes[3]);
}

std::string ListenErrorText(int iWsaError) {
    switch (iWsaError) {
        case platform::kWsaAddressInUse:
            return "the port is in use";
        case platform::kWsaAddressNotAvailable:
            return "not an address of this machine";
        case platform::kWsaAccessDenied:
            return "permission denied (ports below 1024 need privileges on some systems)";
        default:
            return "socket error " + std::to_string(iWsaError);
    }
}

}  // namespace refserver
