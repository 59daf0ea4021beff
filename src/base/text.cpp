#include "base/text.h"

#include <climits>
#include <cstring>

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
    return szText == nullptr ? 0 : ParseDecimal(szText, static_cast<size_t>(-1));
}

int ParseDecimal(const char* pText, size_t iLength) {
    if (pText == nullptr) return 0;
    // Read as a text that ends at the length or a zero byte, whichever
    // comes first.
    size_t i = 0;
    auto At = [pText, iLength, &i]() { return i < iLength ? pText[i] : '\0'; };
    while (At() == ' ' || At() == '\t' || At() == '\n' || At() == '\v' || At() == '\f' ||
           At() == '\r') {
        ++i;
    }
    bool bNegative = false;
    if (At() == '+' || At() == '-') bNegative = pText[i++] == '-';
    long long iValue = 0;
    for (; At() >= '0' && At() <= '9'; ++i) {
        iValue = iValue * 10 + (pText[i] - '0');
        if (iValue > static_cast<long long>(INT_MAX) + 1) break;  // clamped below
    }
    if (bNegative) iValue = -iValue;
    if (iValue > INT_MAX) return INT_MAX;
    if (iValue < INT_MIN) return INT_MIN;
    return static_cast<int>(iValue);
}

int FindFields(const char* pText, size_t iLength, char cSep, int iLimit, TextField* pFields,
               int iWanted) {
    if (pText == nullptr || iLimit < 1) return 0;
    // The text's end: its length, or its first zero byte.
    const char* pEnd = static_cast<const char*>(std::memchr(pText, '\0', iLength));
    if (pEnd == nullptr) pEnd = pText + iLength;
    // A zero separator never parts fields: the text is one field.
    auto IsSeparator = [cSep](char c) { return c != '\0' && c == cSep; };
    int iCount = 0;
    const char* p = pText;
    for (;;) {
        while (p < pEnd && IsSeparator(*p)) ++p;
        if (p == pEnd) break;
        const char* pStart = p;
        if (iCount + 1 == iLimit) {
            // The last field allowed keeps the rest, its trailing separators cut.
            p = pEnd;
            while (p > pStart && IsSeparator(p[-1])) --p;
        } else {
            while (p < pEnd && !IsSeparator(*p)) ++p;
        }
        if (iCount < iWanted) pFields[iCount] = TextField{pStart, static_cast<size_t>(p - pStart)};
        if (++iCount == iLimit) break;
    }
    return iCount;
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
    if (szText == nullptr) szText = "";
    return CopyEscapingControls(szOut, iOutSize, szText, std::strlen(szText));
}

size_t CopyEscapingControls(char* szOut, size_t iOutSize, const char* pText, size_t iLength) {
    if (szOut == nullptr || iOutSize == 0) return 0;
    static const char kHex[] = "0123456789ABCDEF";
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pText != nullptr ? pText : "");
    if (pText == nullptr) iLength = 0;
    const unsigned char* pEnd = static_cast<const unsigned char*>(std::memchr(p, '\0', iLength));
    if (pEnd == nullptr) pEnd = p + iLength;
    size_t o = 0;
    const size_t iRoom = iOutSize - 1;
    while (p < pEnd) {
        if (IsControlByte(*p)) {
            if (iRoom - o < 4) break;
            szOut[o++] = '\\';
            szOut[o++] = 'x';
            szOut[o++] = kHex[*p >> 4];
            szOut[o++] = kHex[*p & 0x0F];
            ++p;
        } else if (pEnd - p >= 2 && IsGbkLead(p[0]) && IsGbkTrail(p[1])) {
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
