// The library's exports as a program that loads it at run time sees them:
// function pointers found by name in a library opened with dlopen, as a
// Windows game finds them with GetProcAddress in a module opened with
// LoadLibrary. The demo, the soak, the allocation sweep's scenario, the
// client benchmark and the unload tests load the library this way.
#pragma once

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "vorel/vorel.h"

namespace loader {

// The seven exports and the stand-in windows of hosts without windows.
struct VorelExports {
    decltype(&::Write_Message1) Write_Message1 = nullptr;
    decltype(&::Read_Message1) Read_Message1 = nullptr;
    decltype(&::Read_Message2) Read_Message2 = nullptr;
    decltype(&::DownloadFile) DownloadFile = nullptr;
    decltype(&::Download_File_EX) Download_File_EX = nullptr;
    decltype(&::init) init = nullptr;
    decltype(&::SetMessageWnd) SetMessageWnd = nullptr;
    decltype(&::VorelCreateWindow) VorelCreateWindow = nullptr;
    decltype(&::VorelDestroyWindow) VorelDestroyWindow = nullptr;
    decltype(&::VorelGetWindowUser) VorelGetWindowUser = nullptr;
};

// dlsym(hLibrary, szName) as a pointer of the export's own type; false,
// leaving *pfn alone, when the library has no such name.
template <typename Fn>
bool FindExport(void* hLibrary, const char* szName, Fn* pfn) {
    void* pSymbol = dlsym(hLibrary, szName);
    if (pSymbol == nullptr) return false;
    static_assert(sizeof(Fn) == sizeof(void*), "function and data pointers differ in size");
    std::memcpy(pfn, &pSymbol, sizeof(pSymbol));
    return true;
}

// Finds every export of an opened library: "" when all were found, else
// the names that were not. SetMessageWnd has C++ linkage, so its name is
// the decorated one.
inline std::string FindExports(void* hLibrary, VorelExports* pExports) {
    std::string missing;
    auto find = [&](const char* szName, auto* pfn) {
        if (!FindExport(hLibrary, szName, pfn))
            missing += std::string(missing.empty() ? "" : " ") + szName;
    };
    find("Write_Message1", &pExports->Write_Message1);
    find("Read_Message1", &pExports->Read_Message1);
    find("Read_Message2", &pExports->Read_Message2);
    find("DownloadFile", &pExports->DownloadFile);
    find("Download_File_EX", &pExports->Download_File_EX);
    find("init", &pExports->init);
    find("_Z13SetMessageWndP6HWND__", &pExports->SetMessageWnd);
    find("VorelCreateWindow", &pExports->VorelCreateWindow);
    find("VorelDestroyWindow", &pExports->VorelDestroyWindow);
    find("VorelGetWindowUser", &pExports->VorelGetWindowUser);
    return missing;
}

// dlopen(path) and FindExports: the library's handle, or null with the
// reason in *pError (the library is closed again when an export is missing).
inline void* OpenVorel(const std::string& path, VorelExports* pExports, std::string* pError) {
    void* hLibrary = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (hLibrary == nullptr) {
        const char* szError = dlerror();
        *pError = szError != nullptr ? szError : "dlopen failed";
        return nullptr;
    }
    std::string missing = FindExports(hLibrary, pExports);
    if (missing.empty()) return hLibrary;
    *pError = "exports not found: " + missing;
    dlclose(hLibrary);
    return nullptr;
}

}  // namespace loader
