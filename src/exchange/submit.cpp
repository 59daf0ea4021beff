#include "exchange/submit.h"

#include <cstring>

#include "base/log_file.h"
#include "base/text.h"
#include "exchange/exchange.h"
#include "exchange/queue_table.h"
#include "platform/clock.h"

int ProcessUserRequest(const Exchange& exchange, const char* szInput, int iInputLength, int iType) {
    try {
        // A length below 1 means a terminated text; a null text is taken as
        // the empty text.
        if (iInputLength < 1) {
            iInputLength =
                szInput != nullptr ? static_cast<int>(strnlen(szInput, kMaxRequestText + 1)) : 0;
        }
        if (iInputLength > kMaxRequestText || iInputLength < 1 || szInput == nullptr) {
            WriteFileNew(LogFile(), "---ProcessUserRequest---error---1---iInputLength=%d\n",
                         iInputLength);
            return -3;
        }
        if (exchange.iLogFlag.load() != 0) {
            // The log is sent to support by players: a log-on shows no password.
            char szText[kMaxRequestText + 1];
            std::memcpy(szText, szInput, static_cast<size_t>(iInputLength));
            szText[iInputLength] = '\0';
            char szShown[kMaxRequestText + 4];
            if (iType == kTypeLogonRequest) {
                CopyMaskingPassword(szShown, sizeof(szShown), szText);
            }
            WriteFileNew(LogFile(), "从WebServices收到处理请求[iType=%d,iInputLength=%d]:%s\n\n",
                         iType, iInputLength, iType == kTypeLogonRequest ? szShown : szText);
        }
        if (iType < kRequestTypeMin || iType > kRequestTypeMax) {
            WriteFileNew(LogFile(),
                         "---ProcessUserRequest---error---2---iInputLength=%d,iType=%d\n",
                         iInputLength, iType);
            return -1;
        }
        // The fields are found in the caller's text, which stays as it is:
        // three are enough to know the request's shape.
        TextField fields[2];
        int ac1 = FindFields(szInput, static_cast<size_t>(iInputLength), ' ', 3, fields, 2);
        if (ac1 < 3) {
            WriteFileNew(LogFile(),
                         "---ProcessUserRequest---error---3---ac1=%d,iInputLength=%d,iType=%d\n",
                         ac1, iInputLength, iType);
            return -1;
        }
        // The request goes to the send queue of its identifier, the second
        // field.
        char szKey[kQueueKeySize];
        FormSendKey(szKey, ParseDecimal(fields[1].pStart, fields[1].iLength));

        // The queue is found or created and the request appended under its
        // lock; the lines come once the locks are left.
        uint32_t dwLength = static_cast<uint32_t>(iInputLength) + kPacketHeaderSize;
        bool bNodeFailed = false;
        FindOrCreateResult found = exchange.queues.Submit(szKey, [&](MESSAGE_QUEUE* pQueue) {
            bool bPacketFailed = false;
            MESSAGE_NODE* pNode = NewMessageNode(dwLength, &bPacketFailed);
            if (pNode == nullptr) {
                bNodeFailed = true;
                return false;
            }
            std::memcpy(PacketPayload(pNode->pPacket), szInput, static_cast<size_t>(iInputLength));
            FillPacketHeader(&pNode->pPacket->header, iType, dwLength, 0, 0, 0);
            AppendMessageNode(pQueue, pNode, platform::NowSeconds32());
            return true;
        });
        if (found == kQueueAllocFailed) {
            WriteFileNew(LogFile(), "---ProcessUserRequest---error---10---calloc-fail\n");
            return -4;
        }
        if (found == kQueueAddFailed) {
            WriteFileNew(
                LogFile(),
                "---ProcessUserRequest---error1---hash_add failed (MESSAGE_QUEUE_TABLE)\n");
            return -5;
        }
        if (bNodeFailed) {
            WriteFileNew(LogFile(), "---ProcessUserRequest---error---11---calloc-fail:%d\n",
                         iInputLength + 17);
            return -7;
        }
        return 1;
    } catch (...) {
        // The guards have left their locks as the stack unwound.
        WriteFileNew(LogFile(), "---ProcessUserRequest---error9---try,catch\n");
        return -9;
    }
}
