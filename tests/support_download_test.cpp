// The downloader against a loopback HTTP server: good transfers, HTTP
// errors, refused, stalled and trickling servers, redirects, temporary names
// shared with other transfers and with earlier runs, and no partial file
// left behind by any failure. Also the stall and speed-floor rule on its own,
// on a made-up tick.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/http_download.h"
#include "platform/socket.h"
#include "platform/testing.h"
#include "support/quorvex.h"
#include "support/testing.h"
#include "util/http_server.h"
#include "util/temp_dir.h"

namespace {

class SupportDownload : public ::testing::Test {
protected:
    void SetUp() override { quorvex_testing::SetDownloadTimeouts(2000, 1000); }
    void TearDown() override {
        quorvex_testing::SetDownloadTimeouts(30000, 60000);
        quorvex_testing::SetDownloadFloor(1024, 60000);
        quorvex_testing::SetDownloadAbort(false);
        platform_testing::SetFreeSpaceHook(nullptr);
    }

    int Download(const std::string& url, const std::string& path) {
        return InternetDownloadFile(nullptr, 0, 0, url.c_str(), path.c_str());
    }
    // Names in the directory, to show that no temporary file stayed.
    size_t FilesInDir() const {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
            (void)entry;
            ++n;
        }
        return n;
    }

    std::vector<std::string> NamesInDir() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    testutil::TempDir dir_;
    testutil::TestHttpServer server_;
};

using Names = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// Milliseconds since `start`, as a number that a failure prints readably.
int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// What a game gets when no test has changed them (the fixture shortens the
// time-outs, and every test's end puts these back).
TEST(SupportDownloadSettings, AsShipped) {
    quorvex_testing::DownloadSettings settings = quorvex_testing::CurrentDownloadSettings();
    EXPECT_EQ(settings.dwConnectMs, 30000u);
    EXPECT_EQ(settings.dwStallMs, 60000u);
    EXPECT_EQ(settings.dwFloorBytes, 1024u);
    EXPECT_EQ(settings.dwFloorWindowMs, 60000u);
}

TEST_F(SupportDownload, WritesTheWholeBodyExactly) {
    std::string body;
    for (int i = 0; i < 3 * 1024 * 1024; ++i) body.push_back(static_cast<char>(i * 7 + (i >> 11)));
    server_.Set("/big.bin", {200, body});
    std::string path = dir_.File("big.bin");
    EXPECT_EQ(Download(server_.Url("/big.bin"), path), 0);
    EXPECT_EQ(testutil::ReadFile(path), body);
    EXPECT_EQ(FilesInDir(), 1u);
}

TEST_F(SupportDownload, NotFoundFailsAndLeavesTheOldFileAlone) {
    std::string path = dir_.File("keep.txt");
    testutil::WriteFile(path, "old content");
    EXPECT_EQ(Download(server_.Url("/missing"), path), 4);
    EXPECT_EQ(testutil::ReadFile(path), "old content");
    EXPECT_EQ(FilesInDir(), 1u);
}

TEST_F(SupportDownload, ServerErrorWithABodyIsStillAFailure) {
    server_.Set("/err", {500, "an error page that looks like content"});
    std::string path = dir_.File("out");
    EXPECT_EQ(Download(server_.Url("/err"), path), 4);
    EXPECT_EQ(FilesInDir(), 0u);
}

TEST_F(SupportDownload, RedirectsAreFollowed) {
    server_.Set("/new", {200, "moved here"});
    testutil::HttpAnswer redirect;
    redirect.iStatus = 302;
    redirect.location = server_.Url("/new");
    server_.Set("/old", redirect);
    std::string path = dir_.File("out");
    EXPECT_EQ(Download(server_.Url("/old"), path), 0);
    EXPECT_EQ(testutil::ReadFile(path), "moved here");
    EXPECT_EQ(server_.Requests("/new"), 1);
    // At most ten in a row: a redirect to itself fails after the tenth.
    testutil::HttpAnswer loop;
    loop.iStatus = 302;
    loop.location = server_.Url("/loop");
    server_.Set("/loop", loop);
    EXPECT_NE(Download(server_.Url("/loop"), dir_.File("loop")), 0);
    EXPECT_EQ(server_.Requests("/loop"), 11);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("loop")));
    // Only to http or https, as for the first address: the transfer fails
    // without a connection to the place named.
    uint16_t wPort = 0;
    platform::SocketHandle listener = platform::SocketListenLoopback(0, &wPort);
    ASSERT_NE(listener, platform::kInvalidSocket);
    testutil::HttpAnswer toFtp;
    toFtp.iStatus = 302;
    toFtp.location = "ftp://127.0.0.1:" + std::to_string(wPort) + "/file";
    server_.Set("/ftp", toFtp);
    EXPECT_EQ(Download(server_.Url("/ftp"), dir_.File("ftp")), 3);
    EXPECT_FALSE(std::filesystem::exists(dir_.File("ftp")));
    bool bCalled = false, bWritable = false;
    EXPECT_EQ(platform::SocketPoll(listener, &bCalled, &bWritable), 0);
    EXPECT_FALSE(bCalled) << "the redirect was followed";
    platform::SocketClose(listener);
}

