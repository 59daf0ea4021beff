// Arbitrary server bytes, received in pieces, fed to the read step's parser
// and compared with a small model of the framing after every piece:
//   - every complete, well-formed answer whose identifier has a send queue
//     is stored whole (header included) and in order in "recv+N";
//   - a protocol error or a disconnect notice hands the connection on once,
//     with the right argument, and drops every byte buffered behind it;
//   - the read buffer keeps exactly the bytes of at most one incomplete
//     packet, at its start;
//   - the key answer installs its decoded key, and a type-202 answer with
//     status 0 marks the user logged on;
//   - the bytes counted as held for the game are those of the answers
//     stored, and fall back to none when they are freed.
// After a dropped connection the next piece comes as on a new connection.
// Allocations may fail while a piece is parsed: the session's next pass
// stores what was kept, and the outcome must be the same as without the
// failures (nothing lost, nothing stored twice).
//
// Input: one byte choosing which identifiers have a send queue, one byte
// giving the size of each receive (0: everything in one; larger for long
// streams, which come in at most 256 receives), one byte of
// allocation failures while each piece is parsed (high half: allocations
// that succeed first, low half: how many fail then; 0: none), then the
// stream.
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/log_file.h"
#include "base/packet.h"
#include "base/testing.h"
#include "exchange/queue_table.h"
#include "frame/app.h"
#include "fuzz_support.h"
#include "session/engine.h"
#include "session/inbound.h"
#include "session/session_thread.h"
#include "session/testing.h"
#include "support/quorvex.h"

namespace {

using fuzzref::Decimal;
using fuzzref::Le16Signed;
using fuzzref::Le32;
using fuzzref::Words;

// Identifiers an input may give a send queue, one bit each: small ones and
// the ends of the int range, where numbers too long for it land.
constexpr int kIds[8] = {0, 1, 2, 3, 12, -1, INT_MAX, INT_MIN};

constexpr size_t kTextArea = 32768;  // the parser's payload text, NUL included

std::vector<int> g_reConnects;

int RecordReConnect(ClientEngine&, int iConnect) {
    g_reConnects.push_back(iConnect);
    return 0;
}

// What the parser must have done, worked out from the bytes alone.
class Model {
public:
    explicit Model(uint8_t byMask) : byMask_(byMask) {}

    bool HasSendQueue(int iQueueId) const {
        for (int i = 0; i < 8; ++i) {
            if ((byMask_ >> i & 1) != 0 && kIds[i] == iQueueId) return true;
        }
        return false;
    }

    // One receive: the bytes join what was kept, complete packets are
    // handled, an incomplete one stays.
    void Receive(const std::string& bytes) {
        buffer += bytes;
        size_t p = 0;
        while (buffer.size() - p >= 4) {
            size_t iRest = buffer.size() - p;
            uint32_t dwLength = Le32(buffer, p);
            // The length is taken as signed: a "negative" one is complete.
            if (static_cast<int64_t>(static_cast<int32_t>(dwLength)) >
                static_cast<int64_t>(iRest)) {
                break;
            }
            // A packet too short to hold a type reads as type 0.
            int iType = dwLength >= 10 && iRest >= 10 ? Le16Signed(buffer, p + 8) : 0;
            if (iType == kTypeDisconnect) return Drop(1);
            if (dwLength < 17 || dwLength > 65536 ||
                (iType != kTypeKey && (iType < 200 || iType > 600))) {
                return Drop(0);
            }
            std::string packet = buffer.substr(p, dwLength);
            std::string text = packet.substr(16);
            text = text.substr(0, text.find('\0'));
            if (text.size() > kTextArea - 1) text.resize(kTextArea - 1);
            std::vector<std::string> fields = Words(text);
            if (iType == kTypeKey) {
                std::string field = fields.empty() ? std::string() : fields[0];
                char szKey[kSessionKeySize];
                TextEncodeDecode codec;
                if (codec.DataDecode(nullptr, field.data(), static_cast<unsigned>(field.size()),
                                     szKey, kSessionKeySize, kDecodeModeKey) <= 0) {
                    return Drop(0);
                }
                key = szKey;
            } else {
                if (fields.size() <= 3) return Drop(0);
                int iQueueId = Decimal(fields[1]);
                if (iType == kTypeLogonAnswer && Decimal(fields[3]) == 0) bLoggedOn = true;
                if (!HasSendQueue(iQueueId)) return Drop(0);
                stored[iQueueId].push_back(packet);
            }
            p += dwLength;
        }
        buffer.erase(0, p);
        if (buffer.size() >= 4 && Le32(buffer, 0) > 65536) Drop(0);
    }

    std::string buffer;  // bytes kept for the next receive
    std::map<int, std::vector<std::string>> stored;
    std::vector<int> reConnects;
    std::string key;
    bool bLoggedOn = false;

private:
    void Drop(int iConnect) {
        reConnects.push_back(iConnect);
        buffer.clear();
    }

