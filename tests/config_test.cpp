// The configuration item "host port [verbose]": what is taken, what is
// refused and what is logged, at construction and at later runs.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/engine_fixture.h"
#include "vorel/vorel.h"

namespace {

class Config : public testutil::EngineFixture {
protected:
    // Rewrites the item and runs the reader again, as the session does.
    int Reread(const std::string& value) {
        WriteConfigValue(value);
        return Engine().ReadConfigFile();
    }
    std::string MissingLine() const {
        return "---ReadConfigFile---error---严重错误,配置文件,缺少配置项[Lumaro_COM:ConfigInfo]--"
               "-" +
               ConfigPath();
    }
    std::string WrongLine() const {
        return "---ReadConfigFile---error---严重错误,配置文件,错误配置项[Lumaro_COM:ConfigInfo]--"
               "-" +
               ConfigPath();
    }
};

TEST_F(Config, AbsentItemLeavesTheAddressEmpty) {
    Engine();
    EXPECT_EQ(LogLines(), (std::vector<std::string>{MissingLine()}));
    EXPECT_EQ(Host(), "");
    EXPECT_EQ(Port(), 0);
    EXPECT_EQ(Engine().iLogFlag.load(), 0);

    // The literal text NULL, another key, another section: all absent.
    for (const char* szContent :
         {"[Lumaro_COM]\nConfigInfo=NULL\n", "[Lumaro_COM]\nOther=1.2.3.4 80\n",
          "[Elsewhere]\nConfigInfo=10.0.0.1 8000 1\n"}) {
        WriteConfig(szContent);
        EXPECT_EQ(Engine().ReadConfigFile(), 0);
    }
    EXPECT_EQ(CountLogLines(MissingLine()), 4);
    EXPECT_EQ(Host(), "");
    EXPECT_EQ(Engine().iLogFlag.load(), 0);
}

TEST_F(Config, HostAndPortWithAndWithoutTheSwitch) {
    WriteConfigValue("server.example.net 8000");
    Engine();
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(Host(), "server.example.net");
    EXPECT_EQ(Port(), 8000);
    EXPECT_EQ(Engine().iLogFlag.load(), 0);

    // Each value read is echoed on the standard output as well.
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Reread("10.1.1.1 8001 5 ignored fields"), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "NO:1\tbuffer=10.1.1.1 8001 5 ignored fields\n");
    EXPECT_EQ(Host(), "10.1.1.1");
    EXPECT_EQ(Port(), 8001);
    EXPECT_EQ(Engine().iLogFlag.load(), 5);

    // Without a third field the switch keeps its earlier value.
    EXPECT_EQ(Reread("10.1.1.2 8002"), 0);
    EXPECT_EQ(Port(), 8002);
    EXPECT_EQ(Engine().iLogFlag.load(), 5);
    EXPECT_EQ(Reread("10.1.1.2 8002 0"), 0);
    EXPECT_EQ(Engine().iLogFlag.load(), 0);
    // More fields than the split keeps apart: the rest is one last field.
    std::string many = "10.1.1.3 8003 1";
    for (int i = 0; i < 117; ++i) many += " f";
    EXPECT_EQ(Reread(many), 0);
    EXPECT_EQ(Port(), 8003);
    EXPECT_EQ(Engine().iLogFlag.load(), 1);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Config, FewerThanTwoFieldsAreAWrongItem) {
    WriteConfigValue("10.0.0.1 8000 1");
    Engine();
    for (const char* szValue : {"10.0.0.2", "", "   "}) {
        EXPECT_EQ(Reread(szValue), 0);
    }
    EXPECT_EQ(CountLogLines(WrongLine()), 3);
    EXPECT_EQ(Host(), "10.0.0.1");
    EXPECT_EQ(Port(), 8000);
    EXPECT_EQ(Engine().iLogFlag.load(), 1);
}

TEST_F(Config, RefusedAddressStillTakesTheSwitch) {
    WriteConfigValue("10.0.0.1 8000");
    Engine();
    for (const char* szValue : {"10.0.0.9 0 3", "10.0.0.9 65536 3", "10.0.0.9 -80 3",
                                "10.0.0.9 port 3", "1.2.3.4 80 3" /* 7 characters */}) {
        SCOPED_TRACE(szValue);
        Reread("10.0.0.1 8000 0");
        EXPECT_EQ(Reread(szValue), 0);
        EXPECT_EQ(Engine().iLogFlag.load(), 3);
        EXPECT_EQ(Host(), std::strcmp(szValue, "1.2.3.4 80 3") == 0 ? "1.2.3.4" : "10.0.0.1");
    }
    EXPECT_TRUE(LogLines().empty());  // refusals of the address are silent
}

TEST_F(Config, HostLengthBounds) {
    WriteConfigValue("10.0.0.1 8000");
    Engine();
    std::string host49(49, 'h');
    std::string host50(50, 'h');
    EXPECT_EQ(Reread("abcdef 1 2"), 0);  // 6 characters
    EXPECT_EQ(Host(), "10.0.0.1");
    EXPECT_EQ(Reread(host50 + " 1 2"), 0);
    EXPECT_EQ(Host(), "10.0.0.1");
    EXPECT_EQ(Reread(host49 + " 65535"), 0);
    EXPECT_EQ(Host(), host49);
    EXPECT_EQ(Port(), 65535);
    EXPECT_EQ(Reread("abcdefg 1"), 0);
    EXPECT_EQ(Host(), "abcdefg");  // the longer host before left nothing behind
    EXPECT_EQ(Port(), 1);
}

