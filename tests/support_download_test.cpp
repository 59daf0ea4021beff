// The downloader against a loopback HTTP server: good transfers, HTTP
// errors, refused and stalled servers, redirects, and no partial file left
// behind by any failure.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "support/quorvex.h"
#include "support/quorvex_internal.h"
#include "util/http_server.h"
#include "util/temp_dir.h"

namespace {

class SupportDownload : public ::testing::Test {
protected:
    void SetUp() override { quorvex::SetDownloadTimeouts(2000, 1000); }
    void TearDown() override {
        quorvex::SetDownloadTimeouts(30000, 60000);
        quorvex::SetDownloadAbort(false);
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

    testutil::TempDir dir_;
    testutil::TestHttpServer server_;
};

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
        quorvex::SetDownloadAbort(true);
    });
    EXPECT_EQ(Download(server_.Url("/slow"), path), 7);
    stopper.join();
    EXPECT_EQ(Download(server_.Url("/slow"), path), 7);  // refused while set
    EXPECT_EQ(FilesInDir(), 0u);
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
}

}  // namespace