TEST_F(SupportDownload, RefusedConnectionFails) {
    uint16_t wPort = 0;
    platform::SocketHandle s = platform::SocketListenLoopback(0, &wPort);
    platform::SocketClose(s);
    std::string path = dir_.File("out");
    EXPECT_EQ(Download("http://127.0.0.1:" + std::to_string(wPort) + "/x", path), 3);
    EXPECT_EQ(FilesInDir(), 0u);
}

TEST_F(SupportDownload, StalledAndTruncatedTransfersFailWithoutPartialFiles) {
    testutil::HttpAnswer stalled;
    stalled.body = std::string(10000, 's');
    stalled.iStallAfter = 100;
    server_.Set("/stall", stalled);
    testutil::HttpAnswer truncated;
    truncated.body = std::string(10000, 't');
    truncated.bCloseEarly = true;
    server_.Set("/short", truncated);

    std::string path = dir_.File("out");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Download(server_.Url("/stall"), path), 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(Download(server_.Url("/short"), path), 3);
    EXPECT_EQ(FilesInDir(), 0u);
}

TEST_F(SupportDownload, AbortStopsARunningTransfer) {
    testutil::HttpAnswer slow;
    slow.body = std::string(2000, 'd');
    slow.iDripDelayMs = 5;
    server_.Set("/slow", slow);
    std::string path = dir_.File("out");
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        quorvex_testing::SetDownloadAbort(true);
    });
    EXPECT_EQ(Download(server_.Url("/slow"), path), 7);
    stopper.join();
    EXPECT_EQ(FilesInDir(), 0u);
    // Refused while set, touching neither the server nor the disk (a
    // temporary file left by an earlier run stays as it is).
    testutil::WriteFile(path + ".part", "left over");
    EXPECT_EQ(Download(server_.Url("/slow"), path), 7);
    EXPECT_EQ(server_.Requests("/slow"), 1);
    EXPECT_EQ(NamesInDir(), Names{"out.part"});
    EXPECT_EQ(testutil::ReadFile(path + ".part"), "left over");
}

// A small volume made up for the test: room for 2 MiB above the 256 MiB
// reserve, less what the files in g_volumeDir take. It remembers the most
// that they took when asked.
constexpr uint64_t kReserve = 256ull << 20;
constexpr uint64_t kRoom = 2ull << 20;
std::string g_volumeDir;
std::atomic<bool> g_bVolumeTells{true};
std::atomic<uint64_t> g_qwMostUsed{0};

uint64_t VolumeUsed() {
    uint64_t qwUsed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(g_volumeDir)) {
        std::error_code ec;
        uint64_t qwSize = std::filesystem::file_size(entry.path(), ec);
        if (!ec) qwUsed += qwSize;
    }
    return qwUsed;
}

bool SmallVolume(const char*, uint64_t* pqwFree) {
    if (!g_bVolumeTells) return false;
    uint64_t qwUsed = VolumeUsed();
    if (qwUsed > g_qwMostUsed) g_qwMostUsed = qwUsed;
    *pqwFree = kReserve + kRoom - std::min(qwUsed, kReserve + kRoom);
    return true;
}

