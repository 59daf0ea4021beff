// The reference server's static file server, spoken to over raw sockets so
// that targets reach it exactly as written (a client library would tidy
// "/../" away before sending).
#include "server/http_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "util/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Response {
    int iStatus = 0;
    std::string head;
    std::string body;
    std::string Header(const std::string& name) const {
        size_t i = head.find("\r\n" + name + ": ");
        if (i == std::string::npos) return "";
        i += name.size() + 4;
        return head.substr(i, head.find("\r\n", i) - i);
    }
};

// Sends the raw request and reads the answer until the server closes.
Response Fetch(uint16_t wPort, const std::string& request) {
    Response response;
    platform::SocketHandle s = platform::SocketCreate();
    uint32_t dwAddr = 0;
    platform::ParseDottedAddress("127.0.0.1", &dwAddr);
    if (platform::SocketConnect(s, dwAddr, wPort) != 0) {
        platform::SocketClose(s);
        return response;
    }
    platform::SocketSend(s, request.data(), static_cast<int>(request.size()));
    std::string all;
    char buffer[16384];
    int n;
    while ((n = platform::SocketRecv(s, buffer, sizeof(buffer))) > 0)
        all.append(buffer, static_cast<size_t>(n));
    platform::SocketClose(s);
    size_t iEnd = all.find("\r\n\r\n");
    if (all.rfind("HTTP/1.1 ", 0) != 0 || iEnd == std::string::npos) return response;
    response.iStatus = std::atoi(all.c_str() + 9);
    response.head = all.substr(0, iEnd + 2);
    response.body = all.substr(iEnd + 4);
    return response;
}

std::string Get(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

// A served directory "www" with a secret file beside it, outside.
class HttpFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = dir_.File("www");
        std::filesystem::create_directories(root_ + "/sub");
        testutil::WriteFile(dir_.File("secret.txt"), kSecret);
    }
    void StartServer(uint64_t qwBytesPerSecond = 0) {
        refserver::HttpFilesOptions options;
        options.root = root_;
        options.qwBytesPerSecond = qwBytesPerSecond;
        server_ = std::make_unique<refserver::HttpFileServer>(options);
        std::string error;
        ASSERT_TRUE(server_->Start(&error)) << error;
    }

    static constexpr const char* kSecret = "the secret outside the served directory";
    testutil::TempDir dir_;
    std::string root_;
    std::unique_ptr<refserver::HttpFileServer> server_;
};

TEST_F(HttpFilesTest, ServesEveryByteExactly) {
    std::string content;
    for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
    testutil::WriteFile(root_ + "/sub/data.bin", content);
    StartServer();

    Response got = Fetch(server_->Port(), Get("/sub/data.bin"));
    EXPECT_EQ(got.iStatus, 200);
    EXPECT_EQ(got.Header("Content-Length"), std::to_string(content.size()));
    EXPECT_EQ(got.Header("Connection"), "close");
    EXPECT_TRUE(got.body == content) << "body of " << got.body.size() << " bytes differs";

    Response head = Fetch(server_->Port(), "HEAD /sub/data.bin HTTP/1.1\r\n\r\n");
    EXPECT_EQ(head.iStatus, 200);
    EXPECT_EQ(head.Header("Content-Length"), std::to_string(content.size()));
    EXPECT_EQ(head.body, "");
}

TEST_F(HttpFilesTest, MissingFilesAndDirectoriesAre404) {
    StartServer();
    for (const char* szTarget : {"/nothing.bin", "/sub/", "/sub", "/"}) {
        EXPECT_EQ(Fetch(server_->Port(), Get(szTarget)).iStatus, 404) << szTarget;
    }
    EXPECT_EQ(Fetch(server_->Port(), "DELETE /x HTTP/1.1\r\n\r\n").iStatus, 405);
}

