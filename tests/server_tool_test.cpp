// vorel-server's command line and the address it listens on: values are
// taken only when they are exactly what the option asks for, since a
// quietly misread value means a free port, no time limit or another
// address than the user meant; and the server on that address, telling why
// it cannot listen.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "server/command_line.h"
#include "server/listen_address.h"
#include "server/reference_server.h"

namespace {

struct Parse {
    bool bOk = false;
    refserver::CommandLine line;
    std::string error;
};

Parse ParseArgs(std::vector<const char*> args) {
    args.insert(args.begin(), "vorel-server");
    Parse parse;
    parse.bOk = refserver::ParseCommandLine(static_cast<int>(args.size()), args.data(), &parse.line,
                                            &parse.error);
    return parse;
}

uint32_t SystemParse(const char* szAddress) {
    uint32_t dwAddrNet = 0;
    EXPECT_TRUE(platform::ParseDottedAddress(szAddress, &dwAddrNet)) << szAddress;
    return dwAddrNet;
}

TEST(ListenAddress, DottedQuadsParseInNetworkOrderAndPrintBack) {
    for (const char* szAddress : {"127.0.0.1", "0.0.0.0", "10.1.2.3", "192.168.100.254",
                                  "255.255.255.254", "1.20.100.200"}) {
        uint32_t dwAddrNet = 0;
        ASSERT_TRUE(refserver::ParseIPv4Address(szAddress, &dwAddrNet)) << szAddress;
        EXPECT_EQ(dwAddrNet, SystemParse(szAddress)) << szAddress;
        EXPECT_EQ(refserver::FormatIPv4Address(dwAddrNet), szAddress);
    }
    uint32_t dwAddrNet = 0;
    EXPECT_TRUE(refserver::ParseIPv4Address("255.255.255.255", &dwAddrNet));
    EXPECT_EQ(dwAddrNet, 0xFFFFFFFFu);
    EXPECT_EQ(refserver::LoopbackAddress(), SystemParse("127.0.0.1"));
}

TEST(ListenAddress, AnythingButFourPlainDecimalPartsIsRefused) {
    // The system's parser takes the shortened, octal and hexadecimal forms
    // and would bind to another address than the text seems to say.
    for (const char* szText :
         {"10.1.2",     "10.1",       "167837953",  "10.1.2.3.4", "1.2.3.4.",    ".1.2.3.4",
          "1..2.3",     "256.0.0.1",  "1.2.3.256",  "1000.1.1.1", "010.1.2.3",   "1.2.3.00",
          "0x7f.0.0.1", "0x7f000001", " 127.0.0.1", "127.0.0.1 ", "127.0.0.1\n", "+1.2.3.4",
          "-1.2.3.4",   "localhost",  "",           "::1",        "127.0.0.1:80"}) {
        uint32_t dwAddrNet = 0x5A5A5A5A;
        EXPECT_FALSE(refserver::ParseIPv4Address(szText, &dwAddrNet)) << "'" << szText << "'";
        EXPECT_EQ(dwAddrNet, 0x5A5A5A5Au) << "'" << szText << "' changed the output";
    }
    uint32_t dwAddrNet = 0;
    EXPECT_FALSE(refserver::ParseIPv4Address(std::string("1.2.3.4\0", 8), &dwAddrNet));
}

TEST(ServerCommandLine, DefaultsAreLoopbackFreePortsAndNoLimit) {
    Parse parse = ParseArgs({});
    ASSERT_TRUE(parse.bOk) << parse.error;
    EXPECT_EQ(parse.line.server.dwAddrNet, refserver::LoopbackAddress());
    EXPECT_EQ(parse.line.http.dwAddrNet, refserver::LoopbackAddress());
    EXPECT_EQ(parse.line.server.wPort, 0);
    EXPECT_EQ(parse.line.iSeconds, 0);
    EXPECT_TRUE(parse.line.http.root.empty());
    EXPECT_FALSE(parse.line.bHelp || parse.line.bVersion);
}

TEST(ServerCommandLine, BindMovesBothListenersAndTheLastOneCounts) {
    Parse parse = ParseArgs({"--bind", "10.0.0.7", "--http-dir", "www", "--bind", "0.0.0.0"});
    ASSERT_TRUE(parse.bOk) << parse.error;
    EXPECT_EQ(parse.line.server.dwAddrNet, SystemParse("0.0.0.0"));
    EXPECT_EQ(parse.line.http.dwAddrNet, SystemParse("0.0.0.0"));

    parse = ParseArgs({"--bind", "10.1.2"});
    EXPECT_FALSE(parse.bOk);
    EXPECT_NE(parse.error.find("--bind"), std::string::npos) << parse.error;
    EXPECT_NE(parse.error.find("10.1.2"), std::string::npos) << parse.error;
}

TEST(ServerCommandLine, ValuesAreTakenWhole) {
    Parse parse = ParseArgs({"--port", "65535", "--seconds", "2147483647", "--receive-buffer", "0",
                             "--http-dir", "www", "--http-port", "0", "--http-rate",
                             "1099511627776", "--verbose"});
    ASSERT_TRUE(parse.bOk) << parse.error;
    EXPECT_EQ(parse.line.server.wPort, 65535);
    EXPECT_EQ(parse.line.iSeconds, 2147483647);
    EXPECT_EQ(parse.line.http.qwBytesPerSecond, 1099511627776u);
    EXPECT_TRUE(parse.line.http.bVerbose);

    const std::vector<std::vector<const char*>> bad{
        {"--port", "65536"},
        {"--port", "-1"},
        {"--port", "80x"},
        {"--port", "abc"},
        {"--port", ""},
        {"--port", " 80"},
        {"--port", "99999999999999999999999"},
        {"--seconds", "-5"},
        {"--seconds", "2147483648"},
        {"--seconds", "1.5"},
        {"--receive-buffer", "-1"},
        {"--receive-buffer", "64k"},
        {"--http-dir", "www", "--http-port", "70000"},
        {"--http-dir", "www", "--http-rate", "1e6"},
        {"--http-dir", "www", "--http-rate", "1099511627777"},
        {"--http-dir", ""},
        {"--user", "nocolon"},
        {"--user", ":password"},
    };
    for (const auto& args : bad) {
        parse = ParseArgs(args);
        EXPECT_FALSE(parse.bOk) << args[0] << " '" << args.back() << "'";
        EXPECT_NE(parse.error.find(args[args.size() - 2]), std::string::npos) << parse.error;
    }
}

TEST(ServerCommandLine, UnknownOptionsMissingValuesAndStrayHttpOptionsAreRefused) {
    Parse parse = ParseArgs({"--prot", "80"});
    EXPECT_FALSE(parse.bOk);
    EXPECT_EQ(parse.error, "unknown option: --prot");
    parse = ParseArgs({"80"});
    EXPECT_FALSE(parse.bOk);
    parse = ParseArgs({"--verbose", "--port"});
    EXPECT_FALSE(parse.bOk);
    EXPECT_EQ(parse.error, "--port needs a value");
    // Pacing or placing an HTTP listener that is not there is a mistake.
    EXPECT_FALSE(ParseArgs({"--http-port", "8080"}).bOk);
    EXPECT_FALSE(ParseArgs({"--http-rate", "1000"}).bOk);
    EXPECT_TRUE(ParseArgs({"--http-rate", "1000", "--http-dir", "www"}).bOk);
}

TEST(ServerCommandLine, HelpAndVersionEndTheParseWhereTheyStand) {
    Parse parse = ParseArgs({"--help", "--no-such-option"});
    EXPECT_TRUE(parse.bOk);
    EXPECT_TRUE(parse.line.bHelp);
    parse = ParseArgs({"--port", "1", "--version", "--port"});
    EXPECT_TRUE(parse.bOk);
    EXPECT_TRUE(parse.line.bVersion);
    // An error before them still counts.
    EXPECT_FALSE(ParseArgs({"--bogus", "--help"}).bOk);
}

TEST(ServerCommandLine, TheFirstUserReplacesTheDefaultAndPasswordsKeepTheirColons) {
    Parse parse = ParseArgs({"--user", "ann:a:b", "--user", "bob:"});
    ASSERT_TRUE(parse.bOk) << parse.error;
    std::map<std::string, std::string> expected{{"ann", "a:b"}, {"bob", ""}};
    EXPECT_EQ(parse.line.server.users, expected);
}

// 0 when a new socket connects to the address and port, else the error.
int ConnectError(uint32_t dwAddrNet, uint16_t wPort) {
    platform::SocketHandle s = platform::SocketCreate();
    int iError =
        platform::SocketConnect(s, dwAddrNet, wPort) == 0 ? 0 : platform::SocketLastError();
    platform::SocketClose(s);
    return iError;
}

TEST(ReferenceServer, ListensOnlyOnTheAddressItIsGiven) {
    // Every 127.x.x.x is this machine's on Linux.
    refserver::Options options;
    options.dwAddrNet = SystemParse("127.0.0.2");
    refserver::ReferenceServer server(options);
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(ConnectError(SystemParse("127.0.0.2"), server.Port()), 0);
    EXPECT_EQ(ConnectError(refserver::LoopbackAddress(), server.Port()),
              platform::kWsaConnectionRefused);
    // Listening again after refuse keeps to the address too.
    server.SetFault(refserver::Fault::kRefuse);
    EXPECT_EQ(ConnectError(SystemParse("127.0.0.2"), server.Port()),
              platform::kWsaConnectionRefused);
    EXPECT_TRUE(server.SetFault(refserver::Fault::kNone));
    EXPECT_EQ(ConnectError(SystemParse("127.0.0.2"), server.Port()), 0);
    EXPECT_EQ(ConnectError(refserver::LoopbackAddress(), server.Port()),
              platform::kWsaConnectionRefused);
}

TEST(ReferenceServer, StartTellsWhyItCannotListen) {
    refserver::Options options;
    options.dwAddrNet = SystemParse("192.0.2.1");  // for documentation: nobody's
    refserver::ReferenceServer nowhere(options);
    int iError = 0;
    EXPECT_FALSE(nowhere.Start(&iError));
    EXPECT_EQ(iError, platform::kWsaAddressNotAvailable);
    EXPECT_EQ(refserver::ListenErrorText(iError), "not an address of this machine");

    refserver::ReferenceServer first;
    ASSERT_TRUE(first.Start());
    options.dwAddrNet = refserver::LoopbackAddress();
    options.wPort = first.Port();
    refserver::ReferenceServer second(options);
    EXPECT_FALSE(second.Start(&iError));
    EXPECT_EQ(iError, platform::kWsaAddressInUse);
    EXPECT_EQ(refserver::ListenErrorText(iError), "the port is in use");
}

TEST(ReferenceServer, NoneAfterRefuseReportsAPortTakenMeanwhile) {
    refserver::ReferenceServer server;
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(server.SetFault(refserver::Fault::kRefuse));
    uint16_t wTaken = 0;
    platform::SocketHandle squatter = platform::SocketListenLoopback(server.Port(), &wTaken);
    ASSERT_NE(squatter, platform::kInvalidSocket);
    EXPECT_FALSE(server.SetFault(refserver::Fault::kNone));
    platform::SocketClose(squatter);
}

}  // namespace
