#include "exchange/retrieve.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/log_file.h"
#include "base/text.h"
#include "exchange/exchange.h"
#include "exchange/logon_state.h"
#include "exchange/queue_table.h"
#include "platform/adapters.h"
#include "platform/clock.h"

namespace {

const char kTextTooSmall[] = "---error---OutputBuff 太小";
const char kTextTimeout[] = "---error---超时,没有收到数据";
const char kTextFormat[] = "---error---服务端返回的格式错误";

// What distinguishes the two readers.
struct ReaderKind {
    bool bEx;               // Read_Message2
    int iType;              // Read_Message1: the type wanted
    int iQueueId;           // the receive queue read
    int* piType;            // Read_Message2: where the taken type goes (may be null)
    const char* szError12;  // the log line of an answer too long or too short
    const char* szError13;  // the log line of an answer of the wrong format
};

// "0.0.0.0" compared without regard to ASCII case.
bool IsNoAddress(const char* szAddress) {
    const char* szNone = "0.0.0.0";
    for (; *szNone != '\0'; ++szNone, ++szAddress) {
        char c = *szAddress;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *szNone) return false;
    }
    return *szAddress == '\0';
}

// Copies a fixed text with its terminator into a caller's buffer that may be
// smaller than the text: nothing is written past iOutputLength bytes, and a
// cut text ends on a whole character (GBK characters are one byte below 0x80,
// two bytes otherwise).
void CopyTextFitting(char* OutputBuff, int iOutputLength, const char* szText) {
    if (OutputBuff == nullptr || iOutputLength <= 0) return;
    size_t iRoom = static_cast<size_t>(iOutputLength) - 1;
    size_t iLength = 0;
    while (szText[iLength] != '\0') {
        size_t iChar = (static_cast<unsigned char>(szText[iLength]) < 0x80) ? 1 : 2;
        if (iLength + iChar > iRoom) break;
        iLength += iChar;
    }
    std::memcpy(OutputBuff, szText, iLength);
    OutputBuff[iLength] = '\0';
}

// The log-on test, made at every pass of a read. Read_Message1 reads while
// the user is logged on, or for the log-on answer and types 2 and 16;
// refused, it returns the network state. Read_Message2 stops (-9) once a
// log-on was lost. Returns true with *piResult set when the call must end
// here.
bool LogonRefuses(const Exchange& exchange, const ReaderKind& kind, int* piResult) {
    int32_t iStatus = exchange.logon.iUserStatus1.load();
    if (!kind.bEx) {
        if (iStatus == 1 || kind.iType == 2 || kind.iType == 16 || kind.iType == 202) return false;
        WriteFileNew(LogFile(), "---ReturnUserRequestResult1---iUserStatus1=%d, iType=%d", iStatus,
                     kind.iType);
        *piResult = CheckNetworkState();
        return true;
    }
    if (iStatus != 2 || exchange.logon.iLoginFlag.load() != 1) return false;
    WriteFileNew(LogFile(), "---ReturnUserRequestResult1---iUserStatus1=%d, iType=%d", iStatus, 0);
    *piResult = -9;
    return true;
}

bool Wanted(const ReaderKind& kind, const MESSAGE_NODE* pNode) {
    int iPacketType = pNode->pPacket->header.iType;
    return kind.bEx ? iPacketType >= kPushTypeMin : iPacketType == kind.iType;
}