TEST_F(Config, NumbersCountByTheirLeadingDigits) {
    WriteConfigValue("10.0.0.1 8000x 2y");
    Engine();
    EXPECT_EQ(Port(), 8000);
    EXPECT_EQ(Engine().iLogFlag.load(), 2);
    EXPECT_EQ(Reread("10.0.0.1 +8001 x"), 0);
    EXPECT_EQ(Port(), 8001);
    EXPECT_EQ(Engine().iLogFlag.load(), 0);
}

TEST_F(Config, TrailingLineEndsAreDropped) {
    // A file written with CRLF line ends.
    WriteConfig("[Lumaro_COM]\r\nConfigInfo=10.0.0.1 8000 4\r\n");
    Engine();
    EXPECT_EQ(Host(), "10.0.0.1");
    EXPECT_EQ(Port(), 8000);
    EXPECT_EQ(Engine().iLogFlag.load(), 4);

    // Line ends kept inside quotes reach the reader itself: up to two are
    // dropped, so "host " is one field (a wrong item) ...
    WriteConfig("[Lumaro_COM]\nConfigInfo=\"10.0.0.2 \r\"\n");
    EXPECT_EQ(Engine().ReadConfigFile(), 0);
    WriteConfig("[Lumaro_COM]\nConfigInfo=\"10.0.0.2 \r\r\"\n");
    EXPECT_EQ(Engine().ReadConfigFile(), 0);
    EXPECT_EQ(CountLogLines(WrongLine()), 2);
    // ... while a third one stays and makes a second field.
    WriteConfig("[Lumaro_COM]\nConfigInfo=\"10.0.0.2 \r\r\r\"\n");
    EXPECT_EQ(Engine().ReadConfigFile(), 0);
    EXPECT_EQ(CountLogLines(WrongLine()), 2);
    EXPECT_EQ(Host(), "10.0.0.1");
}

TEST_F(Config, InitAsTheFirstCallReadsTheFileThenWinsButNeverSetsTheSwitch) {
    WriteConfigValue("config.example.org 7000 3");
    char szHost[] = "10.9.9.9";
    // init as the first call: the constructor reads the file, then init wins.
    EXPECT_EQ(init(szHost, 9000), -2);  // no connection set-up in these tests
    EXPECT_EQ(Host(), "10.9.9.9");
    EXPECT_EQ(Port(), 9000);
    EXPECT_EQ(Engine().iLogFlag.load(), 3);
    EXPECT_EQ(Engine().address.FromInit(), true);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"---Run---10.9.9.9,9000"}));
}

TEST_F(Config, RereadAfterInitKeepsInitsAddressButTakesTheSwitch) {
    WriteConfigValue("10.0.0.1 8000");
    Engine();
    char szHost[] = "10.9.9.9";
    EXPECT_EQ(init(szHost, 9000), -2);
    struct Case {
        const char* szValue;
        int iLogFlag;
    };
    for (Case c : {Case{"10.0.0.2 8002 7", 7}, Case{"10.0.0.3 8003", 7}, Case{"10.0.0.4 8004 0", 0},
                   Case{"10.0.0.5 8005 6", 6}}) {
        SCOPED_TRACE(c.szValue);
        EXPECT_EQ(Reread(c.szValue), 0);
        EXPECT_EQ(Host(), "10.9.9.9");
        EXPECT_EQ(Port(), 9000);
        EXPECT_EQ(Engine().iLogFlag.load(), c.iLogFlag);
    }
}

// The prompt mode: on for Prompt=1 in the section of the item, off for any
// other value or none; every reading takes it anew, whatever becomes of
// the address, and it adds no line to the log.
TEST_F(Config, PromptModeOnlyForPromptOne) {
    Engine();
    EXPECT_EQ(Engine().iPromptMode.load(), 0);
    struct Case {
        const char* szFile;
        int iPromptMode;
    };
    const Case cases[] = {
        {"[Lumaro_COM]\nConfigInfo=127.0.0.1 8000\nPrompt=1\n", 1},
        {"[Lumaro_COM]\nConfigInfo=127.0.0.1 8000\n", 0},
        {"[Lumaro_COM]\nPrompt = 1 \r\nConfigInfo=127.0.0.1 8000\n", 1},
        {"[Lumaro_COM]\nConfigInfo=127.0.0.1 8000\nPrompt=2\n", 0},
        {"[Lumaro_COM]\nPrompt=1\n", 1},  // without an item
        {"[Lumaro_COM]\nConfigInfo=127.0.0.1 8000\nPrompt=yes\n", 0},
        {"[Lumaro_COM]\nConfigInfo=127.0.0.1 8000\nPrompt=10\n", 0},
        {"[Other]\nPrompt=1\n[Lumaro_COM]\nConfigInfo=127.0.0.1 8000\n", 0},
        {"[Lumaro_COM]\nConfigInfo=127.0.0.1\nPrompt=1\n", 1},  // a wrong item
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.szFile);
        WriteConfig(c.szFile);
        ClearLog();
        EXPECT_EQ(Engine().ReadConfigFile(), 0);
        EXPECT_EQ(Engine().iPromptMode.load(), c.iPromptMode);
        for (const std::string& line : LogLines())
            EXPECT_EQ(line.find("Prompt"), std::string::npos);
    }
}

}  // namespace
