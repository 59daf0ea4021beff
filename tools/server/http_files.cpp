#include "server/http_files.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <system_error>

namespace refserver {
namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxHead = 8192;
constexpr size_t kChunk = 65536;
constexpr int kPaceStepMs = 50;  // a paced body goes out in pieces this far apart

const char* Reason(int iStatus) {
    switch (iStatus) {
        case 200:
            return "OK";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 500:
            return "Internal Server Error";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Error";
    }
}

bool SendAll(platform::SocketHandle s, const char* pData, size_t iLength) {
    while (iLength > 0) {
        int n = platform::SocketSend(s, pData, static_cast<int>(std::min(iLength, kChunk)));
        if (n <= 0) return false;
        pData += n;
        iLength -= static_cast<size_t>(n);
    }
    return true;
}

bool SendAll(platform::SocketHandle s, const std::string& data) {
    return SendAll(s, data.data(), data.size());
}

// The answer's head; `extra` holds further header lines, each ending in CRLF.
std::string Head(int iStatus, uint64_t qwLength, const char* szType,
                 const std::string& extra = "") {
    std::string head = "HTTP/1.1 " + std::to_string(iStatus) + " " + Reason(iStatus) + "\r\n";
    head += "Content-Type: " + std::string(szType) + "\r\n";
    head += "Content-Length: " + std::to_string(qwLength) + "\r\n";
    head += extra;
    head += "Connection: close\r\n\r\n";
    return head;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Undoes percent escapes. False for a broken escape.
bool PercentDecode(const std::string& in, std::string* pOut) {
    pOut->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            pOut->push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size()) return false;
        int iHigh = HexValue(in[i + 1]);
        int iLow = HexValue(in[i + 2]);
        if (iHigh < 0 || iLow < 0) return false;
        pOut->push_back(static_cast<char>(iHigh * 16 + iLow));
        i += 2;
    }
    return true;
}

// True when `inner` is `outer` or lies below it (both canonical).
bool IsWithin(const fs::path& outer, const fs::path& inner) {
    auto itOuter = outer.begin();
    auto itInner = inner.begin();
    for (; itOuter != outer.end(); ++itOuter, ++itInner) {
        if (itInner == inner.end() || *itInner != *itOuter) return false;
    }
    return true;
}

}  // namespace

int ParseHttpRequest(const std::string& head, HttpRequest* pRequest) {
    size_t iLineEnd = head.find('\n');
    std::string line = head.substr(0, iLineEnd);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t iFirst = line.find(' ');
    size_t iSecond = iFirst == std::string::npos ? std::string::npos : line.find(' ', iFirst + 1);
    if (iFirst == 0 || iSecond == std::string::npos || iSecond == iFirst + 1) return 400;
    std::string version = line.substr(iSecond + 1);
    if (version.rfind("HTTP/", 0) != 0) return 400;
    if (version.rfind("HTTP/1.", 0) != 0) return 505;
    pRequest->method = line.substr(0, iFirst);
    pRequest->target = line.substr(iFirst + 1, iSecond - iFirst - 1);
    return 0;
}

int MapTargetToFile(const fs::path& root, const std::string& target, fs::path* pFile) {
    // Only the origin form "/path[?query]"; the query means nothing here.
    if (target.empty() || target[0] != '/') return 400;
    std::string path = target.substr(0, target.find_first_of("?#"));
    std::string decoded;
    if (!PercentDecode(path, &decoded)) return 400;

    // Checked after decoding, so that "%2e%2e" and "%2f" cannot hide a step
    // up; a backslash or a colon would be a separator or a drive elsewhere.
    fs::path relative;
    size_t iStart = 1;
    while (iStart <= decoded.size()) {
        size_t iEnd = decoded.find('/', iStart);
        if (iEnd == std::string::npos) iEnd = decoded.size();
        std::string segment = decoded.substr(iStart, iEnd - iStart);
        iStart = iEnd + 1;
        if (segment.empty() || segment == ".") continue;
        if (segment == ".." || segment.find_first_of(std::string("\\:\0", 3)) != std::string::npos)
            return 403;
        relative /= segment;
    }
    if (relative.empty()) return 404;  // the directory itself: no listings

    std::error_code ec;
    fs::path file = fs::canonical(root / relative, ec);
    if (ec) return 404;
    // A link inside the directory may still point out of it.
    if (!IsWithin(root, file)) return 403;
    if (!fs::is_regular_file(file, ec)) return 404;
    *pFile = file;
    return 200;
}

HttpFileServer::HttpFileServer(HttpFilesOptions options) : options_(std::move(options)) {}

HttpFileServer::~HttpFileServer() { Stop(); }

