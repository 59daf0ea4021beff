#include "util/engine_fixture.h"

#include <cstring>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "base/packet.h"
#include "base/testing.h"
#include "base/text.h"
#include "exchange/queue_table.h"
#include "platform/adapters.h"
#include "platform/clock.h"
#include "platform/testing.h"
#include "session/session_thread.h"
#include "session/testing.h"

namespace testutil {

int QueueView::Pending() const {
    int iPending = 0;
    for (const NodeView& node : nodes) iPending += node.iDone == 0 ? 1 : 0;
    return iPending;
}

void EngineFixture::SetUp() {
    // These tests drive the queues themselves: no session thread.
    vorel_testing::SetSessionThreadEnabled(false);
    logPath_ = dir_.File("GameRun.log");
    vorel_testing::SetLogFile(logPath_.c_str());
    if (bOwnConfigPath_) {
        configPath_ = ConfigPath();
        vorel_testing::SetConfigPath(configPath_.c_str());
    }
    clock_.emplace(1000);
}

void EngineFixture::TearDown() {
    // Shutdown gives a session thread about a second to leave; with none
    // started it waits all of it, on the fast clock then.
    if (!vorel_testing::SessionThreadEnabled()) UseClockScale(1000);
    DestroyAllEngines();
    vorel_testing::FailAllocations(0, 0);
    platform_testing::SetAdapterQuery(nullptr);
    clock_.reset();
    vorel_testing::SetLogFile(nullptr);
    vorel_testing::SetSessionThreadEnabled(true);
}

ClientEngine& EngineFixture::CreateEngine() {
    ClientEngine* pEngine = GetEngine();
    if (pEngine == nullptr) throw std::runtime_error("the engine could not be created");
    return *pEngine;
}

std::string EngineFixture::Host() {
    char szHost[50];
    int iPort = 0;
    Engine().address.Get(szHost, &iPort);
    return szHost;
}

int EngineFixture::Port() {
    char szHost[50];
    int iPort = 0;
    Engine().address.Get(szHost, &iPort);
    return iPort;
}

void EngineFixture::UseClockScale(uint32_t dwScale) {
    clock_.reset();
    if (dwScale != 0) clock_.emplace(dwScale);
}

void EngineFixture::UseManualClock() {
    clock_.reset();
    clock_.emplace(0);
}

void EngineFixture::WriteConfig(const std::string& content) const {
    WriteFile(ConfigPath(), content);
}

void EngineFixture::WriteConfigValue(const std::string& value) const {
    WriteConfig("[Lumaro_COM]\nConfigInfo=" + value + "\n");
}

std::vector<std::string> EngineFixture::LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(logPath_));
    std::string line;
    while (std::getline(in, line)) {
        // "[YYYY-MM-DD HH:MM:SS] "
        static const char kShape[] = "[dddd-dd-dd dd:dd:dd] ";
        bool bPrefixed = line.size() >= sizeof(kShape) - 1;
        for (size_t i = 0; bPrefixed && i < sizeof(kShape) - 1; ++i) {
            char c = line[i];
            bPrefixed = kShape[i] == 'd' ? (c >= '0' && c <= '9') : c == kShape[i];
        }
        lines.push_back(bPrefixed ? line.substr(sizeof(kShape) - 1) : line);
    }
    return lines;
}

int EngineFixture::CountLogLines(const std::string& text) const {
    int iCount = 0;
    for (const std::string& line : LogLines()) iCount += line == text ? 1 : 0;
    return iCount;
}

void EngineFixture::ClearLog() const { WriteFile(logPath_, ""); }

std::string SendKey(int iQueueId) {
    char szKey[kQueueKeySize];
    FormSendKey(szKey, iQueueId);
    return szKey;
}

std::string RecvKey(int iQueueId) {
    char szKey[kQueueKeySize];
    FormRecvKey(szKey, iQueueId);
    return szKey;
}

bool QueueAnswer(QueueTable& queues, int iQueueId, int iType, const std::string& payload,
                 SendQueue sendQueue) {
    if (sendQueue == SendQueue::kCreate) {
        queues.Submit(SendKey(iQueueId).c_str(), [](MESSAGE_QUEUE*) { return false; });
    }
    std::string packet(kPacketHeaderSize, '\0');
    FillPacketHeader(reinterpret_cast<PacketHeader*>(&packet[0]), iType,
                     static_cast<uint32_t>(payload.size()) + kPacketHeaderSize, 0, 0, 0);
    packet += payload;
    int iFields = FindFields(payload.data(), payload.size(), ' ', 5000, nullptr, 0);
    if (queues.StoreAnswer(iQueueId, packet.data(), static_cast<uint32_t>(packet.size()),
                           iFields) != StoreResult::kStored) {
        return false;
    }
    queues.PublishAnswers();
    return true;
}

QueueView InspectQueue(QueueTable& queues, const char* szKey) {
    QueueView view;
    KMutexAdaptor<KThreadMutex> tableGuard(queues.LockForTesting(), -1);
    MESSAGE_QUEUE* pQueue =
        static_cast<MESSAGE_QUEUE*>(hash_lookup(queues.TableForTesting(), szKey));
    if (pQueue == nullptr) return view;
    KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
    view.bExists = true;
    view.iCount = pQueue->iCount;
    view.tLastUse = pQueue->tLastUse;
    MESSAGE_NODE* pLast = nullptr;
    for (MESSAGE_NODE* pNode = pQueue->pHead; pNode != nullptr; pNode = pNode->pNext) {
        NodeView node;
        const PacketHeader& header = pNode->pPacket->header;
        node.iType = header.iType;
        node.dwLength = header.dwLength;
        node.iDone = pNode->iDone;
        node.payload.assign(PacketPayload(pNode->pPacket), header.dwLength - kPacketHeaderSize);
        node.bTerminated = PacketPayload(pNode->pPacket)[node.payload.size()] == '\0';
        view.nodes.push_back(node);
        pLast = pNode;
    }
    view.bTailIsLast = pLast == pQueue->pTail;
    return view;
}

bool SetQueueLastUse(QueueTable& queues, const char* szKey, int32_t tLastUse) {
    KMutexAdaptor<KThreadMutex> tableGuard(queues.LockForTesting(), -1);
    MESSAGE_QUEUE* pQueue =
        static_cast<MESSAGE_QUEUE*>(hash_lookup(queues.TableForTesting(), szKey));
    if (pQueue == nullptr) return false;
    KMutexAdaptor<KThreadMutex> queueGuard(pQueue->lock, -1);
    pQueue->tLastUse = tLastUse;
    return true;
}

TableCount CountTable(QueueTable& queues) {
    TableCount count;
    KMutexAdaptor<KThreadMutex> tableGuard(queues.LockForTesting(), -1);
    if (queues.TableForTesting() == nullptr) return count;
    count.iRecorded = queues.TableForTesting()->iCount;
    ForEachQueue(queues.TableForTesting(), [&count](MESSAGE_QUEUE*) {
        ++count.iWalked;
        return QueueWalk::kNext;
    });
    return count;
}

}  // namespace testutil
