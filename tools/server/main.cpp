// vorel-server: the reference server as a program, for tests, the demo and
// game developers who want a server on their own machine.
//
//   vorel-server [--port N] [--user NAME:PASSWORD]... [--seconds N] [--verbose]
//                [--receive-buffer BYTES]
//                [--http-dir DIR [--http-port N] [--http-rate BYTES]]
//
// It listens on 127.0.0.1 (a free port unless --port is given), prints
// "vorel-server listening on 127.0.0.1:PORT", and serves until it is
// interrupted, until --seconds have passed, or until "quit" on its input.
// With --http-dir it also serves the files under DIR over HTTP on 127.0.0.1
// (a free port unless --http-port is given; --http-rate paces each answer's
// body) and prints "vorel-server http on 127.0.0.1:PORT" next.
// Commands on standard input, one a line:
//   push TYPE TEXT      send a message (type 400 or more) to every connection
//   disconnect          send the disconnect notice to every connection
//   drop                close every connection
//   fault NAME [COUNT]  misbehave: close-mid-packet, reset-mid-packet, garbage,
//                       drip, oversize, unknown-id, no-key-answer, refuse,
//                       short-header, half-close, stop-reading, flood, burst,
//                       none
//   quit                stop
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "server/http_files.h"
#include "server/reference_server.h"

namespace {

std::atomic<bool> g_bQuit{false};

void OnSignal(int) { g_bQuit = true; }

bool ParseFault(const std::string& name, refserver::Fault* pFault) {
    static const std::map<std::string, refserver::Fault> kNames{
        {"none", refserver::Fault::kNone},
        {"close-mid-packet", refserver::Fault::kCloseMidPacket},
        {"garbage", refserver::Fault::kGarbage},
        {"drip", refserver::Fault::kDrip},
        {"oversize", refserver::Fault::kOversize},
        {"unknown-id", refserver::Fault::kUnknownId},
        {"no-key-answer", refserver::Fault::kNoKeyAnswer},
        {"refuse", refserver::Fault::kRefuse},
        {"short-header", refserver::Fault::kShortHeader},
        {"reset-mid-packet", refserver::Fault::kResetMidPacket},
        {"half-close", refserver::Fault::kHalfClose},
        {"stop-reading", refserver::Fault::kStopReading},
        {"flood", refserver::Fault::kFlood},
        {"burst", refserver::Fault::kBurst},
    };
    auto it = kNames.find(name);
    if (it == kNames.end()) return false;
    *pFault = it->second;
    return true;
}

void Command(refserver::ReferenceServer& server, const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "push") {
        int iType = 0;
        in >> iType;
        std::string text;
        std::getline(in, text);
        if (!text.empty() && text[0] == ' ') text.erase(0, 1);
        server.Push(iType, text);
    } else if (verb == "disconnect") {
        server.SendDisconnect();
    } else if (verb == "drop") {
        server.DropConnections();
    } else if (verb == "fault") {
        std::string name;
        int iCount = 1;
        in >> name >> iCount;
        refserver::Fault fault;
        if (!ParseFault(name, &fault)) {
            std::printf("unknown fault: %s\n", name.c_str());
        } else {
            server.SetFault(fault, iCount);
        }
    } else if (verb == "quit") {
        g_bQuit = true;
    } else if (!verb.empty()) {
        std::printf("unknown command: %s\n", verb.c_str());
    }
    std::fflush(stdout);
}

int Usage() {
    std::fprintf(
        stderr,
        "usage: vorel-server [--port N] [--user NAME:PASSWORD]... [--seconds N] [--verbose]\n"
        "                    [--receive-buffer BYTES]\n"
        "                    [--http-dir DIR [--http-port N] [--http-rate BYTES]]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    refserver::Options options;
    refserver::HttpFilesOptions httpOptions;
    bool bHttpPortGiven = false;
    int iSeconds = 0;
    bool bUsersGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--port" || arg == "--http-port") && i + 1 < argc) {
            int iPort = std::atoi(argv[++i]);
            if (iPort < 0 || iPort > 65535) return Usage();
            if (arg == "--port") {
                options.wPort = static_cast<uint16_t>(iPort);
            } else {
                httpOptions.wPort = static_cast<uint16_t>(iPort);
                bHttpPortGiven = true;
            }
        } else if (arg == "--http-dir" && i + 1 < argc) {
            httpOptions.root = argv[++i];
            if (httpOptions.root.empty()) return Usage();
        } else if (arg == "--http-rate" && i + 1 < argc) {
            long long iRate = std::atoll(argv[++i]);
            if (iRate < 0) return Usage();
            httpOptions.qwBytesPerSecond = static_cast<uint64_t>(iRate);
        } else if (arg == "--user" && i + 1 < argc) {
            std::string user = argv[++i];
            size_t iColon = user.find(':');
            if (iColon == std::string::npos || iColon == 0) return Usage();
            if (!bUsersGiven) options.users.clear();
            bUsersGiven = true;
            options.users[user.substr(0, iColon)] = user.substr(iColon + 1);
        } else if (arg == "--receive-buffer" && i + 1 < argc) {
            int iBytes = std::atoi(argv[++i]);
            if (iBytes < 0) return Usage();
            options.iReceiveBufferBytes = iBytes;
        } else if (arg == "--seconds" && i + 1 < argc) {
            iSeconds = std::atoi(argv[++i]);
        } else if (arg == "--verbose") {
            options.bVerbose = true;
        } else {
            return Usage();
        }
    }
    bool bHttp = !httpOptions.root.empty();
    if (!bHttp && (bHttpPortGiven || httpOptions.qwBytesPerSecond > 0)) return Usage();
    httpOptions.bVerbose = options.bVerbose;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    refserver::ReferenceServer server(options);
    if (!server.Start()) {
        std::fprintf(stderr, "vorel-server: cannot listen on 127.0.0.1:%u\n", options.wPort);
        return 1;
    }
    refserver::HttpFileServer http(httpOptions);
    std::string error;
    if (bHttp && !http.Start(&error)) {
        server.Stop();
        std::fprintf(stderr, "vorel-server: http: %s\n", error.c_str());
        return 1;
    }
    std::printf("vorel-server listening on 127.0.0.1:%u\n", server.Port());
    if (bHttp) std::printf("vorel-server http on 127.0.0.1:%u\n", http.Port());
    std::fflush(stdout);

    std::thread input([&server] {
        std::string line;
        while (!g_bQuit && std::getline(std::cin, line)) Command(server, line);
    });
    input.detach();  // a blocked read of the input must not hold up the end

    auto start = std::chrono::steady_clock::now();
    while (!g_bQuit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (iSeconds > 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::seconds(iSeconds))
            break;
    }
    http.Stop();
    server.Stop();
    std::printf("vorel-server stopped after %d connections", server.Connections());
    if (bHttp) std::printf(" and %d http requests", http.Requests());
    std::printf("\n");
    return 0;
}
