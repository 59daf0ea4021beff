#include "allocsweep/failing_allocator.h"

#include <dlfcn.h>
#include <link.h>
#include <malloc.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#define ALLOCSWEEP_EXPORT extern "C" __attribute__((visibility("default"), noinline))
#define ALLOCSWEEP_EXPORT_CXX __attribute__((visibility("default"), noinline))

namespace allocsweep {
namespace {

// ---- the next definitions ------------------------------------------------

struct NextFunctions {
    void* (*pfnMalloc)(size_t);
    void* (*pfnCalloc)(size_t, size_t);
    void* (*pfnRealloc)(void*, size_t);
    void (*pfnFree)(void*);
    void* (*pfnAlignedAlloc)(size_t, size_t);
    int (*pfnPosixMemalign)(void**, size_t, size_t);
    void* (*pfnMemalign)(size_t, size_t);
    void* (*pfnNew)(size_t);
    void* (*pfnNewArray)(size_t);
    void* (*pfnNewNothrow)(size_t, const std::nothrow_t&);
    void* (*pfnNewArrayNothrow)(size_t, const std::nothrow_t&);
    void* (*pfnNewAligned)(size_t, std::align_val_t);
    void* (*pfnNewArrayAligned)(size_t, std::align_val_t);
    void* (*pfnNewAlignedNothrow)(size_t, std::align_val_t, const std::nothrow_t&);
    void* (*pfnNewArrayAlignedNothrow)(size_t, std::align_val_t, const std::nothrow_t&);
};

NextFunctions g_next;
std::atomic<int> g_iResolved{0};
// Set while this thread looks the next definitions up: what the lookup
// allocates comes from the arena below.
thread_local bool t_bResolving = false;
// Above 0 while this thread is inside the allocator's own work (counting,
// walking the stack, the next definition): nothing in there is counted.
thread_local int t_iDepth = 0;

// The mangled names of operator new take size_t's letter: unsigned long
// ("m") on 64-bit Linux, unsigned int ("j") on 32-bit.
constexpr char kSizeLetter = std::is_same<size_t, unsigned long>::value ? 'm' : 'j';

template <class T>
void Lookup(T* ppfn, const char* szName) {
    char szMangled[64];
    std::snprintf(szMangled, sizeof(szMangled), szName, kSizeLetter);
    void* pSymbol = dlsym(RTLD_NEXT, szMangled);
    if (pSymbol == nullptr) {
        static const char kText[] = "failing allocator: a next definition is missing\n";
        ssize_t n = write(STDERR_FILENO, kText, sizeof(kText) - 1);
        (void)n;
        _exit(70);
    }
    std::memcpy(ppfn, &pSymbol, sizeof(pSymbol));
}

// False while this thread is in the middle of the lookup itself.
bool EnsureResolved() {
    if (g_iResolved.load(std::memory_order_acquire) != 0) return true;
    if (t_bResolving) return false;
    t_bResolving = true;
    NextFunctions next;
    // The C names hold no '%': they pass through the formatting unchanged.
    Lookup(&next.pfnMalloc, "malloc");
    Lookup(&next.pfnCalloc, "calloc");
    Lookup(&next.pfnRealloc, "realloc");
    Lookup(&next.pfnFree, "free");
    Lookup(&next.pfnAlignedAlloc, "aligned_alloc");
    Lookup(&next.pfnPosixMemalign, "posix_memalign");
    Lookup(&next.pfnMemalign, "memalign");
    Lookup(&next.pfnNew, "_Znw%c");
    Lookup(&next.pfnNewArray, "_Zna%c");
    Lookup(&next.pfnNewNothrow, "_Znw%cRKSt9nothrow_t");
    Lookup(&next.pfnNewArrayNothrow, "_Zna%cRKSt9nothrow_t");
    Lookup(&next.pfnNewAligned, "_Znw%cSt11align_val_t");
    Lookup(&next.pfnNewArrayAligned, "_Zna%cSt11align_val_t");
    Lookup(&next.pfnNewAlignedNothrow, "_Znw%cSt11align_val_tRKSt9nothrow_t");
    Lookup(&next.pfnNewArrayAlignedNothrow, "_Zna%cSt11align_val_tRKSt9nothrow_t");
    g_next = next;
    g_iResolved.store(1, std::memory_order_release);
    t_bResolving = false;
    return true;
}

// ---- the arena for the lookup's own allocations ---------------------------
// Blocks from here are never given back; free and realloc recognise them.

constexpr size_t kArenaSize = 256 * 1024;
constexpr size_t kArenaHeader = 64;  // keeps every block aligned to 64
alignas(64) unsigned char g_arena[kArenaSize];
std::atomic<size_t> g_iArenaUsed{0};

void* ArenaAlloc(size_t iSize) {
    size_t iRoom = kArenaHeader + ((iSize + kArenaHeader - 1) / kArenaHeader) * kArenaHeader;
    size_t iAt = g_iArenaUsed.fetch_add(iRoom);
    if (iAt + iRoom > kArenaSize) return nullptr;
    std::memcpy(g_arena + iAt, &iSize, sizeof(iSize));
    return g_arena + iAt + kArenaHeader;
}

bool InArena(const void* p) {
    auto* pByte = static_cast<const unsigned char*>(p);
    return pByte >= g_arena && pByte < g_arena + kArenaSize;
}

size_t ArenaBlockSize(const void* p) {
    size_t iSize;
    std::memcpy(&iSize, static_cast<const unsigned char*>(p) - kArenaHeader, sizeof(iSize));
    return iSize;
}

// ---- which calls count ---------------------------------------------------------

char g_aszCounted[kMaxCountedObjects][64] = {"libVorel.so", "libVorelCore.so", "libQuorvex.so"};
int g_iCountedObjects = 3;

std::atomic<uint64_t> g_qwCounted{0};
std::atomic<uint64_t> g_aqwByObject[kMaxCountedObjects];
std::atomic<uint64_t> g_qwThroughRuntime{0};
std::atomic<uint64_t> g_qwFailAt{0};
std::atomic<bool> g_bReport{true};

FailedCall g_failed;
std::atomic<bool> g_bFailed{false};

constexpr int kNotCounted = -1;
constexpr int kRuntime = -2;

class Inside {
public:
    Inside() { ++t_iDepth; }
    ~Inside() { --t_iDepth; }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
};

const char* BaseName(const char* szPath) {
    const char* pSlash = std::strrchr(szPath, '/');
    return pSlash != nullptr ? pSlash + 1 : szPath;
}

// The object that holds the code at pc, or null.
const link_map* ObjectAt(uintptr_t pc) {
    dl_find_object found;
    if (_dl_find_object(reinterpret_cast<void*>(pc), &found) != 0) return nullptr;
    return found.dlfo_link_map;
}

// The index of a counted object, kRuntime for the C++ runtime, or
// kNotCounted. A return address is looked up one byte back, inside the call.
int Classify(uintptr_t iReturnAddress) {
    const link_map* pMap = ObjectAt(iReturnAddress - 1);
    if (pMap == nullptr || pMap->l_name == nullptr) return kNotCounted;
    const char* szName = BaseName(pMap->l_name);
    if (std::strncmp(szName, "libstdc++.so", 12) == 0) return kRuntime;
    for (int i = 0; i < g_iCountedObjects; ++i) {
        if (std::strcmp(szName, g_aszCounted[i]) == 0) return i;
    }
    return kNotCounted;
}

// A walk up the stack from the allocation function's caller: it finds the
// first caller outside the C++ runtime, and records the frames it passes.
struct Walk {
    uintptr_t iStart;  // the allocation function's return address
    bool bStarted;
    int iOwner;  // kNotCounted until a frame outside the runtime is met
    bool bOwnerFound;
    Frame* pFrames;  // null: no recording
    int iFrames;
};

void RecordFrame(Walk* pWalk, uintptr_t ip) {
    if (pWalk->pFrames == nullptr || pWalk->iFrames >= kMaxFrames) return;
    Frame& frame = pWalk->pFrames[pWalk->iFrames++];
    const link_map* pMap = ObjectAt(ip - 1);
    const char* szName = "?";
    frame.iOffset = ip;
    if (pMap != nullptr) {
        szName = pMap->l_name != nullptr && pMap->l_name[0] != '\0' ? BaseName(pMap->l_name)
                                                                    : "(program)";
        frame.iOffset = ip - pMap->l_addr;
    }
    std::snprintf(frame.szObject, sizeof(frame.szObject), "%s", szName);
}

_Unwind_Reason_Code WalkStep(_Unwind_Context* pContext, void* pArg) {
    Walk* pWalk = static_cast<Walk*>(pArg);
    uintptr_t ip = _Unwind_GetIP(pContext);
    if (!pWalk->bStarted) {
        if (ip != pWalk->iStart) return _URC_NO_REASON;
        pWalk->bStarted = true;
    }
    RecordFrame(pWalk, ip);
    if (!pWalk->bOwnerFound) {
        int iClass = Classify(ip);
        if (iClass != kRuntime) {
            pWalk->iOwner = iClass;
            pWalk->bOwnerFound = true;
        }
    }
    bool bDone = pWalk->bOwnerFound && (pWalk->pFrames == nullptr || pWalk->iFrames >= kMaxFrames);
    return bDone ? _URC_NORMAL_STOP : _URC_NO_REASON;
}

Walk WalkFrom(uintptr_t iReturnAddress, Frame* pFrames) {
    Walk walk{iReturnAddress, false, kNotCounted, false, pFrames, 0};
    _Unwind_Backtrace(WalkStep, &walk);
    return walk;
}

void ReportFailure() {
    char szLine[2048];
    int iLength = std::snprintf(szLine, sizeof(szLine), "failing allocator: failed ");
    FormatFailedCall(g_failed, szLine + iLength, sizeof(szLine) - static_cast<size_t>(iLength));
    size_t iText = std::strlen(szLine);
    if (iText + 1 < sizeof(szLine)) {
        szLine[iText++] = '\n';
        szLine[iText] = '\0';
    }
    ssize_t n = write(STDERR_FILENO, szLine, iText);
    (void)n;
}

// Counts the call when it is one of the counted objects', and says whether
// it is the one to fail.
bool ShouldFail(const char* szKind, size_t iSize, void* pReturnAddress) {
    if (t_iDepth > 0) return false;
    Inside inside;
    uintptr_t iReturn = reinterpret_cast<uintptr_t>(pReturnAddress);
    int iObject = Classify(iReturn);
    bool bThroughRuntime = false;
    if (iObject == kRuntime) {
        iObject = WalkFrom(iReturn, nullptr).iOwner;
        bThroughRuntime = true;
    }
    if (iObject < 0) return false;
    uint64_t qwNumber = g_qwCounted.fetch_add(1) + 1;
    g_aqwByObject[iObject].fetch_add(1);
    if (bThroughRuntime) g_qwThroughRuntime.fetch_add(1);
    if (qwNumber != g_qwFailAt.load()) return false;

    g_failed.qwNumber = qwNumber;
    g_failed.szKind = szKind;
    g_failed.iSize = iSize;
    g_failed.dwThreadId = static_cast<uint32_t>(syscall(SYS_gettid));
    g_failed.iFrames = WalkFrom(iReturn, g_failed.aFrames).iFrames;
    g_bFailed.store(true, std::memory_order_release);
    if (g_bReport.load()) ReportFailure();
    return true;
}

// The next definition, called outside the counting: whatever it allocates
// for itself is its own business.
template <class Fn, class... Args>
auto CallNext(Fn pfn, Args... args) {
    Inside inside;
    return pfn(args...);
}

void* NewOrThrow(void* p) {
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void SetCountedObjects(const char* const* aszNames, int iCount) {
    if (iCount > kMaxCountedObjects) iCount = kMaxCountedObjects;
    for (int i = 0; i < iCount; ++i) {
        std::snprintf(g_aszCounted[i], sizeof(g_aszCounted[i]), "%s", aszNames[i]);
    }
    g_iCountedObjects = iCount;
}

void FailNth(uint64_t qwNth) { g_qwFailAt.store(qwNth); }

void ResetCounts() {
    g_qwCounted.store(0);
    for (auto& count : g_aqwByObject) count.store(0);
    g_qwThroughRuntime.store(0);
    g_bFailed.store(false);
}

void SetReportOnFailure(bool bReport) { g_bReport.store(bReport); }

Counts GetCounts() {
    Counts counts{};
    counts.qwTotal = g_qwCounted.load();
    for (int i = 0; i < kMaxCountedObjects; ++i) counts.aqwByObject[i] = g_aqwByObject[i].load();
    counts.qwThroughRuntime = g_qwThroughRuntime.load();
    return counts;
}

bool GetFailedCall(FailedCall* pOut) {
    if (!g_bFailed.load(std::memory_order_acquire)) return false;
    *pOut = g_failed;
    return true;
}

void FormatFailedCall(const FailedCall& call, char* szOut, size_t iSize) {
    if (iSize == 0) return;
    size_t iAt = 0;
    auto append = [&](int iWritten) {
        if (iWritten > 0) iAt += static_cast<size_t>(iWritten);
        if (iAt >= iSize) iAt = iSize - 1;
    };
    append(std::snprintf(szOut, iSize, "%s(%zu) #%llu in thread %u at", call.szKind, call.iSize,
                         static_cast<unsigned long long>(call.qwNumber), call.dwThreadId));
    for (int i = 0; i < call.iFrames; ++i) {
        append(std::snprintf(szOut + iAt, iSize - iAt, "%s %s+0x%llx", i == 0 ? "" : " <",
                             call.aFrames[i].szObject,
                             static_cast<unsigned long long>(call.aFrames[i].iOffset)));
    }
}

}  // namespace allocsweep

using allocsweep::CallNext;
using allocsweep::EnsureResolved;
using allocsweep::g_next;
using allocsweep::ShouldFail;

// ---- the C functions ------------------------------------------------------------

ALLOCSWEEP_EXPORT void* malloc(size_t iSize) noexcept {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::ArenaAlloc(iSize);
    if (ShouldFail("malloc", iSize, pCaller)) {
        errno = ENOMEM;
        return nullptr;
    }
    return CallNext(g_next.pfnMalloc, iSize);
}

ALLOCSWEEP_EXPORT void* calloc(size_t iCount, size_t iSize) noexcept {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) {
        // The arena is zero and never reused.
        if (iSize != 0 && iCount > SIZE_MAX / iSize) return nullptr;
        return allocsweep::ArenaAlloc(iCount * iSize);
    }
    if (ShouldFail("calloc", iCount * iSize, pCaller)) {
        errno = ENOMEM;
        return nullptr;
    }
    return CallNext(g_next.pfnCalloc, iCount, iSize);
}

ALLOCSWEEP_EXPORT void* realloc(void* p, size_t iSize) noexcept {
    void* pCaller = __builtin_return_address(0);
    if (p != nullptr && allocsweep::InArena(p)) {
        // Moved out of the arena: by the next malloc once it is known.
        void* pNew =
            EnsureResolved() ? CallNext(g_next.pfnMalloc, iSize) : allocsweep::ArenaAlloc(iSize);
        if (pNew != nullptr) {
            size_t iOld = allocsweep::ArenaBlockSize(p);
            std::memcpy(pNew, p, iOld < iSize ? iOld : iSize);
        }
        return pNew;
    }
    if (!EnsureResolved()) return allocsweep::ArenaAlloc(iSize);
    // realloc(p, 0) frees: nothing to fail.
    if ((p == nullptr || iSize != 0) && ShouldFail("realloc", iSize, pCaller)) {
        errno = ENOMEM;
        return nullptr;
    }
    return CallNext(g_next.pfnRealloc, p, iSize);
}

ALLOCSWEEP_EXPORT void free(void* p) noexcept {
    if (p == nullptr || allocsweep::InArena(p)) return;
    if (!EnsureResolved()) return;  // cannot happen: nothing was allocated yet
    CallNext(g_next.pfnFree, p);
}

ALLOCSWEEP_EXPORT void* aligned_alloc(size_t iAlignment, size_t iSize) noexcept {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::ArenaAlloc(iSize);
    if (ShouldFail("aligned_alloc", iSize, pCaller)) {
        errno = ENOMEM;
        return nullptr;
    }
    return CallNext(g_next.pfnAlignedAlloc, iAlignment, iSize);
}

ALLOCSWEEP_EXPORT int posix_memalign(void** pp, size_t iAlignment, size_t iSize) noexcept {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) {
        *pp = allocsweep::ArenaAlloc(iSize);
        return *pp != nullptr ? 0 : ENOMEM;
    }
    if (ShouldFail("posix_memalign", iSize, pCaller)) return ENOMEM;
    return CallNext(g_next.pfnPosixMemalign, pp, iAlignment, iSize);
}

