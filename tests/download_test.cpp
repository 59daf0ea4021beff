// The two download exports against a loopback HTTP server: in the calling
// thread, and in the background through a temporary file that replaces the
// destination only after a good transfer.
#include "download/download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "platform/thread.h"
#include "util/engine_fixture.h"
#include "util/http_server.h"
#include "util/session_fixture.h"
#include "vorel/vorel.h"

namespace {

using testutil::WaitReal;

class Downloads : public testutil::EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        UseClockScale(0);  // real time: the 10 ms hold is measured
    }
    void TearDown() override {
        WaitForDownloads();
        vorel_testing::SetDownloadFunction(nullptr);
        EngineFixture::TearDown();
    }
    void WaitForDownloads() { EXPECT_TRUE(platform::ThreadsWaitRunningAtMost(0, 10000)); }
    std::string Dest(const std::string& name) const { return Dir().File(name); }
    std::vector<std::string> TempFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Dir().Path())) {
            std::string name = entry.path().filename().string();
            if (name.rfind("Temp", 0) == 0) names.push_back(name);
        }
        return names;
    }

    testutil::TestHttpServer http_;
};

TEST_F(Downloads, DownloadFileRunsInTheCallingThread) {
    http_.Set("/a.txt", {200, "file content"});
    std::string url = http_.Url("/a.txt");
    std::string dest = Dest("a.txt");
    EXPECT_EQ(DownloadFile(url.data(), dest.data()), 0);
    EXPECT_EQ(testutil::ReadFile(dest), "file content");
    std::string missing = http_.Url("/missing");
    EXPECT_NE(DownloadFile(missing.data(), dest.data()), 0);
    EXPECT_EQ(testutil::ReadFile(dest), "file content");
    EXPECT_EQ(GetEngine() != nullptr, true);  // (made here, not by the downloads)
}

TEST_F(Downloads, NeitherExportCreatesTheEngine) {
    http_.Set("/b", {200, "b"});
    std::string url = http_.Url("/b");
    std::string dest = Dest("b");
    DownloadFile(url.data(), dest.data());
    Download_File_EX(url.c_str(), dest.c_str());
    WaitForDownloads();
    EXPECT_EQ(platform::ThreadsRunning(), 0);  // no session thread was started
}

TEST_F(Downloads, BackgroundDownloadReplacesTheDestinationOnlyWhenDone) {
    testutil::HttpAnswer slow(200, std::string(300, 'n'));
    slow.iDripDelayMs = 2;
    http_.Set("/slow", slow);
    std::string dest = Dest("data.bin");
    testutil::WriteFile(dest, "old");
    ASSERT_EQ(Download_File_EX(http_.Url("/slow").c_str(), dest.c_str()), 0);
    ASSERT_TRUE(WaitReal([this] { return !TempFiles().empty(); }, 5000));
    EXPECT_EQ(testutil::ReadFile(dest), "old");  // still the old file during the transfer
    WaitForDownloads();
    EXPECT_EQ(testutil::ReadFile(dest), std::string(300, 'n'));
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_EQ(hThread1.load(), nullptr);
}

TEST_F(Downloads, AFailedTransferKeepsTheOldFileAndLogsTheFailure) {
    std::string dest = Dest("keep.txt");
    testutil::WriteFile(dest, "old");
    std::string url = http_.Url("/missing");
    ASSERT_EQ(Download_File_EX(url.c_str(), dest.c_str()), 0);
    WaitForDownloads();
    EXPECT_EQ(testutil::ReadFile(dest), "old");
    std::regex line("---Download_File_Thread---error---下载失败---\\d+---" + url + "---" + dest +
                    "---" + Dir().Path() + "/Temp\\d+");
    bool bFound = false;
    for (const std::string& text : LogLines()) bFound = bFound || std::regex_match(text, line);
    EXPECT_TRUE(bFound);
}

int SucceedWithoutAFile(HWND__*, int, int, const char*, const char*) { return 0; }

TEST_F(Downloads, ATransferReportingSuccessWithoutAFileIsAFailure) {
    vorel_testing::SetDownloadFunction(SucceedWithoutAFile);
    std::string dest = Dest("keep.txt");
    testutil::WriteFile(dest, "old");
    ASSERT_EQ(Download_File_EX("http://127.0.0.1/x", dest.c_str()), 0);
    WaitForDownloads();
    EXPECT_EQ(testutil::ReadFile(dest), "old");
    bool bFound = false;
    for (const std::string& text : LogLines())
        bFound = bFound || text.find("---下载失败---") != std::string::npos;
    EXPECT_TRUE(bFound);
}

TEST_F(Downloads, OverlappingDownloadsUseTheirOwnTemporaryFiles) {
    testutil::HttpAnswer first(200, std::string(200, '1'));
    first.iDripDelayMs = 3;
    testutil::HttpAnswer second(200, std::string(200, '2'));
    second.iDripDelayMs = 3;
    http_.Set("/1", first);
    http_.Set("/2", second);
    ASSERT_EQ(Download_File_EX(http_.Url("/1").c_str(), Dest("one").c_str()), 0);
    ASSERT_EQ(Download_File_EX(http_.Url("/2").c_str(), Dest("two").c_str()), 0);
    EXPECT_TRUE(LogHas("---error---hThread1!=NULL---"));
    EXPECT_TRUE(WaitReal([this] { return TempFiles().size() == 2; }, 5000));
    WaitForDownloads();
    EXPECT_EQ(testutil::ReadFile(Dest("one")), std::string(200, '1'));
    EXPECT_EQ(testutil::ReadFile(Dest("two")), std::string(200, '2'));
    EXPECT_EQ(hThread1.load(), nullptr);
}

TEST_F(Downloads, ADestinationWithoutASeparatorGoesThroughTheCurrentDirectory) {
    http_.Set("/c", {200, "plain name"});
    std::string cwd = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(Dir().Path().c_str()), 0);
    ASSERT_EQ(Download_File_EX(http_.Url("/c").c_str(), "plain.txt"), 0);
    WaitForDownloads();
    EXPECT_EQ(testutil::ReadFile(Dest("plain.txt")), "plain name");
    EXPECT_TRUE(TempFiles().empty());
    ASSERT_EQ(chdir(cwd.c_str()), 0);
}

TEST_F(Downloads, ArgumentBoundsAndTheTenMillisecondHold) {
    vorel_testing::SetDownloadFunction(SucceedWithoutAFile);
    std::string dest = Dest("f");
    auto Call = [](const std::string& url, const std::string& path) {
        return Download_File_EX(url.c_str(), path.c_str());
    };
    EXPECT_EQ(Call("http:", dest), 1);                         // 5 characters
    EXPECT_EQ(Call("http:/", dest), 0);                        // 6
    EXPECT_EQ(Call("h://" + std::string(507, 'u'), dest), 0);  // 511
    EXPECT_EQ(Call("h://" + std::string(508, 'u'), dest), 1);  // 512
    EXPECT_EQ(Call("http://x/y", ""), 1);
    EXPECT_EQ(Call("http://x/y", "/" + std::string(510, 'p')), 0);  // 511
    EXPECT_EQ(Call("http://x/y", "/" + std::string(511, 'p')), 1);  // 512
    EXPECT_EQ(Download_File_EX(nullptr, dest.c_str()), 1);
    EXPECT_EQ(Download_File_EX("http://x/y", nullptr), 1);
    // A directory that leaves no room for the temporary name is refused.
    EXPECT_EQ(Call("http://x/y", "/" + std::string(500, 'd') + "/f"), 1);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call("http://x/y", dest), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
}

}  // namespace
