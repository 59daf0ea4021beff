// The two download exports against a loopback HTTP server: in the calling
// thread, and in the background through a temporary file that replaces the
// destination only after a good transfer; and the unload's wait for the
// background downloads.
#include "download/download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "base/testing.h"
#include "download/testing.h"
#include "platform/clock.h"
#include "platform/testing.h"
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
        vorel_testing::SetDownloadThreadGate(nullptr);
        vorel_testing::SetUnloadDownloadWait(2000, 1500);
        platform_testing::SetFreeSpaceHook(nullptr);
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

    int LogLinesWith(const std::string& text) const {
        int iCount = 0;
        for (const std::string& line : LogLines()) iCount += line.find(text) != std::string::npos;
        return iCount;
    }

    testutil::TestHttpServer http_;
};

using Clock = std::chrono::steady_clock;

// Milliseconds since `start`, as a number that a failure prints readably.
int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Holds a caller until `flag` is set, or for at most iMs.
void HoldUntil(const std::atomic<bool>& flag, int iMs) {
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(iMs);
    while (!flag.load() && Clock::now() < until) platform::SleepRealMs(1);
}

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
    // The engine's shutdown stops the downloads while it waits, and then
    // lets them run again.
    DestroyAllEngines();
    EXPECT_EQ(DownloadFile(url.data(), dest.data()), 0);
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
    // The first background download of a process goes through Temp1.
    std::regex line("---Download_File_Thread---error---下载失败---\\d+---" + url + "---" + dest +
                    "---" + Dir().Path() + "/Temp1");
    bool bFound = false;
    for (const std::string& text : LogLines()) bFound = bFound || std::regex_match(text, line);
    EXPECT_TRUE(bFound);
}

// Watched all through a background download, the destination is always
// either the old file or the whole new one, never a part of it nor missing.
TEST_F(Downloads, TheDestinationIsAlwaysTheOldFileOrTheWholeNewOne) {
    std::string body;
    for (int i = 0; i < 256 * 1024; ++i) body.push_back(static_cast<char>(i * 7 + (i >> 10)));
    testutil::HttpAnswer paced(200, body);
    paced.iDripBytes = 4096;
    paced.iDripDelayMs = 2;
    http_.Set("/paced.bin", paced);
    std::string dest = Dest("paced.bin");
    testutil::WriteFile(dest, "old content, to be replaced");
    ASSERT_EQ(Download_File_EX(http_.Url("/paced.bin").c_str(), dest.c_str()), 0);
    Clock::time_point start = Clock::now();
    int iOldSeen = 0;
    std::string content;
    while ((content = testutil::ReadFile(dest)) != body && MsSince(start) < 10000) {
        ASSERT_EQ(content, "old content, to be replaced") << "after " << MsSince(start) << " ms";
        ++iOldSeen;
    }
    EXPECT_EQ(content.size(), body.size());
    EXPECT_EQ(content, body);
    EXPECT_GT(iOldSeen, 0);
    WaitForDownloads();
    EXPECT_TRUE(TempFiles().empty());
}

// A failed download in either export leaves the destination as it was and
// no temporary or partial file beside it.
TEST_F(Downloads, FailedDownloadsLeaveNothingBehind) {
    std::string missing = http_.Url("/missing");
    std::string kept = Dest("kept.bin");
    testutil::WriteFile(kept, "old");
    ASSERT_EQ(Download_File_EX(missing.c_str(), kept.c_str()), 0);
    WaitForDownloads();
    EXPECT_EQ(testutil::ReadFile(kept), "old");

    std::string absent = Dest("absent.bin");
    EXPECT_NE(DownloadFile(missing.c_str(), absent.c_str()), 0);
    EXPECT_FALSE(std::filesystem::exists(absent));
    EXPECT_FALSE(std::filesystem::exists(absent + ".part"));
    EXPECT_TRUE(TempFiles().empty());
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

// The second's address and destination are shorter than the first's:
// nothing of the first's is left behind them.
TEST_F(Downloads, OverlappingDownloadsUseTheirOwnTemporaryFiles) {
    testutil::HttpAnswer first(200, std::string(200, '1'));
    first.iDripDelayMs = 3;
    testutil::HttpAnswer second(200, std::string(200, '2'));
    second.iDripDelayMs = 3;
    http_.Set("/1-longer", first);
    http_.Set("/2", second);
    ASSERT_EQ(Download_File_EX(http_.Url("/1-longer").c_str(), Dest("one-longer").c_str()), 0);
    ASSERT_EQ(Download_File_EX(http_.Url("/2").c_str(), Dest("two").c_str()), 0);
    EXPECT_TRUE(LogHas("---error---hThread1!=NULL---"));
    EXPECT_TRUE(WaitReal([this] { return TempFiles().size() == 2; }, 5000));
    WaitForDownloads();
    EXPECT_EQ(testutil::ReadFile(Dest("one-longer")), std::string(200, '1'));
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
    // Exactly room for "Temp", ten digits and the end: accepted.
    EXPECT_EQ(Call("http://x/y", "/" + std::string(495, 'd') + "/f"), 0);
    EXPECT_EQ(Call("http://x/y", "/" + std::string(496, 'd') + "/f"), 1);

    // Without memory for its start a download is refused, and the log says so.
    vorel_testing::FailAllocations(0, 1);
    EXPECT_EQ(Call("http://x/nomem", dest), 1);
    vorel_testing::FailAllocations(0, 0);
    EXPECT_TRUE(
        LogHas("---Download_File_EX---error---内存不足,下载未启动---http://x/nomem---" + dest));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call("http://x/y", dest), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
}

// 100 MiB free: less than the reserve a download must leave.
bool AlmostFullVolume(const char*, uint64_t* pqwFree) {
    *pqwFree = 100ull << 20;
    return true;
}

TEST_F(Downloads, ADownloadThatWouldFillTheDiskFailsWithEightAndLeavesNothing) {
    platform_testing::SetFreeSpaceHook(AlmostFullVolume);
    http_.Set("/f", {200, "new data"});
    std::string url = http_.Url("/f");
    std::string dest = Dest("keep.bin");
    testutil::WriteFile(dest, "old");
    EXPECT_EQ(DownloadFile(url.c_str(), dest.c_str()), 8);
    ASSERT_EQ(Download_File_EX(url.c_str(), dest.c_str()), 0);
    WaitForDownloads();
    EXPECT_EQ(testutil::ReadFile(dest), "old");
    EXPECT_EQ(LogLinesWith("---下载失败---"), 1);
    for (const auto& entry : std::filesystem::directory_iterator(Dir().Path())) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "keep.bin" || name == "GameRun.log") << name;
    }
}