ALLOCSWEEP_EXPORT void* memalign(size_t iAlignment, size_t iSize) noexcept {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::ArenaAlloc(iSize);
    if (ShouldFail("memalign", iSize, pCaller)) {
        errno = ENOMEM;
        return nullptr;
    }
    return CallNext(g_next.pfnMemalign, iAlignment, iSize);
}

// ---- operator new ----------------------------------------------------------------
// The forms that throw throw std::bad_alloc, as the runtime's do when no
// new-handler is installed.

ALLOCSWEEP_EXPORT_CXX void* operator new(size_t iSize) {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::NewOrThrow(allocsweep::ArenaAlloc(iSize));
    if (ShouldFail("operator new", iSize, pCaller)) throw std::bad_alloc();
    return CallNext(g_next.pfnNew, iSize);
}

ALLOCSWEEP_EXPORT_CXX void* operator new[](size_t iSize) {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::NewOrThrow(allocsweep::ArenaAlloc(iSize));
    if (ShouldFail("operator new[]", iSize, pCaller)) throw std::bad_alloc();
    return CallNext(g_next.pfnNewArray, iSize);
}

ALLOCSWEEP_EXPORT_CXX void* operator new(size_t iSize, const std::nothrow_t& tag) noexcept {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::ArenaAlloc(iSize);
    if (ShouldFail("operator new(nothrow)", iSize, pCaller)) return nullptr;
    return CallNext(g_next.pfnNewNothrow, iSize, tag);
}

