// The server address and the trace switch from serverConfigs.ini beside the
// game's executable, section "Lumaro_COM", key "ConfigInfo":
// "host port [verbose]".
#include "base/server_address.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "base/log_file.h"
#include "base/testing.h"
#include "base/text.h"
#include "platform/files.h"
#include "support/quorvex.h"

namespace {

constexpr size_t kConfigPathSize = 512;
constexpr const char* kConfigFileName = "serverConfigs.ini";

// Where the path stands. It is worked out once per process: the
// constructor's run, before any other thread exists, settles it, and later
// runs only read it.
enum ConfigPathState : int {
    kPathNotWorkedOut,
    kPathReady,
    kPathTooLong,  // the executable's path, or its directory and the file name, do not fit
};

char szConfigPath[kConfigPathSize];
std::atomic<int> g_iConfigPathState{kPathNotWorkedOut};

// The executable's whole path, however long.
std::string WholeExecutablePath() {
    char szExe[kConfigPathSize];
    uint32_t dwLength = platform::GetExecutablePath(szExe, sizeof(szExe));
    if (dwLength < sizeof(szExe)) return std::string(szExe, dwLength);
    std::string exe(static_cast<size_t>(dwLength) + 1, '\0');
    uint32_t dwAgain = platform::GetExecutablePath(&exe[0], static_cast<uint32_t>(exe.size()));
    exe.resize(dwAgain < dwLength ? dwAgain : dwLength);
    return exe;
}

// The executable's directory (cut after its last backslash or, when it has
// none, its last forward slash) and the file name, into szConfigPath. A path
// that does not fit is refused: cut to the buffer, the executable's path
// would name an ancestor directory, and its file there is not ours.
ConfigPathState WorkOutConfigPath() {
    std::string exe = WholeExecutablePath();
    size_t iCut = exe.find_last_of('\\');
    if (iCut == std::string::npos) iCut = exe.find_last_of('/');
    size_t iDirLength = iCut != std::string::npos ? iCut + 1 : 0;
    size_t iNameLength = std::strlen(kConfigFileName);
    if (exe.size() + 1 > kConfigPathSize || iDirLength + iNameLength + 1 > kConfigPathSize) {
        return kPathTooLong;
    }
    std::memcpy(szConfigPath, exe.data(), iDirLength);
    std::memcpy(szConfigPath + iDirLength, kConfigFileName, iNameLength + 1);
    return kPathReady;
}

// Every run that finds no usable path says so and reads nothing.
void LogPathTooLong() {
    WriteFileNew(LogFile(), "---ReadConfigFile---error---严重错误,配置文件路径太长---%s\n",
                 WholeExecutablePath().c_str());
}

// One trailing carriage return or line feed, then one more: a CR LF pair
// goes in either order.
void DropLineEnd(char* szValue) {
    for (int i = 0; i < 2; ++i) {
        size_t iLength = std::strlen(szValue);
        if (iLength > 0 && (szValue[iLength - 1] == '\r' || szValue[iLength - 1] == '\n')) {
            szValue[iLength - 1] = '\0';
        }
    }
}

// A completed run settles the path worked out before it.
void MarkPathReady() { g_iConfigPathState.store(kPathReady, std::memory_order_release); }

}  // namespace

namespace vorel_testing {

void SetConfigPath(const char* szPath) {
    std::snprintf(szConfigPath, sizeof(szConfigPath), "%s", szPath);
    g_iConfigPathState.store(kPathReady, std::memory_order_release);
}

}  // namespace vorel_testing

int ServerAddress::ReadConfigFile(std::atomic<int32_t>* piLogFlag,
                                  std::atomic<int32_t>* piPromptMode) {
    try {
        int iPathState = g_iConfigPathState.load(std::memory_order_acquire);
        if (iPathState == kPathNotWorkedOut) {
            iPathState = WorkOutConfigPath();
            if (iPathState == kPathTooLong) {
                g_iConfigPathState.store(kPathTooLong, std::memory_order_release);
            }
        }
        if (iPathState == kPathTooLong) {
            LogPathTooLong();
            return 0;
        }
        // The prompt mode, whatever becomes of the address: "1" alone turns
        // it on, any other value or none leaves it off.
        char szPrompt[8];
        platform::ReadIniString("Lumaro_COM", "Prompt", "0", szPrompt, sizeof(szPrompt),
                                szConfigPath);
        DropLineEnd(szPrompt);
        piPromptMode->store(std::strcmp(szPrompt, "1") == 0 ? 1 : 0);
        char szValue[256];
        platform::ReadIniString("Lumaro_COM", "ConfigInfo", "NULL", szValue, sizeof(szValue),
                                szConfigPath);
        // The default: the file, the section or the key is absent.
        if (std::strcmp(szValue, "NULL") == 0) {
            WriteFileNew(LogFile(),
                         "---ReadConfigFile---error---严重错误,配置文件,缺少配置项[Lumaro_COM:"
                         "ConfigInfo]---%s\n",
                         szConfigPath);
            MarkPathReady();
            return 0;
        }
        DropLineEnd(szValue);
        std::printf("NO:%d\tbuffer=%s\n", 1, szValue);
        char* apFields[100];
        int iFields = split_CharLine(apFields, static_cast<int>(std::size(apFields)), szValue, ' ');
        if (iFields < 2) {
            WriteFileNew(LogFile(),
                         "---ReadConfigFile---error---严重错误,配置文件,错误配置项[Lumaro_COM:"
                         "ConfigInfo]---%s\n",
                         szConfigPath);
            MarkPathReady();
            return 0;
        }
        // The switch is taken whatever becomes of the address.
        if (iFields >= 3) *piLogFlag = ParseDecimal(apFields[2]);
        // A refused host or port leaves the address as it was, silently.
        size_t iHostLength = std::strlen(apFields[0]);
        int iNewPort = ParseDecimal(apFields[1]);
        if (iHostLength >= 7 && iHostLength <= 49 && iNewPort >= 1 && iNewPort <= 65535) {
            SetFromFile(apFields[0], iHostLength, iNewPort);
        }
        MarkPathReady();
        return 0;
    } catch (...) {
        // The path stays unsettled: a later run works it out again.
        WriteFileNew(LogFile(), "---ReadConfigFile---error---严重错误,---try,catch---\n");
        return -9;
    }
}
