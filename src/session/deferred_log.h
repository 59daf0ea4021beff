// Log lines of the session thread kept as text and written to the log
// together, as one append, in the order in which they were made: the lines
// of a gathering, made while the table's lock is held, once it is left (a
// write may wait on the disk, and the game's threads, which take that lock
// for every call, must not wait for it); the lines of a receive once its
// packets are parsed. One write for many lines costs the thread a fraction
// of one write for each.
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

    // Writes every line kept, in order, each a log entry of its own, with
    // one append (one for each 64 KiB), and empties the list. The area grown
    // for a burst is kept for the next one.
    void WriteOut();

    // Whether the lines kept have reached kWriteOutBytes: time to write them
    // out, so that a long run of lines holds little memory. With their time
    // stamps, the session's lines of that many bytes go to the file in one
    // write (the writer's are of at most 64 KiB).
    bool Full() const { return iUsed_ >= kWriteOutBytes; }
    static constexpr size_t kWriteOutBytes = 32 * 1024;

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
