// The DLL's entry point: the load and unload hooks. The C runtime calls it
// before it destroys the library's C++ statics at detach, so the unload hook
// still finds them alive. It runs under the loader lock: the hooks must not
// wait for anything that needs that lock (see the engine shutdown).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/library.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
    (void)hInstance;
    if (dwReason == DLL_PROCESS_ATTACH) {
        OnLibraryLoad();
    } else if (dwReason == DLL_PROCESS_DETACH) {
        // A non-null lpReserved: the process is ending and its other threads
        // are already gone.
        OnLibraryUnload(lpReserved != nullptr);
    }
    return TRUE;
}