    uint8_t byMask_;
};

ClientEngine* g_pEngine = nullptr;
SessionState* g_pState = nullptr;  // reused: its text areas are large

// A fresh table holding the send queues the input asked for, no key, not
// logged on.
void ResetEngine(ClientEngine& engine, uint8_t byMask) {
    {
        KMutexAdaptor<KThreadMutex> guard(engine.queues.LockForTesting(), -1);
        // A small table: the parser looks queues up by key only, a fresh table
        // of the library's 10000 slots costs more than the parsing, and
        // shared buckets exercise the chains.
        free_hash(engine.queues.SwapTableForTesting(hash_init(16, FreeMessageQueue)));
        FUZZ_CHECK(engine.queues.TableForTesting() != nullptr, "no queue table");
        char szKey[kQueueKeySize];
        for (int i = 0; i < 8; ++i) {
            if ((byMask >> i & 1) == 0) continue;
            FormSendKey(szKey, kIds[i]);
            MESSAGE_QUEUE* pQueue = nullptr;
            FUZZ_CHECK(
                FindOrCreateQueue(engine.queues.TableForTesting(), szKey, &pQueue) == kQueueReady,
                "send queue %s", szKey);
        }
    }
    engine.connection.ClearSessionKey();
    engine.logon.iUserStatus1 = 0;
    FUZZ_CHECK(HeldAnswerBytes() == 0, "%lld bytes held after every answer was freed",
               static_cast<long long>(HeldAnswerBytes()));
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < 64; ++i) {
        out += kDigits[static_cast<uint8_t>(bytes[i]) >> 4];
        out += kDigits[static_cast<uint8_t>(bytes[i]) & 15];
    }
    return bytes.size() > 64 ? out + "..." : out;
}

// The receive queue of N as stored: every packet, dwLength bytes each.
std::vector<std::string> StoredAnswers(ClientEngine& engine, int iQueueId, bool* pbExists) {
    std::vector<std::string> packets;
    char szKey[kQueueKeySize];
    FormRecvKey(szKey, iQueueId);
    KMutexAdaptor<KThreadMutex> tableGuard(engine.queues.LockForTesting(), -1);
    auto* pQueue = static_cast<MESSAGE_QUEUE*>(hash_lookup(engine.queues.TableForTesting(), szKey));
    *pbExists = pQueue != nullptr;
    if (pQueue == nullptr) return packets;
    KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
    int iListed = 0;
    MESSAGE_NODE* pLast = nullptr;
    for (MESSAGE_NODE* pNode = pQueue->pHead; pNode != nullptr; pNode = pNode->pNext) {
        const char* pBytes = reinterpret_cast<const char*>(pNode->pPacket);
        uint32_t dwLength = pNode->pPacket->header.dwLength;
        FUZZ_CHECK(pNode->iDone == 0, "a stored answer is marked read");
        FUZZ_CHECK(pBytes[dwLength] == '\0', "no zero byte behind a stored answer");
        packets.emplace_back(pBytes, dwLength);
        pLast = pNode;
        ++iListed;
    }
    FUZZ_CHECK(pQueue->iCount == iListed, "%s counts %d nodes, lists %d", szKey, pQueue->iCount,
               iListed);
    FUZZ_CHECK(pQueue->pTail == pLast, "%s: the tail is not the last node", szKey);
    return packets;
}

void CheckAfterReceive(ClientEngine& engine, const SessionState& state, const Model& model) {
    FUZZ_CHECK(g_reConnects == model.reConnects, "ReConnect calls: %zu made, %zu expected",
               g_reConnects.size(), model.reConnects.size());
    FUZZ_CHECK(state.framer.Kept() == static_cast<int>(model.buffer.size()),
               "kept %d bytes, expected %zu (%s)", state.framer.Kept(), model.buffer.size(),
               Hex(model.buffer).c_str());
    FUZZ_CHECK(
        std::memcmp(engine.connection.pReadBuf, model.buffer.data(), model.buffer.size()) == 0,
        "the kept bytes differ: expected %s", Hex(model.buffer).c_str());
    // What stays is less than one packet.
    if (model.buffer.size() >= 4) {
        FUZZ_CHECK(
            static_cast<int32_t>(Le32(model.buffer, 0)) > static_cast<int32_t>(model.buffer.size()),
            "a complete packet was kept");
    }
}

