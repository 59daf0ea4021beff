#include "base/text.h"

#include <climits>

size_t FormatDecimal(char* szOut, int iValue) {
    // The magnitude as unsigned, so that INT_MIN has one too.
    unsigned int uValue =
        iValue < 0 ? 0u - static_cast<unsigned int>(iValue) : static_cast<unsigned int>(iValue);
    char digits[10];
    size_t iDigits = 0;
    do {
        digits[iDigits++] = static_cast<char>('0' + uValue % 10);
        uValue /= 10;
    } while (uValue != 0);
    size_t iLength = 0;
    if (iValue < 0) szOut[iLength++] = '-';
    while (iDigits > 0) szOut[iLength++] = digits[--iDigits];
    szOut[iLength] = '\0';
    return iLength;
}

int ParseDecimal(const char* szText) {
    if (szText == nullptr) return 0;
    const char* p = szText;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-') bNegative = *p++ == '-';
    long long iValue = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        iValue = iValue * 10 + (*p - '0');
        if (iValue > static_cast<long long>(INT_MAX) + 1) break;  // clamped below
    }
    if (bNegative) iValue = -iValue;
    if (iValue > INT_MAX) return INT_MAX;
    if (iValue < INT_MIN) return INT_MIN;
    return static_cast<int>(iValue);
}

void CopyMaskingPassword(char* szOut, size_t iOutSize, const char* szText) {
    if (szOut == nullptr || iOutSize == 0) return;
    size_t o = 0;
    auto Put = [&](char c) {
        if (o + 1 < iOutSize) szOut[o++] = c;
    };
    int iField = -1;
    bool bInField = false;
    for (const char* p = szText != nullptr ? szText : ""; *p != '\0'; ++p) {
        if (*p == ' ') {
            bInField = false;
            Put(' ');
            continue;
        }
        if (!bInField) {
            bInField = true;
            ++iField;
            if (iField == 3) {
                Put('*');
                Put('*');
                Put('*');
            }
        }
        if (iField != 3) Put(*p);
    }
    szOut[o] = '\0';
}

namespace {

bool IsControlByte(unsigned char c) { return (c >= 0x01 && c <= 0x1F) || c == 0x7F; }

bool IsGbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

bool IsGbkTrail(unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; }

}  // namespace

size_t CopyEscapingControls(char* szOut, size_t iOutSize, const char* szText) {
    if (szOut == nullptr || iOutSize == 0) return 0;
    static const char kHex[] = "0123456789ABCDEF";
    const unsigned char* p =
        reinterpret_cast<const unsigned char*>(szText != nullptr ? szText : "");
    size_t o = 0;
    const size_t iRoom = iOutSize - 1;
    while (*p != '\0') {
        if (IsControlByte(*p)) {
            if (iRoom - o < 4) break;
            szOut[o++] = '\\';
            szOut[o++] = 'x';
            szOut[o++] = kHex[*p >> 4];
            szOut[o++] = kHex[*p & 0x0F];
            ++p;
        } else if (IsGbkLead(p[0]) && IsGbkTrail(p[1])) {
            // A two-byte character is kept whole or not at all.
            if (iRoom - o < 2) break;
            szOut[o++] = static_cast<char>(*p++);
            szOut[o++] = static_cast<char>(*p++);
        } else {
            if (iRoom - o < 1) break;
            szOut[o++] = static_cast<char>(*p++);
        }
    }
    szOut[o] = '\0';
    return o;
}
