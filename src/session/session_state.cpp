#include "session/session_state.h"

#include "base/lock.h"
#include "exchange/queue_table.h"
#include "session/engine.h"

SessionStatics g_sessionStatics;

void SessionSleep(ClientEngine& engine, uint32_t dwMs) {
    engine.AssertNoLockHeld();
    if (engine.iRunState.load() != 1) return;
    engine.stopSignal.WaitFor(dwMs);
}

void SendGameNotice(ClientEngine& engine, platform::WindowHandle hWnd, int iData) {
    engine.AssertNoLockHeld();
    engine.threads.hNoticeWindow = hWnd;
    platform::SendCopyData(hWnd, static_cast<uintptr_t>(iData), 0, nullptr);
    engine.threads.hNoticeWindow = nullptr;
}

void ResetReadSide(SessionState& state) {
    state.framer.Reset();
    state.iBusyReadRetries = 0;
    state.iSendRetries = 0;
}