// Takes a pending node's answer into the caller's buffer, or
// refuses it; the node is consumed either way. Returns the result code and
// sets *piLength and *piTakenType.
int TakeAnswer(const ReaderKind& kind, MESSAGE_NODE* pNode, char* OutputBuff, int iOutputLength,
               int* piLength, int* piTakenType) {
    MESSAGE_PACKET* pPacket = pNode->pPacket;
    uint32_t dwLength = pPacket->header.dwLength;
    int iPacketType = pPacket->header.iType;
    *piTakenType = iPacketType;
    if (kind.bEx && kind.piType != nullptr) *kind.piType = iPacketType;
    int iResult;
    // Queued packets never exceed 65,536 bytes; the last test keeps to that
    // bound should one ever do.
    if (dwLength > static_cast<uint32_t>(iOutputLength) || dwLength <= kPacketHeaderSize ||
        dwLength > kMaxPacketLength) {
        WriteFileNew(LogFile(), kind.szError12, dwLength, kind.bEx ? iPacketType : kind.iType);
        std::snprintf(OutputBuff, static_cast<size_t>(iOutputLength),
                      "---error---OutputBuff 太小,服务端返回的数据长度:%d",
                      static_cast<int>(dwLength));
        *piLength = static_cast<int>(std::strlen(OutputBuff));
        iResult = -3;
    } else {
        uint32_t dwPayload = dwLength - kPacketHeaderSize;
        // Counted as the answer was stored.
        int ac1 = pNode->iFields;
        int iCheckedType = kind.bEx ? iPacketType : kind.iType;
        if (iCheckedType < kAnswerTypeMin || iCheckedType > kAnswerTypeMax || ac1 < 4) {
            WriteFileNew(LogFile(), kind.szError13, dwLength, ac1);
            CopyTextFitting(OutputBuff, iOutputLength, kTextFormat);
            *piLength = static_cast<int>(std::strlen(OutputBuff));
            iResult = -4;
        } else {
            std::memcpy(OutputBuff, PacketPayload(pPacket), dwPayload);
            *piLength = static_cast<int>(dwPayload);
            iResult = ac1;
        }
    }
    MarkAnswerTaken(pNode);
    return iResult;
}

// The trace line of an answer handed to the game. The answer is the
// server's text: its control bytes are escaped, so that it cannot start
// lines of its own, in a block of the size escaping may need (four times
// the text); without memory for it the text is cut to a smaller area.
void TraceAnswer(int iType, int iLength, const char* szAnswer) {
    size_t iSize = static_cast<size_t>(iLength) * 4 + 1;
    char* szEscaped = static_cast<char*>(ZeroAlloc(iSize));
    char szShort[1024];
    if (szEscaped != nullptr) {
        CopyEscapingControls(szEscaped, iSize, szAnswer);
    } else {
        CopyEscapingControls(szShort, sizeof(szShort), szAnswer);
    }
    WriteFileNew(LogFile(), "返回给WebServices请求结果[iType=%d,iLength=%d]:%s\n", iType, iLength,
                 szEscaped != nullptr ? szEscaped : szShort);
    ZeroFree(szEscaped);
}

// The pause between two looks of a reader. In the prompt mode the reader
// is among the waiters for the whole call, and a look is made after its
// event was cleared, so answers published after the look end the pause.
class PromptWait {
public:
    explicit PromptWait(const Exchange& exchange)
        : pQueues_(exchange.iPromptMode.load() != 0 ? &exchange.queues : nullptr) {
        if (pQueues_ != nullptr) pQueues_->AddWaiter(&waiter_);
    }
    ~PromptWait() {
        if (pQueues_ != nullptr) pQueues_->RemoveWaiter(&waiter_);
    }
    PromptWait(const PromptWait&) = delete;
    PromptWait& operator=(const PromptWait&) = delete;

    void BeforeLook() {
        if (pQueues_ != nullptr) waiter_.published.Reset();
    }
    void Pause(uint32_t dwMs) {
        if (pQueues_ != nullptr) {
            waiter_.published.WaitFor(dwMs);
        } else {
            platform::SleepMs(dwMs);
        }
    }

private:
    QueueTable* pQueues_;
    AnswerWaiter waiter_;
};

