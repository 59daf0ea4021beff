// Field splitter of the support library: cuts a text in place at a separator
// character. One pass over the text, no allocation.

#include <cstring>

#include "support/quorvex.h"

namespace {

// True for a separator byte. The terminator never is one, which keeps the
// scans below inside the text when the separator asked for is '\0' itself
// (a text then has no separators and is one field).
inline bool IsSeparator(char c, char cSep) { return c != '\0' && c == cSep; }

// The last field allowed: it keeps the rest of the text, inner separators
// included, with the separators at its end cut off.
void CloseLastField(char* szField, char cSep) {
    char* pEnd = szField + std::strlen(szField);
    // szField starts on a non-separator, so the loop stops before it.
    while (pEnd > szField && IsSeparator(pEnd[-1], cSep)) --pEnd;
    *pEnd = '\0';
}

}  // namespace

extern "C" int split_CharLine(char** ppFields, int iLimit, char* szText, char cSep) {
    if (ppFields == nullptr || szText == nullptr || iLimit < 1) return 0;

    int iCount = 0;
    char* p = szText;
    for (;;) {
        while (IsSeparator(*p, cSep)) ++p;
        if (*p == '\0') break;

        ppFields[iCount++] = p;
        if (iCount == iLimit) {
            CloseLastField(p, cSep);
            break;
        }
        while (*p != '\0' && !IsSeparator(*p, cSep)) ++p;
        if (*p == '\0') break;
        *p++ = '\0';
    }
    return iCount;
}