bool HttpFileServer::Start(std::string* pError) {
    std::error_code ec;
    if (!options_.root.empty()) {
        root_ = fs::canonical(options_.root, ec);
        if (ec || !fs::is_directory(root_, ec)) {
            *pError = "not a directory: " + options_.root;
            return false;
        }
    }
    listener_ = platform::SocketListen(options_.dwAddrNet, options_.wPort, &wPort_);
    if (listener_ == platform::kInvalidSocket) {
        *pError = "cannot listen on " + FormatIPv4Address(options_.dwAddrNet) + ":" +
                  std::to_string(options_.wPort) + ": " +
                  ListenErrorText(platform::SocketLastError());
        return false;
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void HttpFileServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (bStopping_) return;
        bStopping_ = true;
    }
    stopping_.notify_all();
    platform::SocketClose(listener_);
    if (acceptor_.joinable()) acceptor_.join();
    // No new connections now: wake every one still reading or sending.
    std::vector<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& pConnection : connections_) {
            if (!pConnection->bDone) platform::SocketClose(pConnection->s);
        }
        connections.swap(connections_);
    }
    for (auto& pConnection : connections) pConnection->thread.join();
}

int HttpFileServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return iRequests_;
}

int HttpFileServer::Requests(const std::string& target) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = requestsByTarget_.find(target);
    return it == requestsByTarget_.end() ? 0 : it->second;
}

void HttpFileServer::Set(const std::string& target, const HttpAnswer& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_[target] = answer;
}

std::string HttpFileServer::Url(const std::string& target) const {
    uint32_t dwAddrNet = options_.dwAddrNet != 0 ? options_.dwAddrNet : LoopbackAddress();
    return "http://" + FormatIPv4Address(dwAddrNet) + ":" + std::to_string(wPort_) + target;
}

void HttpFileServer::AcceptLoop() {
    for (;;) {
        platform::SocketHandle s = platform::SocketAccept(listener_);
        if (s == platform::kInvalidSocket) return;
        ReapFinished();
        std::lock_guard<std::mutex> lock(mutex_);
        if (bStopping_) {
            platform::SocketClose(s);
            return;
        }
        auto pConnection = std::make_unique<Connection>();
        pConnection->s = s;
        Connection* pRaw = pConnection.get();
        pConnection->thread = std::thread([this, pRaw] { Serve(pRaw); });
        connections_.push_back(std::move(pConnection));
    }
}

void HttpFileServer::ReapFinished() {
    std::vector<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it =
            std::stable_partition(connections_.begin(), connections_.end(),
                                  [](const auto& pConnection) { return !pConnection->bDone; });
        std::move(it, connections_.end(), std::back_inserter(finished));
        connections_.erase(it, connections_.end());
    }
    for (auto& pConnection : finished) pConnection->thread.join();
}

bool HttpFileServer::Pause(int iMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopping_.wait_for(lock, std::chrono::milliseconds(iMs), [this] { return bStopping_; });
}

bool HttpFileServer::WaitForRelease() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_.wait(lock, [this] { return bStopping_ || bReleased_; });
    return !bStopping_;
}

void HttpFileServer::Release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bReleased_ = true;
    }
    stopping_.notify_all();
}

// The body in chunks, over and over, until a send fails (the client has
// gone) or the server stops.
void HttpFileServer::SendEndless(platform::SocketHandle s, const std::string& body) {
    char size[32];
    std::snprintf(size, sizeof(size), "%zx\r\n", body.size());
    std::string chunk = size + body + "\r\n";
    if (body.empty()) return;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (bStopping_) return;
        }
        if (!SendAll(s, chunk)) return;
    }
}

void HttpFileServer::Serve(Connection* pConnection) {
    platform::SocketHandle s = pConnection->s;
    std::string head;
    char buffer[2048];
    size_t iHeadEnd = std::string::npos;
    while (head.size() <= kMaxHead) {
        int n = platform::SocketRecv(s, buffer, sizeof(buffer));
        if (n <= 0) break;
        head.append(buffer, static_cast<size_t>(n));
        iHeadEnd = head.find("\r\n\r\n");
        if (iHeadEnd == std::string::npos) iHeadEnd = head.find("\n\n");
        if (iHeadEnd != std::string::npos) break;
    }
    if (iHeadEnd != std::string::npos) {
        Answer(s, head.substr(0, iHeadEnd));
    } else if (head.size() > kMaxHead) {
        SendAll(s, Head(400, 0, "text/plain"));
    }
    // The peer reads the end of the answer before the socket goes.
    platform::SocketShutdownSend(s);
    std::lock_guard<std::mutex> lock(mutex_);
    platform::SocketClose(s);
    pConnection->bDone = true;
}