void CheckStored(ClientEngine& engine, const SessionState& state, const Model& model,
                 uint8_t byMask) {
    size_t iStoredTotal = 0;
    int iRecvQueues = 0;
    int64_t iHeldBytes = 0;
    for (int iQueueId : kIds) {
        bool bExists = false;
        std::vector<std::string> packets = StoredAnswers(engine, iQueueId, &bExists);
        auto it = model.stored.find(iQueueId);
        const std::vector<std::string> expected =
            it != model.stored.end() ? it->second : std::vector<std::string>();
        FUZZ_CHECK(bExists == !expected.empty(), "recv+%d exists: %d, expected %zu answers",
                   iQueueId, bExists, expected.size());
        FUZZ_CHECK(packets.size() == expected.size(), "recv+%d holds %zu answers, expected %zu",
                   iQueueId, packets.size(), expected.size());
        for (size_t i = 0; i < packets.size(); ++i) {
            FUZZ_CHECK(packets[i] == expected[i], "recv+%d answer %zu: %s, expected %s", iQueueId,
                       i, Hex(packets[i]).c_str(), Hex(expected[i]).c_str());
        }
        iStoredTotal += packets.size();
        iRecvQueues += bExists ? 1 : 0;
        // An answer is held as the heap takes it: its packet block and its node.
        for (const std::string& packet : packets) {
            iHeldBytes += HeldAnswerCost(static_cast<uint32_t>(packet.size()));
        }
    }
    FUZZ_CHECK(HeldAnswerBytes() == iHeldBytes, "%lld bytes counted as held, stored %lld",
               static_cast<long long>(HeldAnswerBytes()), static_cast<long long>(iHeldBytes));
    // Nothing under any other key.
    int iSendQueues = __builtin_popcount(byMask);
    {
        KMutexAdaptor<KThreadMutex> guard(engine.queues.LockForTesting(), -1);
        FUZZ_CHECK(engine.queues.TableForTesting()->iCount == iSendQueues + iRecvQueues,
                   "the table holds %d queues, expected %d",
                   engine.queues.TableForTesting()->iCount, iSendQueues + iRecvQueues);
    }
    FUZZ_CHECK(state.iValidReceiveTotal == static_cast<int>(iStoredTotal),
               "valid-receive total %d, stored %zu", state.iValidReceiveTotal, iStoredTotal);

    char szKey[kSessionKeySize];
    engine.connection.GetSessionKey(szKey);
    FUZZ_CHECK(model.key == szKey, "session key \"%s\", expected \"%s\"", szKey, model.key.c_str());
    FUZZ_CHECK(engine.logon.iUserStatus1.load() == (model.bLoggedOn ? 1 : 0), "iUserStatus1 %d",
               engine.logon.iUserStatus1.load());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vorel_testing::SetSessionThreadEnabled(false);
    // A log that can never be opened costs least; no line is checked here.
    vorel_testing::SetLogFile("/dev/null/GameRun.log");
    vorel_testing::SetConfigPath("/dev/null/serverConfigs.ini");
    g_pEngine = GetEngine();
    FUZZ_CHECK(g_pEngine != nullptr, "no engine");
    g_pEngine->connection.pReadBuf = static_cast<char*>(ZeroAlloc(kReadBufferSize));
    FUZZ_CHECK(g_pEngine->connection.pReadBuf != nullptr, "no read buffer");
    g_pState = new SessionState();
    g_pState->pEngine = g_pEngine;
    vorel_testing::SetReConnectStandIn(RecordReConnect);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t iSize) {
    fuzzref::InputReader input(pData, iSize);
    uint8_t byMask = input.Byte();
    size_t iPiece = input.Byte();
    uint8_t byFailures = input.Byte();
    std::string stream = input.Rest();
    if (iPiece == 0) iPiece = stream.size();
    // At most 256 receives: every check looks at the whole kept buffer.
    if (iPiece < stream.size() / 256 + 1) iPiece = stream.size() / 256 + 1;

    ClientEngine& engine = *g_pEngine;
    ResetEngine(engine, byMask);
    SessionState* pState = g_pState;
    pState->framer.Reset();
    pState->iBusyReadRetries = 0;
    pState->iSendRetries = 0;
    pState->iValidReceiveTotal = 0;
    pState->iConnectionGood = 1;
    pState->bStorageFailed = false;
    g_reConnects.clear();
    Model model(byMask);

    for (size_t p = 0; p < stream.size(); p += iPiece) {
        std::string piece = stream.substr(p, iPiece);
        std::memcpy(engine.connection.pReadBuf + pState->framer.Kept(), piece.data(), piece.size());
        vorel_testing::FailAllocations(byFailures >> 4, byFailures & 15);
        ParseReceived(engine, *pState, static_cast<int>(piece.size()));
        vorel_testing::FailAllocations(0, 0);
        // The next pass of the session, with memory to spare again.
        RetryKeptAnswers(engine, *pState);
        FUZZ_CHECK(!pState->bStorageFailed, "storing failed with memory to spare");
        model.Receive(piece);
        CheckAfterReceive(engine, *pState, model);
        // A dropped connection is followed by a new one.
        pState->iConnectionGood = 1;
    }
    CheckStored(engine, *pState, model, byMask);
    return 0;
}
