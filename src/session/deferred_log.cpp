#include "session/deferred_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "base/log_file.h"
#include "base/text.h"
#include "support/quorvex.h"

namespace {

// Whether the format's only conversions are %d and %%.
bool OnlyIntegers(const char* szFormat) {
    for (const char* p = std::strchr(szFormat, '%'); p != nullptr; p = std::strchr(p + 2, '%')) {
        if (p[1] != 'd' && p[1] != '%') return false;
    }
    return true;
}

// vsnprintf for formats whose only conversions are %d and %%, as the
// session's lines for every request and answer have, at a fraction of its
// cost: the same text, cut and terminated alike, and the same result (the
// length of the whole text). REQUIRES: OnlyIntegers(szFormat).
int FormatIntegers(char* pOut, size_t iRoom, const char* szFormat, va_list args) {
    size_t iLength = 0;
    // Appends what fits of iBytes bytes, counting them all.
    auto put = [&](const char* pBytes, size_t iBytes) {
        if (iLength + 1 < iRoom) {
            size_t iFits = iRoom - 1 - iLength;
            std::memcpy(pOut + iLength, pBytes, iBytes < iFits ? iBytes : iFits);
        }
        iLength += iBytes;
    };
    const char* p = szFormat;
    for (const char* pPercent; (pPercent = std::strchr(p, '%')) != nullptr; p = pPercent + 2) {
        put(p, static_cast<size_t>(pPercent - p));
        if (pPercent[1] == '%') {
            put("%", 1);
        } else {
            char szNumber[kDecimalSize];
            put(szNumber, FormatDecimal(szNumber, va_arg(args, int)));
        }
    }
    put(p, std::strlen(p));
    if (iRoom > 0) pOut[iLength < iRoom ? iLength : iRoom - 1] = '\0';
    return static_cast<int>(iLength);
}

}  // namespace

DeferredLog::~DeferredLog() {
    WriteOut();
    if (pText_ != inline_) ZeroFree(pText_);
}

bool DeferredLog::Reserve(size_t iMore) {
    if (iCapacity_ - iUsed_ >= iMore) return true;
    size_t iCapacity = iCapacity_ * 2;
    if (iCapacity - iUsed_ < iMore) iCapacity = iUsed_ + iMore;
    char* pText = static_cast<char*>(ZeroAlloc(iCapacity));
    if (pText == nullptr) return false;
    std::memcpy(pText, pText_, iUsed_);
    if (pText_ != inline_) ZeroFree(pText_);
    pText_ = pText;
    iCapacity_ = iCapacity;
    return true;
}

void DeferredLog::Add(const char* szFormat, ...) {
    va_list args;
    va_start(args, szFormat);
    va_list argsAgain;
    va_copy(argsAgain, args);
    int iText = OnlyIntegers(szFormat)
                    ? FormatIntegers(pText_ + iUsed_, iCapacity_ - iUsed_, szFormat, args)
                    : std::vsnprintf(pText_ + iUsed_, iCapacity_ - iUsed_, szFormat, args);
    va_end(args);
    if (iText >= 0) {
        size_t iNeeded = static_cast<size_t>(iText) + 1;
        if (iNeeded <= iCapacity_ - iUsed_) {
            iUsed_ += iNeeded;
        } else if (Reserve(iNeeded)) {
            std::vsnprintf(pText_ + iUsed_, iCapacity_ - iUsed_, szFormat, argsAgain);
            iUsed_ += iNeeded;
        } else {
            // No memory for more: the lines kept so far go out now, and this
            // one takes the emptied area (cut to it, should it be longer).
            WriteOut();
            std::vsnprintf(pText_, iCapacity_, szFormat, argsAgain);
            iUsed_ = std::strlen(pText_) + 1;
        }
    }
    va_end(argsAgain);
}

void DeferredLog::WriteOut() {
    if (iUsed_ == 0) return;
    WriteFileBatch(LogFile(), pText_, iUsed_);
    iUsed_ = 0;
}