void HttpFileServer::Answer(platform::SocketHandle s, const std::string& head) {
    HttpRequest request;
    int iStatus = ParseHttpRequest(head, &request);
    HttpAnswer script;
    bool bScripted = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++iRequests_;
        if (iStatus == 0) {
            ++requestsByTarget_[request.target];
            auto it = scripts_.find(request.target);
            bScripted = it != scripts_.end();
            if (bScripted) script = it->second;
        }
    }
    bool bHead = request.method == "HEAD";
    if (bScripted) {
        Report(request, script.iStatus, script.body.size());
        std::string extra = script.location.empty() ? "" : "Location: " + script.location + "\r\n";
        std::string head;
        if (script.bEndless) {
            head = "HTTP/1.1 " + std::to_string(script.iStatus) + " " + Reason(script.iStatus) +
                   "\r\nContent-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n" +
                   extra + "Connection: close\r\n\r\n";
        } else {
            uint64_t qwLength =
                script.qwAnnouncedLength > 0 ? script.qwAnnouncedLength : script.body.size();
            head = Head(script.iStatus, qwLength, "application/octet-stream", extra);
        }
        if (!SendAll(s, head) || bHead) return;
        SendScripted(s, script);
        return;
    }

    fs::path file;
    if (iStatus == 0 && request.method != "GET" && request.method != "HEAD") iStatus = 405;
    if (iStatus == 0) iStatus = root_.empty() ? 404 : MapTargetToFile(root_, request.target, &file);
    std::error_code ec;
    uint64_t qwSize = 0;
    if (iStatus == 200) {
        qwSize = fs::file_size(file, ec);
        if (ec) iStatus = 404;
    }
    Report(request, iStatus, qwSize);
    if (iStatus != 200) {
        std::string body = std::to_string(iStatus) + " " + Reason(iStatus) + "\n";
        SendAll(s, Head(iStatus, body.size(), "text/plain",
                        iStatus == 405 ? "Allow: GET, HEAD\r\n" : ""));
        if (!bHead) SendAll(s, body);
        return;
    }
    if (!SendAll(s, Head(200, qwSize, "application/octet-stream")) || bHead) return;
    SendFile(s, file, qwSize);
}

// One line per answer on standard output, when asked for.
void HttpFileServer::Report(const HttpRequest& request, int iStatus, uint64_t qwSize) {
    if (!options_.bVerbose) return;
    std::string size = iStatus == 200 ? ", " + std::to_string(qwSize) + " bytes" : "";
    std::printf("http %s %s -> %d%s\n", request.method.c_str(), request.target.c_str(), iStatus,
                size.c_str());
    std::fflush(stdout);
}

// The body of a scripted answer, whose head has gone out, with its fault.
void HttpFileServer::SendScripted(platform::SocketHandle s, const HttpAnswer& answer) {
    const std::string& body = answer.body;
    if (answer.bEndless) {
        SendEndless(s, body);
    } else if (answer.iHoldAfter >= 0) {
        size_t iFirst = std::min(body.size(), static_cast<size_t>(answer.iHoldAfter));
        if (SendAll(s, body.data(), iFirst) && WaitForRelease()) {
            SendAll(s, body.data() + iFirst, body.size() - iFirst);
        }
    } else if (answer.iStallAfter >= 0) {
        SendAll(s, body.data(), std::min(body.size(), static_cast<size_t>(answer.iStallAfter)));
        // Hang until the client gives up (its recv sees nothing more) or the
        // server stops.
        char buffer[256];
        while (Pause(50)) {
            bool bReadable = false;
            if (platform::SocketPoll(s, &bReadable, nullptr) < 0) break;
            if (bReadable && platform::SocketRecv(s, buffer, sizeof(buffer)) <= 0) break;
        }
    } else if (answer.bCloseEarly) {
        SendAll(s, body.data(), body.size() / 2);
    } else if (answer.iDripDelayMs > 0) {
        size_t iStep = static_cast<size_t>(std::max(answer.iDripBytes, 1));
        for (size_t iAt = 0; iAt < body.size(); iAt += iStep) {
            if (!SendAll(s, body.data() + iAt, std::min(iStep, body.size() - iAt)) ||
                !Pause(answer.iDripDelayMs)) {
                break;
            }
        }
    } else {
        SendAll(s, body);
    }
}

// Sends the first qwSize bytes of the file: the length already announced.
// A file that shrank meanwhile ends the answer short, which the client sees.
bool HttpFileServer::SendFile(platform::SocketHandle s, const fs::path& file, uint64_t qwSize) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    size_t iPiece = kChunk;
    if (options_.qwBytesPerSecond > 0) {
        uint64_t qwPerStep = std::max<uint64_t>(1, options_.qwBytesPerSecond * kPaceStepMs / 1000);
        iPiece = static_cast<size_t>(std::min<uint64_t>(qwPerStep, kChunk));
    }
    std::vector<char> buffer(iPiece);
    auto start = std::chrono::steady_clock::now();
    uint64_t qwSent = 0;
    while (qwSent < qwSize) {
        size_t iWant = static_cast<size_t>(std::min<uint64_t>(iPiece, qwSize - qwSent));
        in.read(buffer.data(), static_cast<std::streamsize>(iWant));
        size_t iGot = static_cast<size_t>(in.gcount());
        if (iGot == 0 || !SendAll(s, buffer.data(), iGot)) return false;
        qwSent += iGot;
        if (options_.qwBytesPerSecond > 0 && qwSent < qwSize) {
            // Keep to the pace on average rather than per piece.
            auto due = start + std::chrono::milliseconds(qwSent * 1000 / options_.qwBytesPerSecond);
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                due - std::chrono::steady_clock::now());
            if (wait.count() > 0 && !Pause(static_cast<int>(wait.count()))) return false;
        }
    }
    return true;
}

}  // namespace refserver
