#include "session/inbound.h"

#include <cstring>

#include "base/log_file.h"
#include "base/text.h"
#include "exchange/queue_table.h"
#include "platform/clock.h"
#include "platform/window.h"
#include "session/connect.h"
#include "session/engine.h"
#include "session/framer.h"
#include "session/session_state.h"

namespace {

// The lines of the read step are kept in state.deferredLog and written
// together: at the end of each parse, whenever they reach 32 KiB, and before
// every call that writes lines of its own or waits for the game (ReConnect,
// the window notice), so that the log keeps their order.

// Writes the lines kept, then lets the readers take the answers stored so
// far: each answer's line is in the log before a game thread can have it.
void WriteOutLines(ClientEngine& engine, SessionState& state) {
    state.deferredLog.WriteOut();
    engine.queues.PublishAnswers();
}

// WriteOutLines when the scope ends, however it ends.
class WriteLinesAtScopeEnd {
public:
    WriteLinesAtScopeEnd(ClientEngine& engine, SessionState& state)
        : engine_(engine), state_(state) {}
    ~WriteLinesAtScopeEnd() { WriteOutLines(engine_, state_); }
    WriteLinesAtScopeEnd(const WriteLinesAtScopeEnd&) = delete;
    WriteLinesAtScopeEnd& operator=(const WriteLinesAtScopeEnd&) = delete;

private:
    ClientEngine& engine_;
    SessionState& state_;
};

// Hands the connection to ReConnect (iConnect as ReConnect takes it) and
// empties the read side. The pass writes nothing more on the connection
// given up either.
void GiveUpConnection(ClientEngine& engine, SessionState& state, int iConnect = 0) {
    WriteOutLines(engine, state);
    HandToReConnect(engine, iConnect);
    ResetReadSide(state);
    state.iConnectionGood = 0;
}

enum class Handled {
    kNext,           // go on with the packet behind it
    kStop,           // parsing ends; the connection has been handed on
    kStorageFailed,  // parsing ends; this packet and the rest stay for a later pass
};

// The fields the session reads of an answer: counted up to 100 within the
// text its log lines show (the payload's first bytes, as many as a text
// area holds), the first four found. The reader's count, up to 5000 over the
// whole payload, comes from the same scan and is stored with the answer, so
// that the answer is neither copied nor cut on its way to the game.
constexpr int kAnswerFields = 100;
constexpr int kReaderFields = 5000;
constexpr size_t kShownText = SessionState::kTextAreaSize - 1;

struct AnswerFields {
    const char* pText;   // the payload, in the read buffer
    size_t iShown;       // its bytes that the log lines show
    int iFields;         // fields within those bytes, at most kAnswerFields
    int iReaderFields;   // fields of the whole payload, at most kReaderFields
    TextField first[4];  // the first fields, each cut to the bytes shown
};

AnswerFields FindAnswerFields(const char* pPacket, uint32_t dwLength) {
    AnswerFields found{};
    size_t iPayload = dwLength - kPacketHeaderSize;
    found.pText = pPacket + kPacketHeaderSize;
    found.iShown = iPayload < kShownText ? iPayload : kShownText;
    TextField fields[kAnswerFields];
    found.iReaderFields =
        FindFields(found.pText, iPayload, ' ', kReaderFields, fields, kAnswerFields);
    const char* pShownEnd = found.pText + found.iShown;
    int iFound = found.iReaderFields < kAnswerFields ? found.iReaderFields : kAnswerFields;
    while (found.iFields < iFound && fields[found.iFields].pStart < pShownEnd) {
        TextField field = fields[found.iFields];
        if (field.iLength > static_cast<size_t>(pShownEnd - field.pStart)) {
            field.iLength = static_cast<size_t>(pShownEnd - field.pStart);
        }
        if (found.iFields < 4) found.first[found.iFields] = field;
        ++found.iFields;
    }
    return found;
}

// The server's text as its log line shows it, control bytes escaped, in
// the session's text area.
const char* EscapedForLog(SessionState& state, const char* pText, size_t iLength) {
    CopyEscapingControls(state.szText1, SessionState::kTextAreaSize, pText, iLength);
    return state.szText1;
}

// Stores an answer (under the table's lock); the lines and the ReConnect
// of a failure come after the lock is left, in the order they always had.
Handled StoreAnswer(ClientEngine& engine, SessionState& state, const char* pPacket,
                    uint32_t dwLength, int iType, int iQueueId, const AnswerFields& fields) {
    switch (engine.queues.StoreAnswer(iQueueId, pPacket, dwLength, fields.iReaderFields)) {
        case StoreResult::kStored:
            ++state.iValidReceiveTotal;
            return Handled::kNext;
        case StoreResult::kNoRequestQueue:
            GiveUpConnection(engine, state);
            state.deferredLog.Add("线程2---READ---error---9---:%d,%d,%d,%s\n",
                                  static_cast<int>(dwLength), iType, iQueueId,
                                  EscapedForLog(state, fields.pText, fields.iShown));
            return Handled::kStop;
        case StoreResult::kQueueAllocFailed:
            state.deferredLog.Add("线程2---READ---error---10---calloc-fail\n");
            break;
        case StoreResult::kQueueAddFailed:
            state.deferredLog.Add("---error1---hash_add failed (MESSAGE_QUEUE_TABLE)\n");
            break;
        case StoreResult::kNodeAllocFailed:
            state.deferredLog.Add("线程2---READ---error---11---calloc-fail\n");
            break;
        case StoreResult::kPacketAllocFailed:
            state.deferredLog.Add("---error12---calloc failed:%d\n", static_cast<int>(dwLength));
            break;
    }
    return Handled::kStorageFailed;
}

// Handles the packet at the front of the bytes received: its line, then the
// disconnect notice, the checks, the key answer or the answer to store.
Handled HandlePacket(ClientEngine& engine, SessionState& state, FrameResult front,
                     const FramedPacket& packet) {
    const char* pPacket = packet.pBytes;
    uint32_t dwLength = packet.dwLength;
    int iType = packet.iType;
    state.deferredLog.Add("线程1---recv---type=%d---,iReadStartPos=%d\n", iType, packet.iPosition);
    // Everything after the disconnect notice is dropped. ReConnect tells the
    // game's window, once the new set-up has emptied the session.
    if (front == FrameResult::kDisconnect) {
        GiveUpConnection(engine, state, 1);
        return Handled::kStop;
    }
    if (front == FrameResult::kBadPacket) {
        GiveUpConnection(engine, state);
        state.deferredLog.Add("线程2---READ---error---6---消息包太大或太小:%d,%d\n",
                              static_cast<int>(dwLength), iType);
        return Handled::kStop;
    }
    AnswerFields fields = FindAnswerFields(pPacket, dwLength);
    int iFields = fields.iFields;
    // A key answer needs no more than its first field.
    if (iType == kTypeKey) {
        TextField key = iFields > 0 ? fields.first[0] : TextField{"", 0};
        char szNewKey[kSessionKeySize];
        int iDecoded = engine.connection.codec.DataDecode(
            nullptr, key.pStart, static_cast<unsigned int>(key.iLength), szNewKey, kSessionKeySize,
            kDecodeModeKey);
        if (iDecoded > 0) {
            engine.connection.SetSessionKey(szNewKey);
            return Handled::kNext;
        }
        GiveUpConnection(engine, state);
        state.deferredLog.Add("线程2---READ---error---10---:%d,%d,%d,%s\n",
                              static_cast<int>(dwLength), iType, iFields,
                              EscapedForLog(state, key.pStart, key.iLength));
        return Handled::kStop;
    }
    if (iFields <= 3) {
        GiveUpConnection(engine, state);
        state.deferredLog.Add("线程2---READ---error---8---:%d,%d,%d,%s\n",
                              static_cast<int>(dwLength), iType, iFields,
                              EscapedForLog(state, fields.pText, fields.iShown));
        return Handled::kStop;
    }
    int iQueueId = ParseDecimal(fields.first[1].pStart, fields.first[1].iLength);
    if (iType == kTypeLogonAnswer &&
        ParseDecimal(fields.first[3].pStart, fields.first[3].iLength) == 0) {
        engine.logon.iUserStatus1 = 1;
        state.deferredLog.Add("---LOGON_RESULT---iUserStatus1=%d", 1);
    }
    return StoreAnswer(engine, state, pPacket, dwLength, iType, iQueueId, fields);
}

}  // namespace

