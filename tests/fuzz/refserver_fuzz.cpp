// The reference server's reading of what clients send, in two modes chosen
// by the first byte's low bit.
//
// Protocol (even; then the size of each receive, 0 for all at once, and the
// bytes): bytes received in pieces go through the server's framing, each
// packet through its reading and its default application.
//   - The framing hands out every complete packet in order, each of its
//     announced length, and keeps the rest: nothing is lost or made up, and
//     it stops at the first length that is not the protocol's.
//   - A request's text is the plain payload up to a NUL, or the decoded
//     payload, which encodes back to the payload with the connection's key.
//   - The answers to a request the client would accept are answers the
//     client accepts in return: a type of 200..600, at least four fields
//     split at spaces, the request's identifier as the client reads it (0
//     for a pushed message), the request's fields echoed after "ok SEQ",
//     and a log-on accepted exactly for the right name and password.
//
// HTTP (odd): the request line parser and the mapping of a target to a file
// under a directory holding files, a subdirectory and links pointing in and
// out. A parsed line is method, target and an HTTP/1.x version; a mapped
// file is a regular file inside the directory.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/packet.h"
#include "fuzz_support.h"
#include "server/http_files.h"
#include "server/reference_server.h"
#include "support/quorvex.h"

namespace {

namespace fs = std::filesystem;
using fuzzref::Decimal;
using fuzzref::Le16Signed;
using fuzzref::Le32;
using fuzzref::Words;

const std::string kKey = "FuzzKey123456789";  // the connection's session key
const std::map<std::string, std::string> kUsers{{"player", "secret"}};
constexpr int kSequence = 7;

fs::path g_base;  // the temporary directory, removed at exit
fs::path g_root;  // canonical

// The answers to one request, checked as the client would read them.
void CheckAnswers(const refserver::ReceivedPacket& request) {
    const std::string& text = request.text;
    if (text.find('\0') != std::string::npos) return;  // no text the client sends
    std::vector<std::string> fields = Words(text);
    std::vector<refserver::Reply> replies =
        refserver::ReferenceServer::DefaultApplication(kUsers, request.iType, text, kSequence);
    // The client sends only requests of three fields or more.
    if (fields.size() < 3) return;
    FUZZ_CHECK(!replies.empty(), "no answer to \"%s\"", text.c_str());
    int iQueueId = Decimal(fields[1]);
    for (const refserver::Reply& reply : replies) {
        std::string packet = refserver::MakePacket(reply.iType, reply.text);
        FUZZ_CHECK(Le32(packet, 0) == packet.size() && Le16Signed(packet, 8) == reply.iType,
                   "a malformed answer packet");
        FUZZ_CHECK(reply.iType >= kAnswerTypeMin && reply.iType <= kAnswerTypeMax, "answer type %d",
                   reply.iType);
        std::vector<std::string> answer = Words(reply.text);
        FUZZ_CHECK(answer.size() >= 4, "answer \"%s\" to \"%s\" has %zu fields", reply.text.c_str(),
                   text.c_str(), answer.size());
        if (reply.iType >= kPushTypeMin) {
            FUZZ_CHECK(Decimal(answer[1]) == 0, "pushed message \"%s\"", reply.text.c_str());
            continue;
        }
        FUZZ_CHECK(Decimal(answer[1]) == iQueueId,
                   "answer \"%s\" goes to identifier %d, the request \"%s\" came from %d",
                   reply.text.c_str(), Decimal(answer[1]), text.c_str(), iQueueId);
        if (request.iType == kTypeLogonRequest) {
            bool bRight = fields.size() >= 4 && fields[2] == "player" && fields[3] == "secret";
            FUZZ_CHECK(reply.iType == kTypeLogonAnswer && (answer[3] == "0") == bRight,
                       "log-on \"%s\" answered \"%s\"", text.c_str(), reply.text.c_str());
        } else {
            std::vector<std::string> echoed(answer.begin() + 4, answer.end());
            std::vector<std::string> sent(fields.begin() + 2, fields.end());
            FUZZ_CHECK(answer[2] == "ok" && echoed == sent, "\"%s\" answered \"%s\"", text.c_str(),
                       reply.text.c_str());
        }
    }
}

void CheckPacket(const std::string& packet) {
    refserver::ReceivedPacket received = refserver::ReadPacket(packet, kKey);
    FUZZ_CHECK(received.raw == packet && received.dwLength == packet.size() &&
                   received.iType == Le16Signed(packet, 8),
               "packet read wrongly");
    if (received.iType < kRequestTypeMin || received.iType > kRequestTypeMax) return;
    std::string payload = packet.substr(kPacketHeaderSize);
    bool bEncoded = !payload.empty() && payload.find(' ') == std::string::npos;
    FUZZ_CHECK(received.bEncoded == bEncoded, "encoded: %d", received.bEncoded);
    if (!bEncoded) {
        FUZZ_CHECK(received.text == payload.c_str(), "plain text \"%s\"", received.text.c_str());
    } else if (received.bDecoded) {
        std::vector<char> again(payload.size());
        TextEncodeDecode codec;
        int iAgain = codec.DataEncode(kKey.c_str(), received.text.data(),
                                      static_cast<unsigned>(received.text.size()), again.data(),
                                      static_cast<unsigned>(again.size()), kEncodeModeRequest);
        FUZZ_CHECK(iAgain == static_cast<int>(payload.size()) &&
                       std::memcmp(again.data(), payload.data(), payload.size()) == 0,
                   "the decoded text does not encode back to the payload");
    } else {
        FUZZ_CHECK(received.text.empty(), "text from a payload that did not decode");
        return;  // the server gives no answer
    }
    CheckAnswers(received);
}

void FuzzProtocol(fuzzref::InputReader& input) {
    size_t iPiece = input.Byte();
    std::string stream = input.Rest();
    if (iPiece == 0) iPiece = stream.size();
    // At most 256 receives: every check looks at all the bytes so far.
    if (iPiece < stream.size() / 256 + 1) iPiece = stream.size() / 256 + 1;
    std::string buffer;
    std::string handedOut;
    for (size_t p = 0; p < stream.size(); p += iPiece) {
        buffer += stream.substr(p, iPiece);
        std::string before = handedOut + buffer;
        bool bProtocol = refserver::TakePackets(&buffer, [&](const std::string& packet) {
            uint32_t dwLength = Le32(packet, 0);
            FUZZ_CHECK(dwLength == packet.size() && dwLength >= 16 && dwLength <= 65536,
                       "a packet of %zu bytes announcing %u", packet.size(), dwLength);
            handedOut += packet;
            CheckPacket(packet);
        });
        FUZZ_CHECK(handedOut + buffer == before, "the framing lost or changed bytes");
        if (!bProtocol) {
            FUZZ_CHECK(buffer.size() >= 4 && (Le32(buffer, 0) < 16 || Le32(buffer, 0) > 65536),
                       "refused a stream whose next length is good");
            return;
        }
        FUZZ_CHECK(buffer.size() < 4 || Le32(buffer, 0) > buffer.size(),
                   "kept a complete packet of %u bytes", Le32(buffer, 0));
    }
}

bool Inside(const fs::path& file) {
    std::string root = g_root.string() + "/";
    return file.string().compare(0, root.size(), root) == 0;
}

void CheckTarget(const std::string& target) {
    fs::path file;
    int iStatus = refserver::MapTargetToFile(g_root, target, &file);
    FUZZ_CHECK(iStatus == 200 || iStatus == 400 || iStatus == 403 || iStatus == 404, "status %d",
               iStatus);
    if (iStatus != 200) return;
    std::error_code ec;
    FUZZ_CHECK(Inside(file), "\"%s\" maps to %s, outside the directory", target.c_str(),
               file.c_str());
    FUZZ_CHECK(fs::is_regular_file(file, ec), "\"%s\" maps to %s, not a file", target.c_str(),
               file.c_str());
    FUZZ_CHECK(fs::canonical(file, ec) == file, "%s is not canonical", file.c_str());
}

void FuzzHttp(fuzzref::InputReader& input) {
    std::string head = input.Rest();
    refserver::HttpRequest request;
    int iStatus = refserver::ParseHttpRequest(head, &request);
    FUZZ_CHECK(iStatus == 0 || iStatus == 400 || iStatus == 505, "status %d", iStatus);
    std::string line = head.substr(0, head.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (iStatus == 0) {
        FUZZ_CHECK(!request.method.empty() && request.method.find(' ') == std::string::npos &&
                       !request.target.empty() && request.target.find(' ') == std::string::npos,
                   "method \"%s\", target \"%s\"", request.method.c_str(), request.target.c_str());
        std::string start = request.method + " " + request.target + " HTTP/1.";
        FUZZ_CHECK(line.compare(0, start.size(), start) == 0, "\"%s\" parsed as \"%s\"",
                   line.c_str(), start.c_str());
        CheckTarget(request.target);
    }
    CheckTarget(line);
}

void MakeFile(const fs::path& path) { std::ofstream(path) << "x"; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string dir = fuzzref::MakeTempDir("http");
    FUZZ_CHECK(!dir.empty(), "no temporary directory");
    fs::path base = dir;
    g_base = base;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_base, ec);
    });
    // base/outside.txt must never be served; base/root is the directory.
    MakeFile(base / "outside.txt");
    fs::create_directories(base / "root" / "sub");
    MakeFile(base / "root" / "a.txt");
    MakeFile(base / "root" / "sub" / "b.txt");
    fs::create_symlink(base / "outside.txt", base / "root" / "out");
    fs::create_symlink("../a.txt", base / "root" / "sub" / "in");
    fs::create_directory_symlink("..", base / "root" / "sub" / "up");
    fs::create_directory_symlink("../..", base / "root" / "sub" / "upup");
    g_root = fs::canonical(base / "root");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t iSize) {
    fuzzref::InputReader input(pData, iSize);
    if ((input.Byte() & 1) == 0) {
        FuzzProtocol(input);
    } else {
        FuzzHttp(input);
    }
    return 0;
}
