// Reads the version resource of each DLL named on the command line, as
// Explorer and patchers do, and prints one line per DLL:
//   NAME FIXED=a.b.c.d FileVersion=... ProductVersion=... OriginalFilename=... ProductName=...
// or "NAME no version resource". The Windows suite compares the lines with
// the project's version.
#include <windows.h>

#include <cstdio>
#include <vector>

namespace {

// A string value of the first language block, or "-" when missing.
const char* StringValue(const std::vector<char>& data, const char* szName) {
    struct Translation {
        WORD wLanguage;
        WORD wCodePage;
    }* pTranslation = nullptr;
    UINT uLength = 0;
    if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&pTranslation), &uLength) ||
        uLength < sizeof(Translation)) {
        return "-";
    }
    char szPath[128];
    std::snprintf(szPath, sizeof szPath, "\\StringFileInfo\\%04x%04x\\%s", pTranslation->wLanguage,
                  pTranslation->wCodePage, szName);
    char* szValue = nullptr;
    if (!VerQueryValueA(data.data(), szPath, reinterpret_cast<void**>(&szValue), &uLength) ||
        uLength == 0) {
        return "-";
    }
    return szValue;
}

}  // namespace

int main(int argc, char** argv) {
    int iStatus = 0;
    for (int i = 1; i < argc; ++i) {
        DWORD dwHandle = 0;
        DWORD dwSize = GetFileVersionInfoSizeA(argv[i], &dwHandle);
        std::vector<char> data(dwSize);
        VS_FIXEDFILEINFO* pFixed = nullptr;
        UINT uLength = 0;
        if (dwSize == 0 || !GetFileVersionInfoA(argv[i], 0, dwSize, data.data()) ||
            !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&pFixed), &uLength) ||
            uLength < sizeof(VS_FIXEDFILEINFO)) {
            std::printf("%s no version resource\n", argv[i]);
            iStatus = 1;
            continue;
        }
        std::printf(
            "%s FIXED=%u.%u.%u.%u FileVersion=%s ProductVersion=%s OriginalFilename=%s "
            "ProductName=%s\n",
            argv[i], static_cast<unsigned>(HIWORD(pFixed->dwFileVersionMS)),
            static_cast<unsigned>(LOWORD(pFixed->dwFileVersionMS)),
            static_cast<unsigned>(HIWORD(pFixed->dwFileVersionLS)),
            static_cast<unsigned>(LOWORD(pFixed->dwFileVersionLS)),
            StringValue(data, "FileVersion"), StringValue(data, "ProductVersion"),
            StringValue(data, "OriginalFilename"), StringValue(data, "ProductName"));
    }
    return iStatus;
}
