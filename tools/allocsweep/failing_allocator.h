// An allocator that fails one chosen allocation of chosen shared objects.
//
// A program that links failing_allocator.cpp defines malloc, calloc,
// realloc, free, aligned_alloc, posix_memalign, memalign and every form of
// operator new itself (exported through failing_allocator.dynlist, so that the
// shared objects it loads bind to them) and hands each call on to the next
// definition in the lookup order: the C library and the C++ runtime, or a
// sanitizer's allocator when one is linked in, so that every block is freed
// by the allocator that made it.
//
// A call is counted when it comes from one of the counted shared objects:
// its return address lies in one of them, or it lies in the C++ runtime
// (libstdc++: std::string and other code the runtime instantiates) and the
// first caller outside the runtime lies in one of them. Calls from anywhere
// else (this program, the C library, libcurl) are not counted. The counted
// calls are numbered from 1; the one whose number is chosen with FailNth
// fails as the real function fails when memory runs out: null (and ENOMEM)
// from the C functions and the nothrow forms of operator new, ENOMEM from
// posix_memalign, std::bad_alloc from the other forms of operator new.
#pragma once

#include <cstddef>
#include <cstdint>

namespace allocsweep {

constexpr int kMaxCountedObjects = 4;
constexpr int kMaxFrames = 16;

// The shared objects whose calls are counted, by file name without the
// directory ("libVorelCore.so"); at most kMaxCountedObjects. Call before any
// of them allocates and before other threads start. The default is the
// library's three objects: libVorel.so, libVorelCore.so, libQuorvex.so.
void SetCountedObjects(const char* const* aszNames, int iCount);

// The counted call with this number fails; 0: none fails.
void FailNth(uint64_t qwNth);

// Restarts the numbering and forgets the failed call (for tests).
void ResetCounts();

// Writes a line describing the failed call to standard error as it fails
// (on by default).
void SetReportOnFailure(bool bReport);

struct Counts {
    uint64_t qwTotal;                          // every counted call
    uint64_t aqwByObject[kMaxCountedObjects];  // in the order of SetCountedObjects
    uint64_t qwThroughRuntime;                 // of the total: made by the C++ runtime
};
Counts GetCounts();

// One caller's place: the file name of its object and the offset from the
// object's load address, as addr2line takes it.
struct Frame {
    char szObject[64];
    uintptr_t iOffset;
};

// The failed call, once it has happened.
struct FailedCall {
    uint64_t qwNumber;
    const char* szKind;  // "malloc", "operator new[](nothrow)", ...
    size_t iSize;
    uint32_t dwThreadId;
    int iFrames;
    Frame aFrames[kMaxFrames];  // the caller first
};
// True, with the record, when the chosen call has failed.
bool GetFailedCall(FailedCall* pOut);

// "KIND(SIZE) #N in thread T at OBJECT+0xOFFSET < OBJECT+0xOFFSET ...",
// the callers innermost first; written into szOut (always terminated).
void FormatFailedCall(const FailedCall& call, char* szOut, size_t iSize);

}  // namespace allocsweep
