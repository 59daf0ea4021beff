// libVorel.so, the shared object that games load on POSIX systems: the
// exports, each handed on to the library's code in libVorelCore.so beside
// it. The front loads that object as it is loaded itself and releases it as
// it is unloaded, but only when every thread of the library has stopped. A
// thread still running at the unload's bound (inside a name lookup that does
// not return, or inside the game's window procedure that unloads the
// library while the session thread waits for it) keeps the core loaded
// until the process ends, so that it never returns into unmapped code, as
// pinning the module does on Windows. A later load finds the same core.
#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "vorel/vorel.h"
#include "vorel/vorel_window.h"

namespace {

struct Core {
    void* hLibrary = nullptr;
    void (*pfnLoad)() = nullptr;
    int (*pfnUnload)() = nullptr;
    int (*pfnWrite_Message1)(int, const char*, int) = nullptr;
    int (*pfnRead_Message1)(int, char*, int, int, int) = nullptr;
    int (*pfnRead_Message2)(int*, char*, int, int, int) = nullptr;
    int (*pfnDownloadFile)(const char*, const char*) = nullptr;
    int (*pfnDownload_File_EX)(const char*, const char*) = nullptr;
    int (*pfninit)(const char*, int) = nullptr;
    int (*pfnSetMessageWnd)(HWND) = nullptr;
    HWND (*pfnVorelCreateWindow)(VOREL_WNDPROC, void*) = nullptr;
    void (*pfnVorelDestroyWindow)(HWND) = nullptr;
    void* (*pfnVorelGetWindowUser)(HWND) = nullptr;
};

Core g_core;

template <class T>
bool Resolve(T* ppfn, const char* szName) {
    *ppfn = reinterpret_cast<T>(dlsym(g_core.hLibrary, szName));
    if (*ppfn == nullptr) fprintf(stderr, "libVorel.so: %s is missing from the core\n", szName);
    return *ppfn != nullptr;
}

// The core is looked for beside this object, whatever the search path.
// Loading allocates nothing of its own: an allocation that failed here
// would abort the game inside its dlopen. False when the path does not fit.
bool CorePath(char* szPath, size_t iSize) {
    static const char kCoreName[] = "libVorelCore.so";
    Dl_info info;
    const char* szSelf = nullptr;
    if (dladdr(reinterpret_cast<void*>(&CorePath), &info) != 0) szSelf = info.dli_fname;
    const char* pSlash = szSelf != nullptr ? strrchr(szSelf, '/') : nullptr;
    size_t iDir = pSlash != nullptr ? static_cast<size_t>(pSlash - szSelf) + 1 : 0;
    if (iDir + sizeof(kCoreName) > iSize) return false;
    memcpy(szPath, szSelf, iDir);
    memcpy(szPath + iDir, kCoreName, sizeof(kCoreName));
    return true;
}

__attribute__((constructor)) void LoadCore() {
    char szPath[PATH_MAX];
    if (!CorePath(szPath, sizeof(szPath))) {
        fprintf(stderr, "libVorel.so: the path of libVorelCore.so is too long\n");
        return;
    }
    g_core.hLibrary = dlopen(szPath, RTLD_NOW | RTLD_LOCAL);
    if (g_core.hLibrary == nullptr) {
        fprintf(stderr, "libVorel.so: cannot load %s: %s\n", szPath, dlerror());
        return;
    }
    bool bAll = Resolve(&g_core.pfnLoad, "VorelCoreLoad") &&
                Resolve(&g_core.pfnUnload, "VorelCoreUnload") &&
                Resolve(&g_core.pfnWrite_Message1, "Write_Message1") &&
                Resolve(&g_core.pfnRead_Message1, "Read_Message1") &&
                Resolve(&g_core.pfnRead_Message2, "Read_Message2") &&
                Resolve(&g_core.pfnDownloadFile, "DownloadFile") &&
                Resolve(&g_core.pfnDownload_File_EX, "Download_File_EX") &&
                Resolve(&g_core.pfninit, "init") &&
                Resolve(&g_core.pfnSetMessageWnd, "_Z13SetMessageWndP6HWND__") &&
                Resolve(&g_core.pfnVorelCreateWindow, "VorelCreateWindow") &&
                Resolve(&g_core.pfnVorelDestroyWindow, "VorelDestroyWindow") &&
                Resolve(&g_core.pfnVorelGetWindowUser, "VorelGetWindowUser");
    if (!bAll) {
        dlclose(g_core.hLibrary);
        g_core = Core();
        return;
    }
    g_core.pfnLoad();
}

__attribute__((destructor)) void UnloadCore() {
    if (g_core.hLibrary == nullptr) return;
    // Left loaded, deliberately, when a thread could not be stopped.
    if (g_core.pfnUnload() != 0) dlclose(g_core.hLibrary);
    g_core = Core();
}

}  // namespace

