#include "server/reference_server.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "base/packet.h"
#include "support/quorvex.h"

namespace refserver {

struct ReferenceServer::Connection {
    int iId = 0;
    platform::SocketHandle s = platform::kInvalidSocket;
    std::string key;        // this connection's session key
    std::mutex sendMutex;   // one packet at a time on the socket
    bool bClosed = false;   // guarded by the server's mutex
    bool bDropped = false;  // closed by DropConnections; guarded by the server's mutex
};

namespace {

std::string RandomKey() {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::mt19937 generator(device());
    std::uniform_int_distribution<int> pick(0, static_cast<int>(sizeof(kAlphabet)) - 2);
    std::string key;
    for (int i = 0; i < 16; ++i) key.push_back(kAlphabet[pick(generator)]);
    return key;
}

// The fields of a text as the client cuts them: at spaces only (runs of
// them count as one), so that a tab or a line end stays inside its field
// and N is the identifier the client queued the request under.
std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    size_t i = 0;
    for (;;) {
        i = text.find_first_not_of(' ', i);
        if (i == std::string::npos) break;
        size_t iEnd = text.find(' ', i);
        if (iEnd == std::string::npos) iEnd = text.size();
        fields.push_back(text.substr(i, iEnd - i));
        i = iEnd;
    }
    return fields;
}

// A listening socket whose connections get iReceiveBufferBytes of receive
// buffer. Set before any peer can know the port: a connection takes the
// listener's buffer, and the window it offers in the handshake, when its
// first packet arrives. On failure the socket layer's error is in *piError.
platform::SocketHandle Listen(uint32_t dwAddrNet, uint16_t wPort, uint16_t* pwBoundPort,
                              int iReceiveBufferBytes, int* piError) {
    platform::SocketHandle s = platform::SocketListen(dwAddrNet, wPort, pwBoundPort);
    if (s != platform::kInvalidSocket && iReceiveBufferBytes > 0 &&
        platform::SocketSetReceiveBuffer(s, iReceiveBufferBytes) != 0) {
        *piError = platform::SocketLastError();
        platform::SocketClose(s);
        return platform::kInvalidSocket;
    }
    if (s == platform::kInvalidSocket) *piError = platform::SocketLastError();
    return s;
}

// The text with its second field replaced.
std::string WithIdentifier(const std::string& text, const std::string& identifier) {
    std::vector<std::string> fields = Fields(text);
    if (fields.size() < 2) return text;
    fields[1] = identifier;
    std::string result;
    for (size_t i = 0; i < fields.size(); ++i) result += (i ? " " : "") + fields[i];
    return result;
}

}  // namespace

std::string MakePacket(int iType, const std::string& payload) {
    PacketHeader header;
    std::memset(&header, 0, sizeof(header));
    FillPacketHeader(&header, iType, static_cast<uint32_t>(kPacketHeaderSize + payload.size()), 0,
                     0, 0);
    std::string packet(reinterpret_cast<const char*>(&header), sizeof(header));
    return packet + payload;
}

ReferenceServer::ReferenceServer(Options options) : options_(std::move(options)) {
    std::map<std::string, std::string> users = options_.users;
    application_ = [this, users](int iType, const std::string& text) {
        int iSequence;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            iSequence = ++iSequence_;
        }
        return DefaultApplication(users, iType, text, iSequence);
    };
}

ReferenceServer::~ReferenceServer() { Stop(); }

std::vector<Reply> ReferenceServer::DefaultApplication(
    const std::map<std::string, std::string>& users, int iType, const std::string& text,
    int iSequence) {
    std::vector<std::string> fields = Fields(text);
    if (fields.size() < 3) return {};
    const std::string& identifier = fields[1];
    if (iType == kTypeLogonRequest) {
        // "201 N NAME PASSWORD": status 0 for a known user with the right password.
        const std::string name = fields[2];
        auto it = users.find(name);
        bool bAccepted = fields.size() >= 4 && it != users.end() && it->second == fields[3];
        return {{kTypeLogonAnswer, std::to_string(kTypeLogonAnswer) + " " + identifier + " " +
                                       name + (bAccepted ? " 0 welcome" : " 1 refused")}};
    }
    // "T N ok SEQ FIELD3...": the request's fields from the third on.
    std::string answer =
        std::to_string(iType) + " " + identifier + " ok " + std::to_string(iSequence);
    for (size_t i = 2; i < fields.size(); ++i) answer += " " + fields[i];
    std::vector<Reply> replies{{iType, answer}};
    if (fields[2] == "push") {
        replies.push_back({kPushTypeMin, std::to_string(kPushTypeMin) + " 0 notice " +
                                             std::to_string(iSequence) + " pushed for " +
                                             identifier});
    }
    return replies;
}

