// The server address and the trace switch from serverConfigs.ini beside the
// game's executable, section "Lumaro_COM", key "ConfigInfo":
// "host port [verbose]".
#include "frame/config.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "frame/engine.h"
#include "frame/text.h"
#include "platform/files.h"

namespace {

constexpr size_t kConfigPathSize = 512;
constexpr const char* kConfigFileName = "serverConfigs.ini";

// Worked out once per process. The constructor's run, before any other
// thread exists, marks it; later runs only read it.
char szConfigPath[kConfigPathSize];
std::atomic<bool> g_bConfigPathDone{false};

// Step 1: the executable's directory (cut after the last backslash, or the
// last forward slash) and the file name. False when the result would not fit.
bool WorkOutConfigPath(char* szPath) {
    char szExe[kConfigPathSize];
    platform::GetExecutablePath(szExe, sizeof(szExe));
    char* pCut = std::strrchr(szExe, '\\');
    if (pCut == nullptr) pCut = std::strrchr(szExe, '/');
    size_t iDirLength = pCut != nullptr ? static_cast<size_t>(pCut - szExe) + 1 : 0;
    size_t iNameLength = std::strlen(kConfigFileName);
    if (iDirLength + iNameLength + 1 > kConfigPathSize) {
        // A cut path would name another file: read none, say why.
        WriteFileNew(LogFile(), "---ReadConfigFile---error---严重错误,配置文件路径太长---%s\n",
                     szExe);
        szPath[0] = '\0';
        return false;
    }
    std::memcpy(szPath, szExe, iDirLength);
    std::memcpy(szPath + iDirLength, kConfigFileName, iNameLength + 1);
    return true;
}

// Step 4: one trailing carriage return or line feed, then one more.
void DropLineEnd(char* szValue) {
    for (int i = 0; i < 2; ++i) {
        size_t iLength = std::strlen(szValue);
        if (iLength > 0 && (szValue[iLength - 1] == '\r' || szValue[iLength - 1] == '\n')) {
            szValue[iLength - 1] = '\0';
        }
    }
}

}  // namespace

namespace vorel_testing {

void SetConfigPath(const char* szPath) {
    std::snprintf(szConfigPath, sizeof(szConfigPath), "%s", szPath);
    g_bConfigPathDone.store(true, std::memory_order_release);
}

}  // namespace vorel_testing

int ClientEngine::ReadConfigFile() {
    if (!g_bConfigPathDone.load(std::memory_order_acquire)) {
        WorkOutConfigPath(szConfigPath);
    }
    try {
        // 2.
        char szValue[256];
        platform::ReadIniString("Lumaro_COM", "ConfigInfo", "NULL", szValue, sizeof(szValue),
                                szConfigPath);
        // 3.
        if (std::strcmp(szValue, "NULL") == 0) {
            WriteFileNew(LogFile(),
                         "---ReadConfigFile---error---严重错误,配置文件,缺少配置项[Lumaro_COM:"
                         "ConfigInfo]---%s\n",
                         szConfigPath);
            g_bConfigPathDone.store(true, std::memory_order_release);
            return 0;
        }
        // 4.
        DropLineEnd(szValue);
        // 5.
        std::printf("NO:%d\tbuffer=%s\n", 1, szValue);
        // 6.
        char* apFields[100];
        int iFields = split_CharLine(apFields, 100, szValue, ' ');
        // 7.
        if (iFields < 2) {
            WriteFileNew(LogFile(),
                         "---ReadConfigFile---error---严重错误,配置文件,错误配置项[Lumaro_COM:"
                         "ConfigInfo]---%s\n",
                         szConfigPath);
            g_bConfigPathDone.store(true, std::memory_order_release);
            return 0;
        }
        // 8. The switch is taken whatever becomes of the address.
        if (iFields >= 3) iLogFlag = ParseDecimal(apFields[2]);
        // 9.
        size_t iHostLength = std::strlen(apFields[0]);
        int iNewPort = ParseDecimal(apFields[1]);
        if (iHostLength >= 7 && iHostLength <= 49 && iNewPort >= 1 && iNewPort <= 65535) {
            KMutexAdaptor<KThreadMutex> guard(lockAddress, -1);
            // An address from `init` wins over the file, also when it came in
            // after the caller looked at the flag.
            if (iAddrFromInit.load() == 0) {
                std::memset(szHost, 0, sizeof(szHost));
                std::memcpy(szHost, apFields[0], iHostLength);
                iPort = iNewPort;
            }
        }
        // 10.
        g_bConfigPathDone.store(true, std::memory_order_release);
        return 0;
    } catch (...) {
        WriteFileNew(LogFile(), "---ReadConfigFile---error---严重错误,---try,catch---\n");
        return -9;
    }
}
