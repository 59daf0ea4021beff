// The DLL's entry point: the load and unload hooks. The C runtime calls it
// before it destroys the library's C++ statics at detach, so the unload hook
// still finds them alive. It runs under the loader lock: the hooks must not
// wait for anything that needs that lock (see the engine shutdown).
#include <windows.h>

#include "platform/library.h"

namespace {

// The modules pinned so far in this walk.
constexpr int kMaxPinned = 128;
HMODULE g_ahPinned[kMaxPinned];
int g_iPinned = 0;

bool AlreadyPinned(HMODULE hModule) {
    for (int i = 0; i < g_iPinned; ++i) {
        if (g_ahPinned[i] == hModule) return true;
    }
    return false;
}

// Pins hModule and, through its import table, every module it imports that
// is loaded: the unload that is under way has already let go of the
// library's share of each of them, and a module the library alone held
// would be unmapped with it.
void PinWithImports(HMODULE hModule) {
    if (hModule == nullptr || AlreadyPinned(hModule) || g_iPinned == kMaxPinned) return;
    g_ahPinned[g_iPinned++] = hModule;
    HMODULE hPinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(hModule), &hPinned);
    const unsigned char* pBase = reinterpret_cast<const unsigned char*>(hModule);
    const IMAGE_DOS_HEADER* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
    if (pDos->e_magic != IMAGE_DOS_SIGNATURE) return;
    const IMAGE_NT_HEADERS* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
    if (pNt->Signature != IMAGE_NT_SIGNATURE ||
        pNt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_IMPORT)
        return;
    const IMAGE_DATA_DIRECTORY& imports =
        pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return;
    for (const IMAGE_IMPORT_DESCRIPTOR* pImport =
             reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(pBase + imports.VirtualAddress);
         pImport->Name != 0; ++pImport) {
        PinWithImports(GetModuleHandleA(reinterpret_cast<const char*>(pBase + pImport->Name)));
    }
}

// Keeps the library, and every module whose code its threads run (the
// support library, the system's socket and window libraries), mapped until
// the process ends: a thread of the library that could not be stopped in
// time returns into code that is still there.
void PinLibraries(HINSTANCE hInstance) {
    platform::MarkLibraryKeptLoaded();
    PinWithImports(hInstance);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        OnLibraryLoad();
    } else if (dwReason == DLL_PROCESS_DETACH) {
        // A non-null lpReserved: the process is ending and its other threads
        // are already gone.
        if (!OnLibraryUnload(lpReserved != nullptr)) PinLibraries(hInstance);
    }
    return TRUE;
}
