// The engine record's own small operations: the stop request, the session
// buffers freed, and the session key emptied and copied under its lock.
#include "session/engine.h"

#include <cstring>

#include "base/alloc.h"

void ClientEngine::RequestStop() {
    iRunState = 0;
    stopSignal.Set();
}

void ClientEngine::FreeSessionBuffers() {
    ZeroFree(pReadBuf);
    ZeroFree(pWriteBuf);
    pReadBuf = nullptr;
    pWriteBuf = nullptr;
}

void ClientEngine::ClearSessionKey() {
    KMutexAdaptor<KThreadMutex> guard(lockKey, -1);
    std::memset(szSessionKey, 0, sizeof(szSessionKey));
}

void ClientEngine::GetSessionKey(char* szOut) {
    KMutexAdaptor<KThreadMutex> guard(lockKey, -1);
    std::memcpy(szOut, szSessionKey, sizeof(szSessionKey));
}
