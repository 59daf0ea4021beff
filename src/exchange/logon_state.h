// The game's log-on as the library sees it, and the window that hears when
// it is lost. Written by the game's calls (the request types, the window)
// and by the session (the log-on answer, a lost connection); read without a
// lock by both.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/packet.h"
#include "platform/window.h"

struct LogonState {
    // 0 not logged on, 1 logged on, 2 the connection was lost while logged on.
    std::atomic<int32_t> iUserStatus1{0};
    // 1 after a log-on request (type 201), 0 after a log-off (type 207):
    // while it is 1 and the user is logged on, a lost connection and the
    // server's disconnect notice reach the game's window.
    std::atomic<int32_t> iLoginFlag{0};
    std::atomic<platform::WindowHandle> hGameWnd{nullptr};

    // A request's type sets the flag (201) or clears it (207), whatever
    // becomes of the request itself; other types leave it.
    void NoteRequestType(int iType) {
        if (iType == kTypeLogonRequest) {
            iLoginFlag = 1;
        } else if (iType == kTypeLogoffRequest) {
            iLoginFlag = 0;
        }
    }

    // The connection was lost: a user logged on is now one who lost it.
    void MarkLost() {
        int32_t iLoggedOn = 1;
        iUserStatus1.compare_exchange_strong(iLoggedOn, 2);
    }
};
