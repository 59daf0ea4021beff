// A small HTTP/1.1 server on 127.0.0.1 for download tests: each path has a
// scripted answer, including the faults a downloader must survive.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace testutil {

struct HttpAnswer {
    int iStatus = 200;
    std::string body;
    std::string location;      // sent as a Location header when not empty
    int iStallAfter = -1;      // >= 0: send the headers and this many body bytes, then hang
    int iDripDelayMs = 0;      // > 0: send the body in steps with this pause after each
    int iDripBytes = 1;        // the bytes of each such step
    bool bCloseEarly = false;  // announce the whole body, send half, close

    HttpAnswer() = default;
    HttpAnswer(int iStatusIn, std::string bodyIn) : iStatus(iStatusIn), body(std::move(bodyIn)) {}
};

class TestHttpServer {
public:
    TestHttpServer();
    ~TestHttpServer();  // stops hanging answers and joins every thread
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    void Set(const std::string& path, const HttpAnswer& answer);
    std::string Url(const std::string& path) const;
    uint16_t Port() const { return wPort_; }
    int Requests(const std::string& path) const;

private:
    void AcceptLoop();
    void Serve(platform::SocketHandle s);
    bool WaitStopped(int iMs);

    platform::SocketHandle listener_ = platform::kInvalidSocket;
    uint16_t wPort_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool bStopping_ = false;
    std::map<std::string, HttpAnswer> answers_;
    std::map<std::string, int> requests_;
    std::vector<platform::SocketHandle> open_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

}  // namespace testutil