bool ReferenceServer::Start(int* piError) {
    int iError = 0;
    listener_ =
        Listen(options_.dwAddrNet, options_.wPort, &wPort_, options_.iReceiveBufferBytes, &iError);
    if (listener_ == platform::kInvalidSocket) {
        if (piError != nullptr) *piError = iError;
        return false;
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void ReferenceServer::Stop() {
    std::vector<std::shared_ptr<Connection>> live;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (bStopping_) return;
        bStopping_ = true;
        live = connections_;
    }
    platform::SocketClose(listener_);
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& pConnection : live) platform::SocketClose(pConnection->s);
    Notify();  // stopped readers and floods give up
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    for (std::thread& worker : workers) worker.join();
    Notify();
}

void ReferenceServer::SetApplication(Application application) {
    std::lock_guard<std::mutex> lock(mutex_);
    application_ = std::move(application);
}

bool ReferenceServer::SetFault(Fault fault, int iCount) {
    bool bRelisten = false;
    bool bRefuse = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fault == Fault::kNone) {
            bRelisten = faults_.count(Fault::kRefuse) != 0;
            faults_.clear();
            ++iFaultsCleared_;
        } else {
            faults_[fault] = iCount;
            bRefuse = fault == Fault::kRefuse;
        }
    }
    if (bRefuse) {
        // Nobody listens on the port any more: connects are refused.
        platform::SocketClose(listener_);
        if (acceptor_.joinable()) acceptor_.join();
    }
    Notify();  // stopped readers look again
    if (bRelisten) {
        int iError = 0;
        listener_ =
            Listen(options_.dwAddrNet, wPort_, &wPort_, options_.iReceiveBufferBytes, &iError);
        if (listener_ == platform::kInvalidSocket) return false;
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
    return true;
}

bool ReferenceServer::TakeFault(Fault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = faults_.find(fault);
    if (it == faults_.end() || it->second == 0) return false;
    if (it->second > 0) --it->second;
    return true;
}

std::vector<std::shared_ptr<ReferenceServer::Connection>> ReferenceServer::LiveList() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<Connection>> live;
    for (const auto& pConnection : connections_) {
        if (!pConnection->bClosed) live.push_back(pConnection);
    }
    return live;
}

void ReferenceServer::Push(int iType, const std::string& text) {
    for (auto& pConnection : LiveList()) SendPacket(*pConnection, iType, text);
}

void ReferenceServer::SendDisconnect() {
    for (auto& pConnection : LiveList()) SendPacket(*pConnection, kTypeDisconnect, "");
}

void ReferenceServer::SendRaw(const std::string& bytes) {
    for (auto& pConnection : LiveList()) SendBytes(*pConnection, bytes);
}

void ReferenceServer::DropConnections() {
    for (auto& pConnection : LiveList()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pConnection->bDropped = true;
        }
        platform::SocketClose(pConnection->s);
    }
    Notify();
}

std::vector<ReceivedPacket> ReferenceServer::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

int ReferenceServer::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return iConnections_;
}

int ReferenceServer::LiveConnections() const { return static_cast<int>(LiveList().size()); }

int ReferenceServer::StalledReaders() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return iStalledReaders_;
}

bool ReferenceServer::WaitUntil(const std::function<bool()>& pred, int iTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    for (;;) {
        if (pred()) return true;
        std::unique_lock<std::mutex> lock(mutex_);
        if (changed_.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                             std::chrono::milliseconds(20))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            return pred();
        }
    }
}

void ReferenceServer::Notify() { changed_.notify_all(); }

void ReferenceServer::AcceptLoop() {
    platform::SocketHandle listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listener = listener_;
    }
    for (;;) {
        platform::SocketHandle s = platform::SocketAccept(listener);
        if (s == platform::kInvalidSocket) return;
        auto pConnection = std::make_shared<Connection>();
        pConnection->s = s;
        pConnection->key = RandomKey();
        std::lock_guard<std::mutex> lock(mutex_);
        if (bStopping_) {
            platform::SocketClose(s);
            return;
        }
        pConnection->iId = ++iConnections_;
        connections_.push_back(pConnection);
        if (options_.bVerbose) {
            std::printf("connection %d accepted\n", pConnection->iId);
            std::fflush(stdout);
        }
        workers_.emplace_back([this, pConnection] { Serve(pConnection); });
        Notify();
    }
}