ALLOCSWEEP_EXPORT_CXX void* operator new[](size_t iSize, const std::nothrow_t& tag) noexcept {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::ArenaAlloc(iSize);
    if (ShouldFail("operator new[](nothrow)", iSize, pCaller)) return nullptr;
    return CallNext(g_next.pfnNewArrayNothrow, iSize, tag);
}

ALLOCSWEEP_EXPORT_CXX void* operator new(size_t iSize, std::align_val_t alignment) {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::NewOrThrow(allocsweep::ArenaAlloc(iSize));
    if (ShouldFail("operator new(align)", iSize, pCaller)) throw std::bad_alloc();
    return CallNext(g_next.pfnNewAligned, iSize, alignment);
}

ALLOCSWEEP_EXPORT_CXX void* operator new[](size_t iSize, std::align_val_t alignment) {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::NewOrThrow(allocsweep::ArenaAlloc(iSize));
    if (ShouldFail("operator new[](align)", iSize, pCaller)) throw std::bad_alloc();
    return CallNext(g_next.pfnNewArrayAligned, iSize, alignment);
}

ALLOCSWEEP_EXPORT_CXX void* operator new(size_t iSize, std::align_val_t alignment,
                                         const std::nothrow_t& tag) noexcept {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::ArenaAlloc(iSize);
    if (ShouldFail("operator new(align, nothrow)", iSize, pCaller)) return nullptr;
    return CallNext(g_next.pfnNewAlignedNothrow, iSize, alignment, tag);
}

ALLOCSWEEP_EXPORT_CXX void* operator new[](size_t iSize, std::align_val_t alignment,
                                           const std::nothrow_t& tag) noexcept {
    void* pCaller = __builtin_return_address(0);
    if (!EnsureResolved()) return allocsweep::ArenaAlloc(iSize);
    if (ShouldFail("operator new[](align, nothrow)", iSize, pCaller)) return nullptr;
    return CallNext(g_next.pfnNewArrayAlignedNothrow, iSize, alignment, tag);
}
