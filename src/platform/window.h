// The game's window: test whether a handle is a window, and send it a
// synchronous WM_COPYDATA. On Windows this is the real window manager; on
// other systems the stand-in windows of <vorel/vorel_window.h>.
#pragma once

#include <cstdint>

struct HWND__;

namespace platform {

using WindowHandle = HWND__*;

constexpr unsigned int kWmCopyData = 0x004A;  // WM_COPYDATA

// IsWindow: true while hWnd names an existing window.
bool IsWindowHandle(WindowHandle hWnd);

// SendMessageA(hWnd, WM_COPYDATA, 0, &COPYDATASTRUCT{dwData, cbData, lpData}):
// returns once the window procedure has returned, with its result; 0 when
// hWnd is not a window.
intptr_t SendCopyData(WindowHandle hWnd, uintptr_t dwData, uint32_t cbData, const void* lpData);

// Whether a message sent to hWnd now would be handled by the calling thread:
// then a thread that sends it waits for this thread to come back.
bool WindowHandledByCallingThread(WindowHandle hWnd);

}  // namespace platform
