// The game's window on Windows: the window manager itself.
#include "platform/window.h"

#include <windows.h>

#include <type_traits>

namespace platform {

static_assert(std::is_same<WindowHandle, HWND>::value, "our window handle is the system's HWND");
static_assert(kWmCopyData == WM_COPYDATA, "WM_COPYDATA");

bool IsWindowHandle(WindowHandle hWnd) { return hWnd != nullptr && IsWindow(hWnd) != FALSE; }

intptr_t SendCopyData(WindowHandle hWnd, uintptr_t dwData, uint32_t cbData, const void* lpData) {
    if (!IsWindowHandle(hWnd)) return 0;
    COPYDATASTRUCT data;
    data.dwData = static_cast<ULONG_PTR>(dwData);
    data.cbData = static_cast<DWORD>(cbData);
    // The receiver gets a read-only copy; the field is merely declared
    // writable.
    data.lpData = const_cast<void*>(lpData);
    // A window that goes away in between makes SendMessageA return 0.
    return static_cast<intptr_t>(
        SendMessageA(hWnd, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)));
}

// The window's own thread runs its procedure for messages sent from others.
bool WindowHandledByCallingThread(WindowHandle hWnd) {
    return IsWindowHandle(hWnd) && GetWindowThreadProcessId(hWnd, nullptr) == GetCurrentThreadId();
}

}  // namespace platform