// A huge download into a small volume: refused by its announced length
// before a byte is written, or stopped as an endless body reaches the
// reserve; either way nothing is left behind and the old file stays.
TEST_F(SupportDownload, ADownloadNeverEatsIntoTheDiskReserve) {
    g_volumeDir = dir_.Path();
    g_bVolumeTells = true;
    platform_testing::SetFreeSpaceHook(SmallVolume);
    std::string path = dir_.File("keep.bin");
    testutil::WriteFile(path, "old");
    server_.Set("/fits", {200, std::string(kRoom / 2, 'f')});
    EXPECT_EQ(Download(server_.Url("/fits"), dir_.File("fits.bin")), 0);
    ASSERT_TRUE(std::filesystem::remove(dir_.File("fits.bin")));

    testutil::HttpAnswer huge(200, std::string(64 * 1024, 'h'));
    huge.qwAnnouncedLength = 4ull << 30;
    server_.Set("/huge", huge);
    testutil::HttpAnswer endless(200, std::string(16 * 1024, 'e'));
    endless.bEndless = true;
    server_.Set("/endless", endless);
    for (const char* szTarget : {"/huge", "/endless"}) {
        SCOPED_TRACE(szTarget);
        g_qwMostUsed = 0;
        // Past the whole volume a real one would refuse the writes: the
        // transfer is stopped rather than let run on without end.
        std::atomic<bool> bDone{false};
        std::thread full([&bDone] {
            while (!bDone && VolumeUsed() <= kReserve + kRoom) platform::SleepRealMs(10);
            if (!bDone) quorvex_testing::SetDownloadAbort(true);
        });
        EXPECT_EQ(Download(server_.Url(szTarget), path), 8);
        bDone = true;
        full.join();
        EXPECT_EQ(NamesInDir(), Names{"keep.bin"});
        EXPECT_EQ(testutil::ReadFile(path), "old");
    }
    // The endless body was written up to the reserve, not refused at once.
    EXPECT_GE(g_qwMostUsed.load(), kRoom / 2);
    EXPECT_LE(g_qwMostUsed.load(), kRoom + 64 * 1024);

    // A volume that cannot tell its free space is not held to the reserve.
    g_bVolumeTells = false;
    EXPECT_EQ(Download(server_.Url("/fits"), dir_.File("fits.bin")), 0);
}

TEST_F(SupportDownload, BadArgumentsAndSchemesAreRefused) {
    std::string path = dir_.File("out");
    EXPECT_EQ(InternetDownloadFile(nullptr, 0, 0, nullptr, path.c_str()), 1);
    EXPECT_EQ(InternetDownloadFile(nullptr, 0, 0, "http://127.0.0.1/", nullptr), 1);
    EXPECT_EQ(Download("", path), 1);
    EXPECT_EQ(Download(server_.Url("/x"), ""), 1);
    EXPECT_EQ(Download("ftp://127.0.0.1/file", path), 6);
    EXPECT_EQ(Download("file:///etc/passwd", path), 6);
    EXPECT_EQ(FilesInDir(), 0u);
}

TEST_F(SupportDownload, DestinationInAMissingDirectoryFails) {
    server_.Set("/f", {200, "x"});
    EXPECT_EQ(Download(server_.Url("/f"), dir_.File("no/such/dir/f")), 2);
    // A file whose last bytes cannot be written as it is closed: the
    // transfer went well, the file did not.
    platform::HttpOptions options{};
    options.dwConnectTimeoutMs = 2000;
    options.dwStallTimeoutMs = 1000;
    int iStatus = 0;
    EXPECT_EQ(
        platform::HttpDownloadToFile(server_.Url("/f").c_str(), "/dev/full", options, &iStatus),
        platform::HttpResult::kFileError);
    EXPECT_EQ(iStatus, 200);
    // A refused scheme reports no status, and the status is optional.
    EXPECT_EQ(platform::HttpDownloadToFile("ftp://127.0.0.1/f", "f", options, &iStatus),
              platform::HttpResult::kBadScheme);
    EXPECT_EQ(iStatus, 0);
    EXPECT_EQ(platform::HttpDownloadToFile("ftp://127.0.0.1/f", "f", options, nullptr),
              platform::HttpResult::kBadScheme);
}

TEST_F(SupportDownload, ATransferBelowTheSpeedFloorFailsLikeAStall) {
    // 200 bytes a second, never quiet long enough for the stall time-out,
    // against a floor of 500 a second: the whole body would take 25 s.
    testutil::HttpAnswer trickle(200, std::string(5000, 'd'));
    trickle.iDripDelayMs = 5;
    server_.Set("/trickle", trickle);
    quorvex_testing::SetDownloadFloor(100, 200);
    std::string path = dir_.File("out");
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Download(server_.Url("/trickle"), path), 3);
    EXPECT_LT(MsSince(start), 900);
    EXPECT_EQ(FilesInDir(), 0u);
}

TEST_F(SupportDownload, ATransferAboveTheSpeedFloorSucceeds) {
    // 20 bytes every 20 ms: twice the floor, over three windows.
    testutil::HttpAnswer slow(200, std::string(600, 'k'));
    slow.iDripDelayMs = 20;
    slow.iDripBytes = 20;
    server_.Set("/slow", slow);
    quorvex_testing::SetDownloadFloor(100, 200);
    std::string path = dir_.File("out");
    EXPECT_EQ(Download(server_.Url("/slow"), path), 0);
    EXPECT_EQ(testutil::ReadFile(path), std::string(600, 'k'));
}

