#include "session/session_state.h"

#include "base/engine.h"
#include "base/lock.h"
#include "exchange/queue_table.h"

SessionStatics g_sessionStatics;

void SessionSleep(ClientEngine& engine, uint32_t dwMs) {
    engine.AssertNoLockHeld();
    if (engine.iRunState.load() != 1) return;
    engine.stopSignal.WaitFor(dwMs);
}

void SendGameNotice(ClientEngine& engine, platform::WindowHandle hWnd, int iData) {
    engine.AssertNoLockHeld();
    engine.hNoticeWindow = hWnd;
    platform::SendCopyData(hWnd, static_cast<uintptr_t>(iData), 0, nullptr);
    engine.hNoticeWindow = nullptr;
}

void ResetReadSide(SessionState& state) {
    state.framer.Reset();
    state.iBusyReadRetries = 0;
    state.iSendRetries = 0;
}

int CountPendingMessages(ClientEngine& engine) {
    engine.lockTable.AssertHeld();
    int iPending = 0;
    ForEachQueue(engine.pQueueTable, [&iPending](MESSAGE_QUEUE* pQueue) {
        KMutexAdaptor<KThreadMutex> guard(pQueue->lock, -1);
        for (MESSAGE_NODE* pNode = pQueue->pHead; pNode != nullptr; pNode = pNode->pNext) {
            if (pNode->iDone == 0) ++iPending;
        }
        return QueueWalk::kNext;
    });
    return iPending;
}
