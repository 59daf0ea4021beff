// The reference server: the server side of the protocol (docs/protocol.md),
// with a small default application and the faults a client must survive.
// The standalone tool vorel-server runs it; tests run it in-process, script
// it and look at the exact bytes the client sent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "server/listen_address.h"

namespace refserver {

// One packet as the server received it.
struct ReceivedPacket {
    int iConnection = 0;  // 1 for the first connection accepted, and so on
    int iType = 0;
    uint32_t dwLength = 0;
    std::string raw;        // the packet's bytes as they came, header included
    bool bEncoded = false;  // the payload was encoded (it had no space)
    bool bDecoded = false;  // ... and decoded with the connection's key
    std::string text;       // the request text: decoded, or the plain payload
};

// What the server does wrong on purpose.
enum class Fault {
    kNone,
    kCloseMidPacket,  // send half of the next answer, then close the connection
    kGarbage,         // send bytes that are no packet instead of the next answer
    kDrip,            // send every packet one byte at a time
    kOversize,        // announce a packet of 70,000 bytes instead of the next answer
    kUnknownId,       // answer the next request under an identifier nobody asked for
    kNoKeyAnswer,     // leave key requests unanswered
    kRefuse,          // stop listening: connections are refused
    kShortHeader,     // send a packet of 8 bytes (too short to hold a type)
    kResetMidPacket,  // send half of the next answer, then reset the connection (RST)
    kHalfClose,       // send the next answer, then shut down sending; keep reading
    kStopReading,     // read nothing more from any connection until kNone
    kFlood,           // send the next answer again and again, numbered, until kNone
    kBurst,           // send many small answers in one send instead of the next answer
};

// An answer the application gives: a type and a text.
struct Reply {
    int iType;
    std::string text;
};

struct Options {
    uint32_t dwAddrNet = LoopbackAddress();  // where to listen, network byte order
    uint16_t wPort = 0;                      // 0: a free port
    std::map<std::string, std::string> users{{"player", "secret"}};
    bool bVerbose = false;  // print traffic on standard output
    int iDripDelayMs = 2;
    // SO_RCVBUF of the listening socket, set before any peer can connect, so
    // that every connection inherits it and offers a window to match
    // (0: the system's default).
    int iReceiveBufferBytes = 0;
    int iBurstPackets = 5000;  // the answers that kBurst sends
};

class ReferenceServer {
public:
    explicit ReferenceServer(Options options = Options());
    ~ReferenceServer();  // Stop()
    ReferenceServer(const ReferenceServer&) = delete;
    ReferenceServer& operator=(const ReferenceServer&) = delete;

    // Listens on options.dwAddrNet. False when the port cannot be had, with
    // the socket layer's error number in *piError when one is given.
    bool Start(int* piError = nullptr);
    void Stop();
    uint16_t Port() const { return wPort_; }

    // The default application, replaceable per test: returns the replies
    // to one request (none, one, or several).
    using Application = std::function<std::vector<Reply>(int iType, const std::string& text)>;
    void SetApplication(Application application);
    static std::vector<Reply> DefaultApplication(const std::map<std::string, std::string>& users,
                                                 int iType, const std::string& text, int iSequence);

    // Faults: the next iCount occasions (answers, key requests or
    // connections, as the fault concerns), or all of them for -1. kRefuse
    // and kStopReading last until kNone, whatever iCount says; kNone also
    // ends a flood. False when kNone, ending kRefuse, cannot listen on the
    // port again (something else took it meanwhile): connects stay refused.
    bool SetFault(Fault fault, int iCount = 1);

    // To every live connection: a pushed message (type 400 or more,
    // identifier 0 in its text), the disconnect notice, raw bytes.
    void Push(int iType, const std::string& text);
    void SendDisconnect();
    void SendRaw(const std::string& bytes);
    // Closes every live connection.
    void DropConnections();

    // What came in.
    std::vector<ReceivedPacket> Received() const;
    int Connections() const;
    int LiveConnections() const;
    // Waits until pred() holds (checked whenever something arrives), at most
    // iTimeoutMs real milliseconds.
    bool WaitUntil(const std::function<bool()>& pred, int iTimeoutMs);
    // Connections whose reader has stopped under kStopReading.
    int StalledReaders() const;

private:
    struct Connection;
    void AcceptLoop();
    void Serve(std::shared_ptr<Connection> pConnection);
    void HandlePacket(Connection& connection, const std::string& packet);
    void SendPacket(Connection& connection, int iType, const std::string& payload);
    // False when the connection failed before every byte went.
    bool SendBytes(Connection& connection, const std::string& bytes);
    bool TakeFault(Fault fault);
    void WaitWhileReadingStopped(Connection& connection);
    void Flood(Connection& connection, const Reply& reply);
    void SendBurst(Connection& connection, const Reply& reply);
    std::vector<std::shared_ptr<Connection>> LiveList() const;
    void Notify();

    Options options_;
    uint16_t wPort_ = 0;
    platform::SocketHandle listener_ = platform::kInvalidSocket;
    std::thread acceptor_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool bStopping_ = false;
    Application application_;
    std::map<Fault, int> faults_;
    std::vector<ReceivedPacket> received_;
    std::vector<std::shared_ptr<Connection>> connections_;
    std::vector<std::thread> workers_;
    int iConnections_ = 0;
    int iSequence_ = 0;
    int iStalledReaders_ = 0;
    int iFaultsCleared_ = 0;  // how many times kNone was set: ends a flood
};

// Builds a packet: the 16-byte header and the payload.
std::string MakePacket(int iType, const std::string& payload);

// The server's framing of a connection's bytes: cuts every complete packet
// off the front of *pBuffer, in order, and hands each to onPacket; an
// incomplete one stays. False when the bytes are not this protocol (a
// length below 16 or above 65,536): the connection is then ended.
bool TakePackets(std::string* pBuffer, const std::function<void(const std::string&)>& onPacket);

// What the server reads from one whole packet: its type and length and, for
// a request, its text: decoded with the connection's key when the payload
// is encoded (it has no space), else the payload up to a NUL. iConnection
// stays 0.
ReceivedPacket ReadPacket(const std::string& packet, const std::string& key);

}  // namespace refserver