void ReferenceServer::Serve(std::shared_ptr<Connection> pConnection) {
    std::string buffer;
    char chunk[65536];
    for (;;) {
        WaitWhileReadingStopped(*pConnection);
        int n = platform::SocketRecv(pConnection->s, chunk, sizeof(chunk));
        if (n <= 0) break;
        buffer.append(chunk, static_cast<size_t>(n));
        // Not our protocol: end the connection.
        if (!TakePackets(&buffer,
                         [&](const std::string& packet) { HandlePacket(*pConnection, packet); })) {
            break;
        }
    }
    platform::SocketClose(pConnection->s);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pConnection->bClosed = true;
    }
    if (options_.bVerbose) std::printf("connection %d closed\n", pConnection->iId);
    Notify();
}

bool TakePackets(std::string* pBuffer, const std::function<void(const std::string&)>& onPacket) {
    size_t p = 0;
    bool bProtocol = true;
    while (pBuffer->size() - p >= 4) {
        uint32_t dwLength = ReadPacketLength(pBuffer->data() + p);
        if (dwLength < kPacketHeaderSize || dwLength > kMaxPacketLength) {
            bProtocol = false;
            break;
        }
        if (pBuffer->size() - p < dwLength) break;
        onPacket(pBuffer->substr(p, dwLength));
        p += dwLength;
    }
    pBuffer->erase(0, p);
    return bProtocol;
}

ReceivedPacket ReadPacket(const std::string& packet, const std::string& key) {
    ReceivedPacket received;
    received.iType = ReadPacketType(packet.data());
    received.dwLength = ReadPacketLength(packet.data());
    received.raw = packet;
    std::string payload = packet.substr(kPacketHeaderSize);
    if (received.iType >= kRequestTypeMin && received.iType <= kRequestTypeMax) {
        // A payload without a space is encoded; a plain request always has one.
        if (!payload.empty() && payload.find(' ') == std::string::npos) {
            received.bEncoded = true;
            std::vector<char> plain(payload.size() + 1);
            TextEncodeDecode codec;
            int iPlain = codec.DataDecode(
                key.c_str(), payload.data(), static_cast<unsigned int>(payload.size()),
                plain.data(), static_cast<unsigned int>(plain.size()), kEncodeModeRequest);
            if (iPlain > 0) {
                received.bDecoded = true;
                received.text.assign(plain.data(), static_cast<size_t>(iPlain));
            }
        } else {
            received.text = payload.c_str();  // up to a NUL, as the client reads texts
        }
    }
    return received;
}

void ReferenceServer::WaitWhileReadingStopped(Connection& connection) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto reading = [this, &connection] {
        auto it = faults_.find(Fault::kStopReading);
        return bStopping_ || connection.bDropped || it == faults_.end() || it->second == 0;
    };
    if (reading()) return;
    ++iStalledReaders_;
    changed_.notify_all();
    // In slices: Stop() and DropConnections() notify, but a slice also
    // covers a notice given between the test and the wait.
    while (!changed_.wait_for(lock, std::chrono::milliseconds(20), reading)) {
    }
    --iStalledReaders_;
}

