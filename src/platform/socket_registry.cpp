#include "platform/socket_registry.h"

#include <atomic>
#include <new>
#include <unordered_map>

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
struct SocketTable {
    CriticalSection lock;
    std::unordered_map<SocketHandle, SocketEntry*> entries;  // open numbers only
    SocketHandle iNext = 1000;
};

SocketTable g_table;

// REQUIRES: g_table.lock held.
SocketHandle TakeNextNumber() {
    for (;;) {
        SocketHandle s = g_table.iNext;
        g_table.iNext = (s >= 0x7FFFFFF0) ? 1000 : s + 1;
        if (g_table.entries.find(s) == g_table.entries.end()) return s;
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
    g_table.lock.Enter();
    SocketHandle s = kInvalidSocket;
    try {
        s = TakeNextNumber();
        g_table.entries.emplace(s, pEntry);
    } catch (...) {
        s = kInvalidSocket;
    }
    g_table.lock.Leave();
    if (s == kInvalidSocket) {
        delete pEntry;
        SystemCloseSocket(native);
    }
    return s;
}

int CloseRegisteredSocket(SocketHandle s) {
    g_table.lock.Enter();
    auto it = g_table.entries.find(s);
    if (it == g_table.entries.end()) {
        g_table.lock.Leave();
        return -1;
    }
    SocketEntry* pEntry = it->second;
    g_table.entries.erase(it);
    pEntry->bClosed.store(true, std::memory_order_release);
    bool bIdle = pEntry->iInUse == 0;
    if (!bIdle) {
        // The users release the system socket when the last one leaves;
        // until then the number stays taken by the system, so it cannot be
        // reused under them.
        SystemWakeSocket(pEntry->native);
    }
    g_table.lock.Leave();
    if (bIdle) {
        SystemCloseSocket(pEntry->native);
        delete pEntry;
    }
    return 0;
}

int RegisteredSocketCount() {
    g_table.lock.Enter();
    int iCount = static_cast<int>(g_table.entries.size());
    g_table.lock.Leave();
    return iCount;
}

SocketUse::SocketUse(SocketHandle s) : pEntry(nullptr) {
    g_table.lock.Enter();
    auto it = g_table.entries.find(s);
    if (it != g_table.entries.end()) {
        pEntry = it->second;
        ++pEntry->iInUse;
    }
    g_table.lock.Leave();
}

SocketUse::~SocketUse() {
    if (pEntry == nullptr) return;
    g_table.lock.Enter();
    bool bLast = --pEntry->iInUse == 0 && pEntry->bClosed.load(std::memory_order_acquire);
    g_table.lock.Leave();
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