int ReturnResult(const Exchange& exchange, char* OutputBuff, int iOutputLength, int iTimeout,
                 const ReaderKind& kind) {
    int64_t tStartCall = platform::NowSeconds();
    if (kind.bEx && kind.piType != nullptr) *kind.piType = 0;
    // A buffer too small for any answer, also a null or non-positive one:
    // nothing is written outside it.
    if (OutputBuff == nullptr || iOutputLength < 256) {
        CopyTextFitting(OutputBuff, iOutputLength, kTextTooSmall);
        return -2;
    }
    std::memset(OutputBuff, 0, static_cast<size_t>(iOutputLength));
    int iResult = 0;
    int iLength = 0;
    int iTakenType = 0;
    char szKey[kQueueKeySize];
    FormRecvKey(szKey, kind.iQueueId);
    // In the prompt mode the call waits among the readers that published
    // answers wake; the mode a call starts in is the one it keeps.
    PromptWait prompt(exchange);
    // Looks for a wanted answer every 50 ms, and in the prompt mode whenever
    // answers are published, until one is found or the time is up.
    for (;;) {
        prompt.BeforeLook();
        // A log-on lost while waiting ends the call.
        int iRefused = 0;
        if (LogonRefuses(exchange, kind, &iRefused)) return iRefused;
        // Under the queue's lock, taken before the table's is left: the sweep
        // and the reset cannot free the queue under the walk.
        exchange.queues.Take(szKey, [&](MESSAGE_QUEUE* pQueue, uint32_t dwPublished) {
            pQueue->tLastUse = platform::NowSeconds32();
            MESSAGE_NODE* pPrev = nullptr;
            MESSAGE_NODE* pNode = pQueue->pHead;
            while (pNode != nullptr && iResult == 0) {
                if (pNode->iDone == 0 && Wanted(kind, pNode) &&
                    AnswerPublished(dwPublished, pNode)) {
                    iResult =
                        TakeAnswer(kind, pNode, OutputBuff, iOutputLength, &iLength, &iTakenType);
                }
                if (pNode->iDone == 1) {
                    // The tail stays listed (the producer links behind it).
                    if (pNode == pQueue->pTail) break;
                    pNode = UnlinkConsumedNode(pQueue, pPrev, pNode);
                } else {
                    pPrev = pNode;
                    pNode = pNode->pNext;
                }
            }
        });
        OutputBuff[iLength] = '\0';
        if (iResult != 0) break;
        // On the whole-second clock, as a signed 64-bit difference. A
        // library being unloaded ends the wait as a time-out.
        if (platform::NowSeconds() - tStartCall >= static_cast<int64_t>(iTimeout)) break;
        if (exchange.iStopping.load() != 0) break;
        prompt.Pause(50);
    }
    if (exchange.iLogFlag.load() != 0 && iResult != 0) {
        TraceAnswer(kind.bEx ? iTakenType : kind.iType, iLength, OutputBuff);
    }
    if (iResult != 0) return iResult;
    CopyTextFitting(OutputBuff, iOutputLength, kTextTimeout);
    return 0;
}

}  // namespace

int ReturnUserRequestResult1(const Exchange& exchange, char* OutputBuff, int iOutputLength,
                             int iTimeout, int iQueueId, int iType) {
    ReaderKind kind{false,
                    iType,
                    iQueueId,
                    nullptr,
                    "---ReturnUserRequestResult1---error12---从注册/登录服务器得到的包太长或太短,"
                    "dwLength=%u,iType=%d\n",
                    "---ReturnUserRequestResult1---error13---从注册/登录服务器得到的包格式错误,"
                    "dwLength=%u,ac1=%d\n"};
    return ReturnResult(exchange, OutputBuff, iOutputLength, iTimeout, kind);
}

int ReturnUserRequestResultEx(const Exchange& exchange, char* OutputBuff, int iOutputLength,
                              int iTimeout, int /*iReserved*/, int* piType) {
    ReaderKind kind{true,
                    0,
                    0,
                    piType,
                    "---ReturnUserRequestResultEx---error12---从注册/登录服务器得到的包太长或太短,"
                    "dwLength=%u,iType=%d\n",
                    "---ReturnUserRequestResultEx---error13---从注册/登录服务器得到的包格式错误,"
                    "dwLength=%u,ac1=%d\n"};
    return ReturnResult(exchange, OutputBuff, iOutputLength, iTimeout, kind);
}

int CheckNetworkState() {
    // The first query asks for the size of the adapter list.
    uint32_t dwSize = 0;
    uint32_t dwResult = platform::QueryAdapters(nullptr, &dwSize);
    // Adapters that all lack an address: no network.
    if (dwResult == platform::kErrorBufferOverflow) {
        platform::AdapterRecord* pList = static_cast<platform::AdapterRecord*>(std::malloc(dwSize));
        if (pList == nullptr) return -3;  // the query cannot be made: a failed query
        dwResult = platform::QueryAdapters(pList, &dwSize);
        if (dwResult == platform::kErrorSuccess) {
            int iAdapters = 0;
            bool bAnyAddress = false;
            for (platform::AdapterRecord* p = pList; p != nullptr; p = p->pNext) {
                ++iAdapters;
                if (!IsNoAddress(p->szIpAddress)) bAnyAddress = true;
            }
            std::free(pList);
            if (iAdapters > 0 && !bAnyAddress) return -1;
        } else {
            std::free(pList);
        }
    }
    // No adapter at all, or a failed query.
    if (dwResult == platform::kErrorNoData) return -2;
    if (dwResult != platform::kErrorSuccess) return -3;
    return -9;
}
