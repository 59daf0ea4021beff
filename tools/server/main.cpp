// vorel-server: the reference server as a program, for tests, the demo and
// game developers who want a server on their own machine, on Linux or
// Windows.
//
//   vorel-server [--bind ADDRESS] [--port N] [--user NAME:PASSWORD]...
//                [--seconds N] [--verbose] [--receive-buffer BYTES]
//                [--http-dir DIR [--http-port N] [--http-rate BYTES]]
//   vorel-server --help | --version
//
// It listens on ADDRESS (127.0.0.1 unless --bind is given; a free port
// unless --port is given), prints "vorel-server listening on ADDRESS:PORT",
// and serves until it is interrupted, until --seconds have passed, or until
// "quit" on its input. With --http-dir it also serves the files under DIR
// over HTTP on the same address (a free port unless --http-port is given;
// --http-rate paces each answer's body) and prints "vorel-server http on
// ADDRESS:PORT" next. Exit status 0; 1 when it cannot listen; 2 for a bad
// command line.
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
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "platform/socket.h"
#include "server/command_line.h"
#include "server/http_files.h"
#include "server/listen_address.h"
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
            if (!server.SetFault(fault, iCount))
                std::printf("cannot listen again on port %u: connections stay refused\n",
                            server.Port());
        }
    } else if (verb == "quit") {
        g_bQuit = true;
    } else if (!verb.empty()) {
        std::printf("unknown command: %s\n", verb.c_str());
    }
    std::fflush(stdout);
}

int BadCommandLine(const std::string& error) {
    std::fprintf(stderr, "vorel-server: %s\n%s", error.c_str(), refserver::UsageText());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    refserver::CommandLine line;
    std::string error;
    if (!refserver::ParseCommandLine(argc, argv, &line, &error)) return BadCommandLine(error);
    if (line.bHelp) {
        std::fputs(refserver::HelpText().c_str(), stdout);
        return 0;
    }
    if (line.bVersion) {
        std::printf("vorel-server %s\n", VOREL_SERVER_VERSION);
        return 0;
    }
    bool bHttp = !line.http.root.empty();
    const std::string address = refserver::FormatIPv4Address(line.server.dwAddrNet);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
#ifdef SIGPIPE
    // Where the system has the signal: a reader of our output that went away
    // must not end the server; the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);
#endif

    int iStartError = platform::SocketStartup();
    if (iStartError != 0) {
        std::fprintf(stderr, "vorel-server: cannot start the socket layer (error %d)\n",
                     iStartError);
        return 1;
    }
    refserver::ReferenceServer server(line.server);
    int iListenError = 0;
    if (!server.Start(&iListenError)) {
        std::fprintf(stderr, "vorel-server: cannot listen on %s:%u: %s\n", address.c_str(),
                     line.server.wPort, refserver::ListenErrorText(iListenError).c_str());
        platform::SocketCleanup();
        return 1;
    }
    refserver::HttpFileServer http(line.http);
    if (bHttp && !http.Start(&error)) {
        server.Stop();
        std::fprintf(stderr, "vorel-server: http: %s\n", error.c_str());
        platform::SocketCleanup();
        return 1;
    }
    std::printf("vorel-server listening on %s:%u\n", address.c_str(), server.Port());
    if (bHttp) std::printf("vorel-server http on %s:%u\n", address.c_str(), http.Port());
    std::fflush(stdout);

    std::thread input([&server] {
        std::string command;
        while (!g_bQuit && std::getline(std::cin, command)) Command(server, command);
    });
    input.detach();  // a blocked read of the input must not hold up the end

    auto start = std::chrono::steady_clock::now();
    while (!g_bQuit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (line.iSeconds > 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::seconds(line.iSeconds))
            break;
    }
    http.Stop();
    server.Stop();
    std::printf("vorel-server stopped after %d connections", server.Connections());
    if (bHttp) std::printf(" and %d http requests", http.Requests());
    std::printf("\n");
    std::fflush(stdout);
    platform::SocketCleanup();
    return 0;
}
