#include "server/command_line.h"

#include <cstdint>
#include <limits>

namespace refserver {
namespace {

// The most --http-rate takes: a terabyte a second is no pace at all, and the
// pacing arithmetic stays far from overflow below it.
constexpr uint64_t kMaxRate = uint64_t{1} << 40;

// Decimal digits only (no sign, no spaces, no suffix), at most qwMax.
bool ParseNumber(const std::string& text, uint64_t qwMax, uint64_t* pqwValue) {
    if (text.empty()) return false;
    uint64_t qwValue = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        unsigned iDigit = static_cast<unsigned>(c - '0');
        if (qwValue > (qwMax - iDigit) / 10) return false;
        qwValue = qwValue * 10 + iDigit;
    }
    *pqwValue = qwValue;
    return true;
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, CommandLine* pLine, std::string* pError) {
    bool bHttpPortGiven = false;
    bool bHttpRateGiven = false;
    bool bUsersGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            pLine->bHelp = true;
            return true;
        }
        if (arg == "--version") {
            pLine->bVersion = true;
            return true;
        }
        if (arg == "--verbose") {
            pLine->server.bVerbose = true;
            continue;
        }
        if (arg != "--bind" && arg != "--port" && arg != "--user" && arg != "--seconds" &&
            arg != "--receive-buffer" && arg != "--http-dir" && arg != "--http-port" &&
            arg != "--http-rate") {
            *pError = "unknown option: " + arg;
            return false;
        }
        if (i + 1 >= argc) {
            *pError = arg + " needs a value";
            return false;
        }
        const std::string value = argv[++i];
        uint64_t qwValue = 0;
        if (arg == "--bind") {
            if (!ParseIPv4Address(value, &pLine->server.dwAddrNet)) {
                *pError = "--bind: not a dotted IPv4 address (such as 127.0.0.1): " + value;
                return false;
            }
            pLine->http.dwAddrNet = pLine->server.dwAddrNet;
        } else if (arg == "--port" || arg == "--http-port") {
            if (!ParseNumber(value, 65535, &qwValue)) {
                *pError = arg + ": not a port from 0 to 65535: " + value;
                return false;
            }
            if (arg == "--port") {
                pLine->server.wPort = static_cast<uint16_t>(qwValue);
            } else {
                pLine->http.wPort = static_cast<uint16_t>(qwValue);
                bHttpPortGiven = true;
            }
        } else if (arg == "--user") {
            size_t iColon = value.find(':');
            if (iColon == std::string::npos || iColon == 0) {
                *pError = "--user: not NAME:PASSWORD: " + value;
                return false;
            }
            if (!bUsersGiven) pLine->server.users.clear();
            bUsersGiven = true;
            pLine->server.users[value.substr(0, iColon)] = value.substr(iColon + 1);
        } else if (arg == "--seconds" || arg == "--receive-buffer") {
            if (!ParseNumber(value, static_cast<uint64_t>(std::numeric_limits<int>::max()),
                             &qwValue)) {
                *pError = arg + ": not a whole number from 0 to " +
                          std::to_string(std::numeric_limits<int>::max()) + ": " + value;
                return false;
            }
            if (arg == "--seconds") {
                pLine->iSeconds = static_cast<int>(qwValue);
            } else {
                pLine->server.iReceiveBufferBytes = static_cast<int>(qwValue);
            }
        } else if (arg == "--http-dir") {
            if (value.empty()) {
                *pError = "--http-dir: an empty directory name";
                return false;
            }
            pLine->http.root = value;
        } else {  // --http-rate
            if (!ParseNumber(value, kMaxRate, &qwValue)) {
                *pError = "--http-rate: not a whole number from 0 to " + std::to_string(kMaxRate) +
                          ": " + value;
                return false;
            }
            pLine->http.qwBytesPerSecond = qwValue;
            bHttpRateGiven = true;
        }
    }
    if (pLine->http.root.empty() && (bHttpPortGiven || bHttpRateGiven)) {
        *pError = "--http-port and --http-rate need --http-dir";
        return false;
    }
    pLine->http.bVerbose = pLine->server.bVerbose;
    return true;
}

const char* UsageText() {
    return "usage: vorel-server [--bind ADDRESS] [--port N] [--user NAME:PASSWORD]...\n"
           "                    [--seconds N] [--verbose] [--receive-buffer BYTES]\n"
           "                    [--http-dir DIR [--http-port N] [--http-rate BYTES]]\n"
           "       vorel-server --help | --version\n";
}

std::string HelpText() {
    return std::string(UsageText()) +
           "\n"
           "A server of the game protocol for development; with --http-dir it also\n"
           "serves files over HTTP for trying downloads.\n"
           "\n"
           "  --bind ADDRESS          the IPv4 address both listeners take (default\n"
           "                          127.0.0.1; 0.0.0.0: every interface of the machine)\n"
           "  --port N                the protocol's port (default or 0: a free one)\n"
           "  --user NAME:PASSWORD    a user the log-on accepts; may be repeated; the\n"
           "                          first replaces the default player:secret\n"
           "  --seconds N             stop after N seconds (default or 0: no limit)\n"
           "  --verbose               print connections, packets and HTTP answers\n"
           "  --receive-buffer BYTES  the receive buffer of every connection\n"
           "                          (default or 0: the system's)\n"
           "  --http-dir DIR          also serve the files under DIR over HTTP\n"
           "  --http-port N           the HTTP port (default or 0: a free one)\n"
           "  --http-rate BYTES       send each HTTP body at about BYTES a second\n"
           "                          (default or 0: as fast as it goes)\n"
           "  --help                  print this and stop\n"
           "  --version               print the version and stop\n"
           "\n"
           "It prints \"vorel-server listening on ADDRESS:PORT\" (and with --http-dir\n"
           "\"vorel-server http on ADDRESS:PORT\") once it listens.\n"
           "\n"
           "Commands on standard input, one a line:\n"
           "  push TYPE TEXT      send a message to every connection\n"
           "  disconnect          send the disconnect notice to every connection\n"
           "  drop                close every connection\n"
           "  fault NAME [COUNT]  misbehave: close-mid-packet, reset-mid-packet, garbage,\n"
           "                      drip, oversize, unknown-id, no-key-answer, refuse,\n"
           "                      short-header, half-close, stop-reading, flood, burst,\n"
           "                      none\n"
           "  quit                stop\n";
}

}  // namespace refserver
