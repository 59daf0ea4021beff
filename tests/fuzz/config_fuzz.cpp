// The configuration reader with any serverConfigs.ini.
//   - The INI reader, called directly with any buffer size (the buffer
//     allocated to exactly that size), writes inside it, terminates its
//     result, returns its length, and hands back either the default or
//     bytes that stand in the file.
//   - ReadConfigFile returns 0, and the address afterwards is the
//     one it had, or a host of 7 to 49 characters with a port in 1..65535;
//     which of the two, and the trace switch, follow from the item's value
//     by the plain rules of the configuration item (line end dropped, fields
//     at spaces, host, port, optional switch).
//
// Input: one byte for the direct call's buffer size, then the file.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/log_file.h"
#include "base/server_address.h"
#include "base/testing.h"
#include "fuzz_support.h"
#include "platform/files.h"

namespace {

constexpr char kSection[] = "Lumaro_COM";
constexpr char kKey[] = "ConfigInfo";
constexpr char kSentinelHost[] = "sentinel.invalid";
constexpr int kSentinelPort = 4321;
constexpr int kSentinelLogFlag = -77;

std::string g_configDir;  // a temporary directory, removed at exit
std::string g_configPath;
// The part that reads the file, and the trace switch it sets.
ServerAddress g_address;
std::atomic<int32_t> g_iLogFlag{0};
std::atomic<int32_t> g_iPromptMode{0};

void WriteConfig(const std::string& content) {
    FILE* pFile = std::fopen(g_configPath.c_str(), "wb");
    FUZZ_CHECK(pFile != nullptr, "cannot write %s", g_configPath.c_str());
    FUZZ_CHECK(std::fwrite(content.data(), 1, content.size(), pFile) == content.size(),
               "short write");
    std::fclose(pFile);
}

void CheckReader(const std::string& content, uint32_t dwSize) {
    // Exactly dwSize bytes; for size 0 one byte holding a mark that must stay.
    char* pOut = static_cast<char*>(std::malloc(dwSize == 0 ? 1 : dwSize));
    pOut[0] = '#';
    uint32_t dwResult =
        platform::ReadIniString(kSection, kKey, "NULL", pOut, dwSize, g_configPath.c_str());
    if (dwSize == 0) {
        FUZZ_CHECK(dwResult == 0 && pOut[0] == '#', "wrote into a buffer of size 0");
        std::free(pOut);
        return;
    }
    FUZZ_CHECK(dwResult < dwSize, "result %u for size %u", dwResult, dwSize);
    FUZZ_CHECK(std::memchr(pOut, '\0', dwSize) != nullptr, "not terminated");
    std::string value(pOut, dwResult);
    // A NUL read from the file ends the text early; the length counts the bytes copied.
    FUZZ_CHECK(std::strlen(pOut) <= dwResult, "the text runs past the length returned");
    bool bDefault = std::string("NULL").compare(0, dwResult, value) == 0;
    bool bFromFile = content.find(value) != std::string::npos;
    FUZZ_CHECK(bDefault || bFromFile, "\"%s\" is neither the default nor in the file",
               value.c_str());
    std::free(pOut);
}

struct Address {
    std::string host;
    int iPort;
    int iLogFlag;
};

// What ReadConfigFile must leave, from the item's value as the reader
// returns it.
Address Expected(const Address& before) {
    char szValue[256];
    platform::ReadIniString(kSection, kKey, "NULL", szValue, sizeof(szValue), g_configPath.c_str());
    std::string value = szValue;
    Address after = before;
    if (value == "NULL") return after;
    for (int i = 0; i < 2; ++i) {
        if (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.pop_back();
    }
    std::vector<std::string> fields = fuzzref::Words(value);
    if (fields.size() < 2) return after;
    if (fields.size() >= 3) after.iLogFlag = fuzzref::Decimal(fields[2]);
    int iPort = fuzzref::Decimal(fields[1]);
    if (fields[0].size() >= 7 && fields[0].size() <= 49 && iPort >= 1 && iPort <= 65535) {
        after.host = fields[0];
        after.iPort = iPort;
    }
    return after;
}

void CheckReadConfigFile() {
    g_address.SetFromFile(kSentinelHost, std::strlen(kSentinelHost), kSentinelPort);
    g_iLogFlag = kSentinelLogFlag;
    Address expected = Expected({kSentinelHost, kSentinelPort, kSentinelLogFlag});

    FUZZ_CHECK(g_address.ReadConfigFile(&g_iLogFlag, &g_iPromptMode) == 0, "ReadConfigFile failed");
    char szHost[50];
    int iPort = 0;
    g_address.Get(szHost, &iPort);
    std::string host = szHost;
    bool bUnchanged = host == kSentinelHost && iPort == kSentinelPort;
    bool bValid = host.size() >= 7 && host.size() <= 49 && iPort >= 1 && iPort <= 65535;
    FUZZ_CHECK(bUnchanged || bValid, "address \"%s\":%d", szHost, iPort);
    FUZZ_CHECK(host == expected.host && iPort == expected.iPort,
               "address \"%s\":%d, expected \"%s\":%d", szHost, iPort, expected.host.c_str(),
               expected.iPort);
    FUZZ_CHECK(g_iLogFlag.load() == expected.iLogFlag, "trace switch %d, expected %d",
               g_iLogFlag.load(), expected.iLogFlag);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // ReadConfigFile traces the value on standard output; keep it quiet.
    int fdNull = open("/dev/null", O_WRONLY);
    if (fdNull >= 0) {
        dup2(fdNull, STDOUT_FILENO);
        close(fdNull);
    }
    g_configDir = fuzzref::MakeTempDir("config");
    FUZZ_CHECK(!g_configDir.empty(), "no temporary directory");
    g_configPath = g_configDir + "/serverConfigs.ini";
    WriteConfig("");
    std::atexit([] {
        unlink(g_configPath.c_str());
        rmdir(g_configDir.c_str());
    });

    vorel_testing::SetLogFile("/dev/null/GameRun.log");  // never opens: no line is checked
    vorel_testing::SetConfigPath(g_configPath.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t iSize) {
    fuzzref::InputReader input(pData, iSize);
    uint32_t dwSize = input.Byte();
    std::string content = input.Rest();
    WriteConfig(content);
    CheckReader(content, dwSize);
    CheckReader(content, 256);
    CheckReadConfigFile();
    return 0;
}
