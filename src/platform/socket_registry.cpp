#include "platform/socket_registry.h"

#include <atomic>
#include <new>
#include <unordered_map>

#include "platform/library.h"
#include "platform/mutex.h"

namespace platform {
namespace detail {

struct SocketEntry {
    NativeSocket native;
    int iInUse;  // calls in progress; guarded by the table lock
    std::atomic<bool> bClosed{false};
    std::atomic<bool> bPollable{false};
};

namespace {

// One per process (per module that links the platform layer). Numbers start
// well above the small integers of the system's descriptors, so that a mix-up
// of the two shows at once.
//
// It lives from load to unload; a library kept loaded for threads that could
// not be stopped never takes it down, since those threads may still close or
// use their sockets when their blocked calls return.
struct SocketTable {
    CriticalSection lock;
    std::unordered_map<SocketHandle, SocketEntry*> entries;  // open numbers only
    SocketHandle iNext = 1000;
};

UnloadSafe<SocketTable> g_table;

SocketTable& Table() { return g_table.Get(); }

// REQUIRES: Table().lock held.
SocketHandle TakeNextNumber() {
    for (;;) {
        SocketHandle s = Table().iNext;
        Table().iNext = (s >= 0x7FFFFFF0) ? 1000 : s + 1;
        if (Table().entries.find(s) == Table().entries.end()) return s;
    }
}

}  // namespace

SocketHandle RegisterSocket(NativeSocket native) {
    SocketEntry* pEntry = new (std::nothrow) SocketEntry;
    if (pEntry == nullptr) {
        SystemCloseSocket(native);
        return kInvalidSocket;
    }
    pEntry->native = native;
    pEntry->iInUse = 0;
    Table().lock.Enter();
    SocketHandle s = kInvalidSocket;
    try {
        s = TakeNextNumber();
        Table().entries.emplace(s, pEntry);
    } catch (...) {
        s = kInvalidSocket;
    }
    Table().lock.Leave();
    if (s == kInvalidSocket) {
        delete pEntry;
        SystemCloseSocket(native);
    }
    return s;
}

int CloseRegisteredSocket(SocketHandle s) {
    Table().lock.Enter();
    auto it = Table().entries.find(s);
    if (it == Table().entries.end()) {
        Table().lock.Leave();
        return -1;
    }
    SocketEntry* pEntry = it->second;
    Table().entries.erase(it);
    pEntry->bClosed.store(true, std::memory_order_release);
    bool bIdle = pEntry->iInUse == 0;
    if (!bIdle) {
        // The users release the system socket when the last one leaves;
        // until then the number stays taken by the system, so it cannot be
        // reused under them.
        SystemWakeSocket(pEntry->native);
    }
    Table().lock.Leave();
    if (bIdle) {
        SystemCloseSocket(pEntry->native);
        delete pEntry;
    }
    return 0;
}

int RegisteredSocketCount() {
    Table().lock.Enter();
    int iCount = static_cast<int>(Table().entries.size());
    Table().lock.Leave();
    return iCount;
}

SocketUse::SocketUse(SocketHandle s) : pEntry(nullptr) {
    Table().lock.Enter();
    auto it = Table().entries.find(s);
    if (it != Table().entries.end()) {
        pEntry = it->second;
        ++pEntry->iInUse;
    }
    Table().lock.Leave();
}

SocketUse::~SocketUse() {
    if (pEntry == nullptr) return;
    Table().lock.Enter();
    bool bLast = --pEntry->iInUse == 0 && pEntry->bClosed.load(std::memory_order_acquire);
    Table().lock.Leave();
    if (bLast) {
        SystemCloseSocket(pEntry->native);
        delete pEntry;
    }
}

NativeSocket SocketUse::Native() const { return pEntry->native; }

bool SocketUse::Closed() const { return pEntry->bClosed.load(std::memory_order_acquire); }

bool SocketUse::Pollable() const { return pEntry->bPollable.load(std::memory_order_acquire); }

void SocketUse::MarkPollable() { pEntry->bPollable.store(true, std::memory_order_release); }

}  // namespace detail
}  // namespace platform
