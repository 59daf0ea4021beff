/* Stand-in windows for hosts without a window system of their own.
 *
 * On Windows the game hands Vorel a real HWND and receives WM_COPYDATA in its
 * window procedure. Elsewhere there is no HWND, so Vorel provides small
 * stand-ins with the same contract: a host creates one with a window
 * procedure, passes it to SetMessageWnd, and receives the same WM_COPYDATA
 * notices, delivered synchronously on the thread that sends them.
 * On Windows this header declares nothing. */
#ifndef VOREL_WINDOW_H
#define VOREL_WINDOW_H

#if !defined(_WIN32)

#include <stdint.h>

#include "vorel_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HWND__* HWND;

#ifndef WM_COPYDATA
#define WM_COPYDATA 0x004A
#endif

/* The lParam of WM_COPYDATA points to this record, laid out as on Windows. */
typedef struct tagCOPYDATASTRUCT {
    uintptr_t dwData;
    uint32_t cbData;
    void* lpData;
} COPYDATASTRUCT;

/* A window procedure: message, wParam, lParam; the result goes back to the
 * sender. */
typedef intptr_t (*VOREL_WNDPROC)(HWND hWnd, unsigned int uMsg, uintptr_t wParam, intptr_t lParam);

/* Creates a stand-in window that delivers messages to pfnWndProc; pUser is
 * kept for VorelGetWindowUser. Returns null when pfnWndProc is null or
 * there is no memory for the window. */
VOREL_API HWND VorelCreateWindow(VOREL_WNDPROC pfnWndProc, void* pUser);

/* Destroys it: from then on it is no window, and once this returns no call
 * of its procedure is running on another thread. A window procedure may
 * destroy its own window. */
VOREL_API void VorelDestroyWindow(HWND hWnd);

/* The pUser given at creation, or null when hWnd is not a window. */
VOREL_API void* VorelGetWindowUser(HWND hWnd);

#ifdef __cplusplus
}
#endif

#endif /* !_WIN32 */
#endif /* VOREL_WINDOW_H */