TEST_F(Downloads, AFailedMoveIsLoggedAndLeavesNoTemporaryFile) {
    http_.Set("/m", {200, "new content"});
    std::string url = http_.Url("/m");
    // A non-empty directory: no file can be moved onto it.
    std::string dest = Dest("target");
    std::filesystem::create_directory(dest);
    testutil::WriteFile(dest + "/inside.txt", "kept");
    ASSERT_EQ(Download_File_EX(url.c_str(), dest.c_str()), 0);
    WaitForDownloads();
    EXPECT_TRUE(std::filesystem::is_directory(dest));
    EXPECT_EQ(testutil::ReadFile(dest + "/inside.txt"), "kept");
    EXPECT_TRUE(TempFiles().empty());
    std::regex line("---Download_File_Thread---error---移动文件失败---\\d+---" + url + "---" +
                    dest + "---" + Dir().Path() + "/Temp\\d+");
    int iMoveLines = 0;
    for (const std::string& text : LogLines()) iMoveLines += std::regex_match(text, line);
    EXPECT_EQ(iMoveLines, 1);
    EXPECT_EQ(LogLinesWith("---下载失败---"), 0);  // the transfer itself was good
}

std::atomic<bool> g_bGateOpen{false};
void HoldUntilGateOpens() { HoldUntil(g_bGateOpen, 2000); }

TEST_F(Downloads, TheCallNeverWaitsForItsThreadToStart) {
    // Threads that cannot run until the calls have returned, as under the
    // Windows loader lock; the second call refills the argument slots
    // before the first thread has read anything.
    g_bGateOpen = false;
    vorel_testing::SetDownloadThreadGate(HoldUntilGateOpens);
    http_.Set("/one", {200, "first"});
    http_.Set("/two", {200, "second"});
    Clock::time_point start = Clock::now();
    ASSERT_EQ(Download_File_EX(http_.Url("/one").c_str(), Dest("one").c_str()), 0);
    ASSERT_EQ(Download_File_EX(http_.Url("/two").c_str(), Dest("two").c_str()), 0);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(DownloadThreadsRunning(), 2);
    g_bGateOpen = true;
    WaitForDownloads();
    EXPECT_EQ(testutil::ReadFile(Dest("one")), "first");
    EXPECT_EQ(testutil::ReadFile(Dest("two")), "second");
    EXPECT_EQ(DownloadThreadsRunning(), 0);
    EXPECT_EQ(LogLinesWith("---下载失败---"), 0);
}

uint32_t WaitForRelease(void* pFlag) {
    HoldUntil(*static_cast<std::atomic<bool>*>(pFlag), 10000);
    return 0;
}

// An older download that ends after a newer one took the slot leaves the
// newer one's handle alone: the unload still names the newer download.
TEST_F(Downloads, AnOlderDownloadEndingLeavesItsSuccessorTracked) {
    Engine();  // its shutdown names the download still running
    http_.Set("/quick", {200, "q"});
    testutil::HttpAnswer slow(200, std::string(1000, 's'));
    slow.iHoldAfter = 10;  // never released: it is still running at the unload
    http_.Set("/slow", slow);
    g_bGateOpen = false;
    vorel_testing::SetDownloadThreadGate(HoldUntilGateOpens);  // both start together
    ASSERT_EQ(Download_File_EX(http_.Url("/quick").c_str(), Dest("quick").c_str()), 0);
    ASSERT_EQ(Download_File_EX(http_.Url("/slow").c_str(), Dest("slow").c_str()), 0);
    g_bGateOpen = true;
    ASSERT_TRUE(WaitReal([this] { return std::filesystem::exists(Dest("quick")); }, 5000));
    // The quick one's thread has left.
    ASSERT_TRUE(WaitReal([] { return DownloadThreadsRunning() == 1; }, 5000));
    DestroyAllEngines();
    EXPECT_TRUE(LogHas("---testing20090618---TerminateThread---hThread1"));
    EXPECT_FALSE(std::filesystem::exists(Dest("slow")));
}

