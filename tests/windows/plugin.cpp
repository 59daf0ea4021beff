// A plug-in DLL of a game that calls the library from its own DllMain, that
// is under the loader lock, where no new thread can start before DllMain
// returns. Linked through the import library, so Vorel.dll is attached
// first. The URL to fetch comes from VOREL_PLUGIN_URL.
#include <windows.h>

#include "vorel/vorel.h"

namespace {

int g_aiResults[2] = {-100, -100};

}  // namespace

extern "C" __declspec(dllexport) void PluginResults(int* piResults) {
    piResults[0] = g_aiResults[0];
    piResults[1] = g_aiResults[1];
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        g_aiResults[0] = SetMessageWnd(nullptr);
        char szUrl[512] = {};
        GetEnvironmentVariableA("VOREL_PLUGIN_URL", szUrl, sizeof(szUrl));
        g_aiResults[1] = Download_File_EX(szUrl, "plugin.bin");
    }
    return TRUE;
}