void ParseReceived(ClientEngine& engine, SessionState& state, int iReceived) {
    WriteLinesAtScopeEnd writeLines(engine, state);
    PacketFramer& framer = state.framer;
    framer.Feed(engine.connection.pReadBuf, iReceived);
    state.bStorageFailed = false;
    FramedPacket packet;
    FrameResult front;
    while ((front = framer.Next(&packet)) != FrameResult::kNeedMore &&
           front != FrameResult::kTooLong) {
        // At the bound on unread answers the packets left wait in the read
        // buffer, as after a storage failure, until the game has read: one
        // receive of tiny answers would otherwise hold many times the bound.
        if (HeldAnswersAtLimit()) {
            state.bStorageFailed = true;
            break;
        }
        Handled handled = HandlePacket(engine, state, front, packet);
        if (handled == Handled::kStorageFailed) state.bStorageFailed = true;
        if (handled != Handled::kNext) break;
        framer.Consume();
        if (state.deferredLog.Full()) WriteOutLines(engine, state);
    }
    // Keep the start of an incomplete packet for the next receive.
    if (framer.Rest() > 0 && state.iConnectionGood == 1) {
        if (front == FrameResult::kTooLong) {
            int iEnd = framer.Kept();
            GiveUpConnection(engine, state);
            state.deferredLog.Add("线程2---READ---error---13---:(%d,%d),%d\n", iEnd, 0,
                                  static_cast<int>(packet.dwLength));
            return;
        }
        framer.KeepRest();
    } else {
        framer.Reset();
    }
}