TEST_F(SupportDownload, LeftoversOfAnEarlierRunAreReplacedOrRemoved) {
    std::string path = dir_.File("data.bin");
    // A run killed mid-transfer, once alone and once beside another.
    testutil::WriteFile(path + ".part", std::string(10000, 'x'));
    testutil::WriteFile(path + ".part2", "stale");
    server_.Set("/data", {200, "fresh"});
    EXPECT_EQ(Download(server_.Url("/data"), path), 0);
    EXPECT_EQ(testutil::ReadFile(path), "fresh");
    EXPECT_EQ(NamesInDir(), Names{"data.bin"});

    // A failed download of the destination cleans up as well.
    testutil::WriteFile(path + ".part", "stale");
    testutil::WriteFile(path + ".part7", "stale");
    EXPECT_EQ(Download(server_.Url("/missing"), path), 4);
    EXPECT_EQ(testutil::ReadFile(path), "fresh");
    EXPECT_EQ(NamesInDir(), Names{"data.bin"});
}

TEST_F(SupportDownload, ConcurrentDownloadsOfOneDestinationBothEndWell) {
    testutil::HttpAnswer first(200, std::string(300, '1'));
    first.iDripDelayMs = 2;
    first.iDripBytes = 2;
    testutil::HttpAnswer second(200, std::string(300, '2'));
    second.iDripDelayMs = 2;
    second.iDripBytes = 2;
    server_.Set("/1", first);
    server_.Set("/2", second);
    std::string path = dir_.File("same.bin");
    int iFirst = -1;
    std::thread other([&] { iFirst = Download(server_.Url("/1"), path); });
    // The second starts while the first writes "<path>.part".
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!std::filesystem::exists(path + ".part") && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(std::filesystem::exists(path + ".part"));
    bool bSawOwnName = false;
    std::thread watcher([&] {
        while (Clock::now() < deadline && !bSawOwnName) {
            bSawOwnName = std::filesystem::exists(path + ".part1");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_EQ(Download(server_.Url("/2"), path), 0);
    other.join();
    watcher.join();
    EXPECT_EQ(iFirst, 0);
    EXPECT_TRUE(bSawOwnName);
    // Whole bodies only: the one that finished last.
    std::string content = testutil::ReadFile(path);
    EXPECT_TRUE(content == std::string(300, '1') || content == std::string(300, '2')) << content;
    EXPECT_EQ(NamesInDir(), Names{"same.bin"});
}

// The rule itself, fed by hand: floor 100 bytes per 1000 ms, stall 500 ms.
platform::HttpOptions WatchOptions(uint32_t dwWindowMs) {
    return platform::HttpOptions{0, 500, 100, dwWindowMs, 0, nullptr, nullptr};
}

TEST(TransferWatch, EachWindowMustBringTheFloor) {
    platform::TransferWatch watch(WatchOptions(1000), 0);
    EXPECT_FALSE(watch.TooSlow(1, 100));  // the first byte opens a window
    EXPECT_FALSE(watch.TooSlow(60, 500));
    EXPECT_FALSE(watch.TooSlow(100, 1100));  // exactly the floor: the next window opens
    EXPECT_FALSE(watch.TooSlow(150, 1500));
    EXPECT_TRUE(watch.TooSlow(199, 2100));  // one byte short
}

TEST(TransferWatch, TheFloorCountsFromTheFirstByteAndCanBeOff) {
    // A slow start (an answer head after 450 ms) is not held against the body.
    platform::TransferWatch watch(WatchOptions(1000), 0);
    EXPECT_FALSE(watch.TooSlow(0, 450));
    EXPECT_FALSE(watch.TooSlow(5, 460));
    EXPECT_FALSE(watch.TooSlow(60, 1100));
    EXPECT_TRUE(watch.TooSlow(99, 1460));

    platform::TransferWatch off(WatchOptions(0), 0);
    for (uint32_t dwMs = 100; dwMs < 5000; dwMs += 100) EXPECT_FALSE(off.TooSlow(dwMs / 100, dwMs));
}

TEST(TransferWatch, TheTickMayWrapAndTheCountMayStartAgain) {
    uint32_t dwStart = 0xFFFFFF00u;
    platform::TransferWatch watch(WatchOptions(1000), dwStart);
    EXPECT_FALSE(watch.TooSlow(50, dwStart + 100));
    EXPECT_FALSE(watch.TooSlow(150, dwStart + 1100));  // past the wrap
    // A redirect's request counts from zero again: a fresh window, not an
    // underflow that looks like plenty.
    EXPECT_FALSE(watch.TooSlow(1, dwStart + 1200));
    EXPECT_FALSE(watch.TooSlow(50, dwStart + 1800));
    EXPECT_TRUE(watch.TooSlow(60, dwStart + 2200));
}

}  // namespace
