#include "frame/text.h"

#include <climits>

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
