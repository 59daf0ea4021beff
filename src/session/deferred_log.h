// Log lines made while the session thread holds lockTable, kept as text and
// written to the log once the lock is left, in the order in which they were
// made. Writing a line appends to a file, which may wait on the disk; the
// game's threads, which take lockTable for every call, must not wait for it.
#pragma once

#include <cstddef>

class DeferredLog {
public:
    DeferredLog() = default;
    // Writes what is still kept, so that no line is lost with its owner.
    ~DeferredLog();
    DeferredLog(const DeferredLog&) = delete;
    DeferredLog& operator=(const DeferredLog&) = delete;

    // Formats one line now (printf-style, as WriteFileNew takes it) and keeps
    // it. Without memory for more lines, those kept so far are written at
    // once: early lines are better than lost ones.
    void Add(const char* szFormat, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;

    // Writes every line kept, in order, one log entry each, and empties the
    // list. The area grown for a burst is kept for the next one.
    void WriteOut();

    // Writes the lines of a DeferredLog when the scope ends. Declared before
    // the lock guard of the same scope, it runs after the guard has left the
    // lock, also when an exception leaves the scope.
    class WriteAtScopeEnd {
    public:
        explicit WriteAtScopeEnd(DeferredLog& log) : log_(log) {}
        ~WriteAtScopeEnd() { log_.WriteOut(); }
        WriteAtScopeEnd(const WriteAtScopeEnd&) = delete;
        WriteAtScopeEnd& operator=(const WriteAtScopeEnd&) = delete;

    private:
        DeferredLog& log_;
    };

private:
    // Room for iMore bytes behind the kept lines; false without memory.
    bool Reserve(size_t iMore);

    // Most gatherings write a few lines: those fit here without allocation.
    static constexpr size_t kInlineSize = 4096;
    char inline_[kInlineSize];
    char* pText_ = inline_;  // the lines, each followed by a zero byte
    size_t iUsed_ = 0;
    size_t iCapacity_ = kInlineSize;
};