TEST_F(HttpFilesTest, TargetsLeavingTheDirectoryAreRefused) {
    std::filesystem::create_symlink(dir_.File("secret.txt"), root_ + "/sub/link.txt");
    StartServer();
    const std::string absolute = dir_.File("secret.txt");
    for (const std::string& target :
         {std::string("/../secret.txt"), std::string("/sub/../../secret.txt"),
          std::string("/%2e%2e/secret.txt"), std::string("/%2E%2E%2Fsecret.txt"),
          std::string("/sub/..%2f..%2fsecret.txt"), std::string("/..\\secret.txt"),
          std::string("/sub/link.txt"), std::string("/secret.txt%00.bin"), absolute, "/" + absolute,
          "http://127.0.0.1" + absolute}) {
        Response got = Fetch(server_->Port(), Get(target));
        EXPECT_TRUE(got.iStatus == 400 || got.iStatus == 403 || got.iStatus == 404)
            << target << " -> " << got.iStatus;
        EXPECT_EQ(got.body.find(kSecret), std::string::npos) << target;
    }
}

// The tests' scripted answers come from the same server: a script stands in
// for a file of the same target, each target's requests are counted, and
// without a directory whatever is not scripted is missing.
TEST_F(HttpFilesTest, ScriptedAnswersStandInForFiles) {
    testutil::WriteFile(root_ + "/both.txt", "the file");
    StartServer();
    refserver::HttpAnswer moved(302, "elsewhere");
    moved.location = server_->Url("/both.txt");
    server_->Set("/both.txt", {200, "the script"});
    server_->Set("/moved", moved);

    EXPECT_EQ(Fetch(server_->Port(), Get("/both.txt")).body, "the script");
    Response got = Fetch(server_->Port(), Get("/moved"));
    EXPECT_EQ(got.iStatus, 302);
    EXPECT_EQ(got.Header("Location"),
              "http://127.0.0.1:" + std::to_string(server_->Port()) + "/both.txt");
    EXPECT_EQ(got.body, "elsewhere");
    EXPECT_EQ(Fetch(server_->Port(), "HEAD /moved HTTP/1.1\r\n\r\n").body, "");
    EXPECT_EQ(server_->Requests("/moved"), 2);
    EXPECT_EQ(server_->Requests("/both.txt"), 1);
    EXPECT_EQ(server_->Requests(), 3);

    refserver::HttpFileServer bare(refserver::HttpFilesOptions{});
    std::string error;
    ASSERT_TRUE(bare.Start(&error)) << error;
    bare.Set("/here", {200, "scripted"});
    EXPECT_EQ(Fetch(bare.Port(), Get("/here")).body, "scripted");
    EXPECT_EQ(Fetch(bare.Port(), Get("/both.txt")).iStatus, 404);
}

// Stop must not wait for a client that never sends its request, nor for a
// paced answer to run its course.
TEST_F(HttpFilesTest, StopEndsIdleAndSlowConnections) {
    testutil::WriteFile(root_ + "/big.bin", std::string(1 << 20, 'x'));
    StartServer(20000);  // the whole file would take almost a minute

    platform::SocketHandle idle = platform::SocketCreate();
    uint32_t dwAddr = 0;
    platform::ParseDottedAddress("127.0.0.1", &dwAddr);
    ASSERT_EQ(platform::SocketConnect(idle, dwAddr, server_->Port()), 0);
    Response slow;
    std::thread fetcher([&] { slow = Fetch(server_->Port(), Get("/big.bin")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    Clock::time_point start = Clock::now();
    server_->Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    fetcher.join();
    EXPECT_EQ(slow.iStatus, 200);
    EXPECT_GT(slow.body.size(), 0u);
    EXPECT_LT(slow.body.size(), 1u << 20);  // cut short, which the client can tell
    char c;
    EXPECT_LE(platform::SocketRecv(idle, &c, 1), 0);
    platform::SocketClose(idle);
}

TEST_F(HttpFilesTest, PacedAnswerKeepsItsPaceAndItsBytes) {
    std::string content(100000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
    testutil::WriteFile(root_ + "/paced.bin", content);
    StartServer(200000);

    Clock::time_point start = Clock::now();
    Response got = Fetch(server_->Port(), Get("/paced.bin"));
    auto elapsed = Clock::now() - start;
    EXPECT_TRUE(got.body == content);
    EXPECT_GE(elapsed, std::chrono::milliseconds(400));
    EXPECT_LT(elapsed, std::chrono::seconds(3));
}

}  // namespace
