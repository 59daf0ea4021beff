#include "util/http_server.h"

#include <algorithm>
#include <chrono>

namespace testutil {
namespace {

bool SendAll(platform::SocketHandle s, const std::string& data) {
    size_t iSent = 0;
    while (iSent < data.size()) {
        int n = platform::SocketSend(s, data.data() + iSent, static_cast<int>(data.size() - iSent));
        if (n <= 0) return false;
        iSent += static_cast<size_t>(n);
    }
    return true;
}

const char* Reason(int iStatus) {
    switch (iStatus) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

}  // namespace

TestHttpServer::TestHttpServer() {
    listener_ = platform::SocketListenLoopback(0, &wPort_);
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bStopping_ = true;
        for (platform::SocketHandle s : open_) platform::SocketClose(s);
        open_.clear();
    }
    stopped_.notify_all();
    platform::SocketClose(listener_);
    acceptor_.join();
    for (std::thread& t : workers_) t.join();
}

void TestHttpServer::Set(const std::string& path, const HttpAnswer& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[path] = answer;
}

std::string TestHttpServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(wPort_) + path;
}

int TestHttpServer::Requests(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = requests_.find(path);
    return it == requests_.end() ? 0 : it->second;
}

void TestHttpServer::AcceptLoop() {
    for (;;) {
        platform::SocketHandle s = platform::SocketAccept(listener_);
        if (s == platform::kInvalidSocket) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (bStopping_) {
            platform::SocketClose(s);
            return;
        }
        open_.push_back(s);
        workers_.emplace_back([this, s] { Serve(s); });
    }
}

bool TestHttpServer::WaitStopped(int iMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return stopped_.wait_for(lock, std::chrono::milliseconds(iMs), [this] { return bStopping_; });
}

void TestHttpServer::Serve(platform::SocketHandle s) {
    std::string request;
    char buf[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        int n = platform::SocketRecv(s, buf, sizeof(buf));
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
    }
    std::string path;
    size_t iSpace = request.find(' ');
    if (iSpace != std::string::npos) {
        size_t iEnd = request.find(' ', iSpace + 1);
        path = request.substr(iSpace + 1,
                              iEnd == std::string::npos ? std::string::npos : iEnd - iSpace - 1);
    }
    HttpAnswer answer;
    bool bKnown;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requests_[path];
        auto it = answers_.find(path);
        bKnown = it != answers_.end();
        if (bKnown) answer = it->second;
    }
    if (!bKnown) {
        answer.iStatus = 404;
        answer.body = "not found";
    }

    std::string head = "HTTP/1.1 " + std::to_string(answer.iStatus) + " " + Reason(answer.iStatus) +
                       "\r\nContent-Length: " + std::to_string(answer.body.size()) +
                       "\r\nConnection: close\r\n";
    if (!answer.location.empty()) head += "Location: " + answer.location + "\r\n";
    head += "\r\n";
    bool bOk = SendAll(s, head);
    if (bOk && answer.iStallAfter >= 0) {
        size_t iPart = std::min(answer.body.size(), static_cast<size_t>(answer.iStallAfter));
        SendAll(s, answer.body.substr(0, iPart));
        // Hang until the client gives up (its recv sees nothing more) or the
        // server stops.
        while (!WaitStopped(50)) {
            bool bReadable = false;
            if (platform::SocketPoll(s, &bReadable, nullptr) < 0) break;
            if (bReadable && platform::SocketRecv(s, buf, sizeof(buf)) <= 0) break;
        }
    } else if (bOk && answer.bCloseEarly) {
        SendAll(s, answer.body.substr(0, answer.body.size() / 2));
    } else if (bOk && answer.iDripDelayMs > 0) {
        size_t iStep = static_cast<size_t>(std::max(answer.iDripBytes, 1));
        for (size_t iAt = 0; iAt < answer.body.size(); iAt += iStep) {
            if (!SendAll(s, answer.body.substr(iAt, iStep)) || WaitStopped(answer.iDripDelayMs)) {
                break;
            }
        }
    } else if (bOk) {
        SendAll(s, answer.body);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(open_.begin(), open_.end(), s);
    if (it != open_.end()) {
        open_.erase(it);
        platform::SocketClose(s);
    }
}

}  // namespace testutil