void RetryKeptAnswers(ClientEngine& engine, SessionState& state) {
    if (state.bStorageFailed && state.framer.Kept() > 0) ParseReceived(engine, state, 0);
}

void ReadStep(ClientEngine& engine, SessionState& state) {
    engine.AssertNoLockHeld();
    for (;;) {
        // What the game has not read yet is bounded: at the limit the
        // server's bytes stay in the system's buffers (and TCP holds the
        // server back) until the game reads.
        if (HeldAnswersAtLimit()) {
            if (!state.bHeldLimitLogged) {
                state.bHeldLimitLogged = true;
                WriteFileNew(LogFile(),
                             "线程2---READ---warn---3---游戏未读取的应答已达%lld字节,暂停接收\n",
                             static_cast<long long>(HeldAnswerBytes()));
            }
            return;
        }
        int iRoom = static_cast<int>(kReadBufferSize) - state.framer.Kept();
        int iReceived = 0;
        bool bFilled = false;
        if (iRoom > 0) {
            int n = platform::SocketRecv(engine.connection.hSocket.load(),
                                         engine.connection.pReadBuf + state.framer.Kept(), iRoom);
            if (n > 0) {
                state.iReceivedMeasure += n;
                state.iBusyReadRetries = 0;
                iReceived = n;
                bFilled = n == iRoom;
            } else if (n == -1 && platform::SocketLastError() == platform::kWsaWouldBlock &&
                       state.iBusyReadRetries < 5) {
                ++state.iBusyReadRetries;
                SessionSleep(engine, 200);
                return;
            } else {
                int iError = platform::SocketLastError();
                // Whole answers already received and kept after a storage
                // failure are stored before the connection goes, if they can be.
                RetryKeptAnswers(engine, state);
                if (state.iConnectionGood != 1) return;
                if (n == -1) {
                    WriteFileNew(LogFile(), "线程2---READ---warn---1---socket繁忙,%d\n", iRoom);
                } else {
                    WriteFileNew(LogFile(), "线程2---READ---warn---2---socket已断,%d,%d\n", iRoom,
                                 iError);
                }
                GiveUpConnection(engine, state);
                return;
            }
        }
        ParseReceived(engine, state, iReceived);
        // A receive that filled the buffer may have left more behind.
        if (!bFilled || state.iConnectionGood != 1) return;
    }
}
