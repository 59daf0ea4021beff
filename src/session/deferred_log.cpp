#include "session/deferred_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "frame/alloc.h"
#include "frame/engine.h"

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
    int iText = std::vsnprintf(pText_ + iUsed_, iCapacity_ - iUsed_, szFormat, args);
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
    size_t p = 0;
    while (p < iUsed_) {
        const char* szLine = pText_ + p;
        WriteFileNew(LogFile(), "%s", szLine);
        p += std::strlen(szLine) + 1;
    }
    iUsed_ = 0;
}
