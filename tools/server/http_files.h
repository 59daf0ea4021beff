// A small static file server beside the reference server, so that the
// library's downloads can be tried on loopback: GET and HEAD for the files
// under one directory, over HTTP/1.1, one answer per connection.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "server/listen_address.h"

namespace refserver {

struct HttpFilesOptions {
    std::string root;                        // the directory served; nothing outside it is
    uint32_t dwAddrNet = LoopbackAddress();  // where to listen, network byte order
    uint16_t wPort = 0;                      // 0: a free port
    uint64_t qwBytesPerSecond = 0;           // pace of each answer's body; 0: as fast as it goes
    bool bVerbose = false;                   // print one line per answer on standard output
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
    int Requests() const;  // answers given, errors included

private:
    struct Connection {
        platform::SocketHandle s = platform::kInvalidSocket;
        std::thread thread;
        bool bDone = false;  // guarded by mutex_
    };
    void AcceptLoop();
    void Serve(Connection* pConnection);
    void Answer(platform::SocketHandle s, const std::string& head);
    bool SendFile(platform::SocketHandle s, const std::filesystem::path& file, uint64_t qwSize);
    bool Pause(int iMs);  // false when the server stops meanwhile
    void ReapFinished();  // REQUIRES: on the acceptor thread

    HttpFilesOptions options_;
    std::filesystem::path root_;  // canonical
    uint16_t wPort_ = 0;
    platform::SocketHandle listener_ = platform::kInvalidSocket;
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    bool bStopping_ = false;
    std::vector<std::unique_ptr<Connection>> connections_;  // guarded by mutex_
    int iRequests_ = 0;                                     // guarded by mutex_
};

}  // namespace refserver