// Without the core every call fails as the library's own boundary does on
// an internal failure.
extern "C" VOREL_API int Write_Message1(int iType, const char* szInput, int iInputLength) {
    if (g_core.pfnWrite_Message1 == nullptr) return -9;
    return g_core.pfnWrite_Message1(iType, szInput, iInputLength);
}

extern "C" VOREL_API int Read_Message1(int iType, char* OutputBuff, int iOutputLength, int iTimeout,
                                       int iQueueId) {
    if (g_core.pfnRead_Message1 == nullptr) return -9;
    return g_core.pfnRead_Message1(iType, OutputBuff, iOutputLength, iTimeout, iQueueId);
}

extern "C" VOREL_API int Read_Message2(int* piType, char* OutputBuff, int iOutputLength,
                                       int iTimeout, int iReserved) {
    if (g_core.pfnRead_Message2 == nullptr) return -9;
    return g_core.pfnRead_Message2(piType, OutputBuff, iOutputLength, iTimeout, iReserved);
}

extern "C" VOREL_API int DownloadFile(const char* szUrl, const char* szLocalFile) {
    if (g_core.pfnDownloadFile == nullptr) return -9;
    return g_core.pfnDownloadFile(szUrl, szLocalFile);
}

extern "C" VOREL_API int Download_File_EX(const char* szUrl, const char* szLocalFile) {
    if (g_core.pfnDownload_File_EX == nullptr) return 1;
    return g_core.pfnDownload_File_EX(szUrl, szLocalFile);
}

extern "C" VOREL_API int init(const char* szHost, int iPort) {
    if (g_core.pfninit == nullptr) return -9;
    return g_core.pfninit(szHost, iPort);
}

VOREL_API int SetMessageWnd(HWND hWnd) {
    if (g_core.pfnSetMessageWnd == nullptr) return 0;
    return g_core.pfnSetMessageWnd(hWnd);
}

// C callers reach SetMessageWnd under its plain name: the header declares
// it with C linkage there.
extern "C" VOREL_API int SetMessageWndForC(HWND hWnd) __asm__("SetMessageWnd");
int SetMessageWndForC(HWND hWnd) { return SetMessageWnd(hWnd); }

extern "C" VOREL_API HWND VorelCreateWindow(VOREL_WNDPROC pfnWndProc, void* pUser) {
    if (g_core.pfnVorelCreateWindow == nullptr) return nullptr;
    return g_core.pfnVorelCreateWindow(pfnWndProc, pUser);
}

extern "C" VOREL_API void VorelDestroyWindow(HWND hWnd) {
    if (g_core.pfnVorelDestroyWindow != nullptr) g_core.pfnVorelDestroyWindow(hWnd);
}

extern "C" VOREL_API void* VorelGetWindowUser(HWND hWnd) {
    if (g_core.pfnVorelGetWindowUser == nullptr) return nullptr;
    return g_core.pfnVorelGetWindowUser(hWnd);
}