TEST_F(Downloads, TheUnloadWaitIgnoresThreadsThatAreNotDownloads) {
    // A session thread that cannot stop, with the waits at their real bounds.
    std::atomic<bool> bRelease{false};
    platform::ThreadHandle* hOther = platform::ThreadCreate(WaitForRelease, &bRelease);
    ASSERT_NE(hOther, nullptr);
    Clock::time_point start = Clock::now();
    WaitForDownloadsAtUnload();
    EXPECT_LT(MsSince(start), 500);
    EXPECT_EQ(LogLinesWith("卸载时下载线程未能停止"), 0);
    bRelease = true;
    EXPECT_TRUE(platform::ThreadWaitEnd(hOther, 10000));
    platform::ThreadClose(hOther);
}

std::atomic<bool> g_bTransferReleased{false};
int TransferThatIgnoresAbort(HWND__*, int, int, const char*, const char*) {
    HoldUntil(g_bTransferReleased, 10000);
    return 3;
}

TEST_F(Downloads, AtUnloadADownloadThatCannotStopIsLogged) {
    g_bTransferReleased = false;
    vorel_testing::SetDownloadFunction(TransferThatIgnoresAbort);
    vorel_testing::SetUnloadDownloadWait(50, 50);
    ASSERT_EQ(Download_File_EX("http://127.0.0.1/x", Dest("f").c_str()), 0);
    EXPECT_EQ(DownloadThreadsRunning(), 1);
    WaitForDownloadsAtUnload();
    EXPECT_EQ(CountLogLines("---Download_File_Thread---error---卸载时下载线程未能停止---1"), 1);
    g_bTransferReleased = true;
    WaitForDownloads();
    EXPECT_EQ(DownloadThreadsRunning(), 0);
}

TEST_F(Downloads, AtUnloadARunningDownloadIsWaitedForAndStopped) {
    testutil::HttpAnswer trickle(200, std::string(5000, 't'));
    trickle.iDripDelayMs = 5;
    http_.Set("/t", trickle);
    std::string dest = Dest("t.bin");
    testutil::WriteFile(dest, "old");
    vorel_testing::SetUnloadDownloadWait(100, 3000);
    ASSERT_EQ(Download_File_EX(http_.Url("/t").c_str(), dest.c_str()), 0);
    Clock::time_point start = Clock::now();
    WaitForDownloadsAtUnload();
    EXPECT_GE(MsSince(start), 100);  // it had its time to finish
    EXPECT_LT(MsSince(start), 2500);
    EXPECT_EQ(DownloadThreadsRunning(), 0);
    EXPECT_EQ(LogLinesWith("卸载时下载线程未能停止"), 0);
    EXPECT_EQ(LogLinesWith("---下载失败---"), 1);
    EXPECT_EQ(testutil::ReadFile(dest), "old");
}

// The unload's wait for background downloads is one wait that the last
// download's end cuts short, not a string of short sleeps that only notice
// the end at their next look.
TEST_F(Downloads, TheUnloadWaitForDownloadsIsOneWaitThatTheirEndEnds) {
    UseManualClock();
    g_bTransferReleased = false;
    vorel_testing::SetDownloadFunction(TransferThatIgnoresAbort);
    vorel_testing::SetUnloadDownloadWait(60000, 60000);  // a minute each, on this clock
    ASSERT_EQ(Download_File_EX("http://127.0.0.1/x", Dest("f").c_str()), 0);
    Clock().HoldWaits(true);
    int64_t iStart = Clock().ElapsedMs();
    int64_t iWaits = Clock().Waits();
    int64_t iSleeps = Clock().Sleeps();
    std::atomic<bool> bDone{false};
    std::thread unload([&bDone] {
        WaitForDownloadsAtUnload();
        bDone = true;
    });
    bool bWaiting = WaitReal([this] { return Clock().HeldWaits() == 1; }, 10000);
    g_bTransferReleased = true;
    bool bEndedWithTheDownload = WaitReal([&bDone] { return bDone.load(); }, 10000);
    Clock().HoldWaits(false);
    unload.join();
    EXPECT_TRUE(bWaiting);
    EXPECT_TRUE(bEndedWithTheDownload);
    EXPECT_EQ(Clock().ElapsedMs(), iStart);
    EXPECT_EQ(Clock().Waits() - iWaits, 1);
    EXPECT_EQ(Clock().Sleeps() - iSleeps, 0);
    EXPECT_EQ(DownloadThreadsRunning(), 0);
    EXPECT_EQ(LogLinesWith("卸载时下载线程未能停止"), 0);
}

}  // namespace
