// A small HTTP/1.1 server beside the reference server, so that the
// library's downloads can be tried on loopback: GET and HEAD for the files
// under one directory, and answers scripted per path, with the faults a
// downloader must survive, for the tests. One answer per connection.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "server/listen_address.h"

namespace refserver {

struct HttpFilesOptions {
    std::string root;  // the directory served, nothing outside it; empty: none
    uint32_t dwAddrNet = LoopbackAddress();  // where to listen, network byte order
    uint16_t wPort = 0;                      // 0: a free port
    uint64_t qwBytesPerSecond = 0;           // pace of each answer's body; 0: as fast as it goes
    bool bVerbose = false;                   // print one line per answer on standard output
};

// The answer scripted for a path, in place of a file.
struct HttpAnswer {
    int iStatus = 200;
    std::string body;
    std::string location;      // sent as a Location header when not empty
    int iStallAfter = -1;      // >= 0: send the headers and this many body bytes, then hang
    int iDripDelayMs = 0;      // > 0: send the body in steps with this pause after each
    int iDripBytes = 1;        // the bytes of each such step
    bool bCloseEarly = false;  // announce the whole body, send half, close
    int iHoldAfter = -1;       // >= 0: send this many body bytes, then the rest after Release()
    uint64_t qwAnnouncedLength = 0;  // > 0: the Content-Length sent, whatever the body's size
    bool bEndless = false;  // chunked, the body sent again and again until the client leaves

    HttpAnswer() = default;
    HttpAnswer(int iStatusIn, std::string bodyIn) : iStatus(iStatusIn), body(std::move(bodyIn)) {}
};

// What a request asks for, taken from its head.
struct HttpRequest {
    std::string method;
    std::string target;  // as sent, percent escapes and query included
};

// Parses the request line of a head that ends with an empty line. Returns 0,
// or the status to refuse it with (400 malformed, 505 not HTTP/1.x).
int ParseHttpRequest(const std::string& head, HttpRequest* pRequest);

// Maps a request target to a file under root (root already canonical).
// Returns 200 with the file's canonical path in *pFile, or 400 (bad
// escape), 403 (the target climbs out of root, names a drive or carries a
// NUL or backslash, or a link leads outside) or 404 (no regular file there).
int MapTargetToFile(const std::filesystem::path& root, const std::string& target,
                    std::filesystem::path* pFile);

class HttpFileServer {
public:
    explicit HttpFileServer(HttpFilesOptions options);
    ~HttpFileServer();  // Stop()
    HttpFileServer(const HttpFileServer&) = delete;
    HttpFileServer& operator=(const HttpFileServer&) = delete;

    // Listens on options.dwAddrNet. False, with the reason in *pError, when
    // the directory is not one or the port cannot be had.
    bool Start(std::string* pError);
    // Closes the listener and every open connection and joins every thread.
    void Stop();
    uint16_t Port() const { return wPort_; }
    int Requests() const;                           // answers given, errors included
    int Requests(const std::string& target) const;  // requests for this target, as sent

    // From now on a request for `target` (as sent, whatever its method) gets
    // the scripted answer instead of a file.
    void Set(const std::string& target, const HttpAnswer& answer);
    // Lets every answer held by iHoldAfter, now and later, send the rest.
    void Release();
    // "http://ADDRESS:PORT" and the target; 127.0.0.1 for a server on every
    // interface.
    std::string Url(const std::string& target) const;

private:
    struct Connection {
        platform::SocketHandle s = platform::kInvalidSocket;
        std::thread thread;
        bool bDone = false;  // guarded by mutex_
    };
    void AcceptLoop();
    void Serve(Connection* pConnection);
    void Answer(platform::SocketHandle s, const std::string& head);
    void Report(const HttpRequest& request, int iStatus, uint64_t qwSize);
    bool SendFile(platform::SocketHandle s, const std::filesystem::path& file, uint64_t qwSize);
    void SendScripted(platform::SocketHandle s, const HttpAnswer& answer);
    bool Pause(int iMs);    // false when the server stops meanwhile
    bool WaitForRelease();  // false when the server stops first
    void SendEndless(platform::SocketHandle s, const std::string& body);
    void ReapFinished();  // REQUIRES: on the acceptor thread

    HttpFilesOptions options_;
    std::filesystem::path root_;  // canonical
    uint16_t wPort_ = 0;
    platform::SocketHandle listener_ = platform::kInvalidSocket;
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    bool bStopping_ = false;
    bool bReleased_ = false;                                // guarded by mutex_
    std::vector<std::unique_ptr<Connection>> connections_;  // guarded by mutex_
    int iRequests_ = 0;                                     // guarded by mutex_
    std::map<std::string, int> requestsByTarget_;           // guarded by mutex_
    std::map<std::string, HttpAnswer> scripts_;             // guarded by mutex_
};

}  // namespace refserver