void ReferenceServer::HandlePacket(Connection& connection, const std::string& packet) {
    ReceivedPacket received = ReadPacket(packet, connection.key);
    received.iConnection = connection.iId;
    if (options_.bVerbose) {
        std::printf("connection %d: type %d, %u bytes%s%s%s\n", connection.iId, received.iType,
                    received.dwLength, received.bEncoded ? ", encoded" : "",
                    received.text.empty() ? "" : ": ", received.text.c_str());
        std::fflush(stdout);
    }
    Application application;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(received);
        application = application_;
    }
    Notify();

    if (received.iType == kTypeKey) {
        if (TakeFault(Fault::kNoKeyAnswer)) return;
        char encoded[128];
        TextEncodeDecode codec;
        int iEncoded = codec.DataEncode(nullptr, connection.key.data(),
                                        static_cast<unsigned int>(connection.key.size()), encoded,
                                        sizeof(encoded), TextEncodeDecode::kModeKeyless);
        SendPacket(connection, kTypeKey,
                   std::string(encoded, static_cast<size_t>(iEncoded > 0 ? iEncoded : 0)));
        return;
    }
    if (received.iType < kRequestTypeMin || received.iType > kRequestTypeMax) return;
    if (received.bEncoded && !received.bDecoded) return;  // a foreign request: no answer
    for (const Reply& reply : application(received.iType, received.text)) {
        std::string text = reply.text;
        if (TakeFault(Fault::kUnknownId)) text = WithIdentifier(text, "987654321");
        if (TakeFault(Fault::kCloseMidPacket)) {
            std::string bytes = MakePacket(reply.iType, text);
            SendBytes(connection, bytes.substr(0, bytes.size() / 2));
            platform::SocketClose(connection.s);
            return;
        }
        if (TakeFault(Fault::kResetMidPacket)) {
            std::string bytes = MakePacket(reply.iType, text);
            SendBytes(connection, bytes.substr(0, bytes.size() / 2));
            platform::SocketCloseWithReset(connection.s);
            return;
        }
        if (TakeFault(Fault::kGarbage)) {
            SendBytes(connection, std::string(64, '\xA7'));
            continue;
        }
        if (TakeFault(Fault::kOversize)) {
            std::string bytes = MakePacket(reply.iType, std::string(100, 'x'));
            bytes[0] = static_cast<char>(70000 & 0xFF);
            bytes[1] = static_cast<char>((70000 >> 8) & 0xFF);
            bytes[2] = static_cast<char>((70000 >> 16) & 0xFF);
            SendBytes(connection, bytes);
            continue;
        }
        if (TakeFault(Fault::kShortHeader)) {
            SendBytes(connection, std::string("\x08\x00\x00\x00\xC8\x00\x00\x00", 8));
            continue;
        }
        if (TakeFault(Fault::kBurst)) {
            SendBurst(connection, {reply.iType, text});
            continue;
        }
        if (TakeFault(Fault::kFlood)) {
            Flood(connection, {reply.iType, text});
            return;
        }
        SendPacket(connection, reply.iType, text);
        if (TakeFault(Fault::kHalfClose)) {
            // The client reads the end of the stream; this side goes on
            // reading (and recording) until the client closes.
            platform::SocketShutdownSend(connection.s);
            return;
        }
    }
    // Requests can ask the server itself to end the session: with the third
    // field "disconnect" it sends the disconnect notice after the answer,
    // with "drop" it closes the connection after the answer.
    std::vector<std::string> fields = Fields(received.text);
    if (fields.size() >= 3 && fields[2] == "disconnect") {
        SendPacket(connection, kTypeDisconnect, "");
    } else if (fields.size() >= 3 && fields[2] == "drop") {
        platform::SocketClose(connection.s);
    }
}

void ReferenceServer::Flood(Connection& connection, const Reply& reply) {
    int iCleared;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        iCleared = iFaultsCleared_;
    }
    for (int k = 1;; ++k) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (bStopping_ || connection.bDropped || iFaultsCleared_ != iCleared) return;
        }
        // The copies are told apart by the number in their last field.
        if (!SendBytes(connection, MakePacket(reply.iType, reply.text + " " + std::to_string(k))))
            return;
    }
}

void ReferenceServer::SendBurst(Connection& connection, const Reply& reply) {
    std::vector<std::string> fields = Fields(reply.text);
    const std::string prefix = std::to_string(reply.iType) + " " +
                               (fields.size() >= 2 ? fields[1] : std::string("0")) + " burst ";
    std::string bytes;
    for (int k = 1; k <= options_.iBurstPackets; ++k) {
        bytes += MakePacket(reply.iType, prefix + std::to_string(k));
    }
    SendBytes(connection, bytes);
}

void ReferenceServer::SendPacket(Connection& connection, int iType, const std::string& payload) {
    SendBytes(connection, MakePacket(iType, payload));
}

bool ReferenceServer::SendBytes(Connection& connection, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(connection.sendMutex);
    if (TakeFault(Fault::kDrip)) {
        for (char c : bytes) {
            if (platform::SocketSend(connection.s, &c, 1) != 1) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(options_.iDripDelayMs));
        }
        return true;
    }
    size_t iSent = 0;
    while (iSent < bytes.size()) {
        int n = platform::SocketSend(connection.s, bytes.data() + iSent,
                                     static_cast<int>(bytes.size() - iSent));
        if (n <= 0) return false;
        iSent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace refserver
