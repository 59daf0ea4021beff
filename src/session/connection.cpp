// The connection's own small operations: the session buffers freed, and the
// session key emptied, copied and stored under its lock.
#include "session/connection.h"

#include <cstring>

#include "base/alloc.h"

void Connection::FreeSessionBuffers() {
    ZeroFree(pReadBuf);
    ZeroFree(pWriteBuf);
    pReadBuf = nullptr;
    pWriteBuf = nullptr;
}

void Connection::ClearSessionKey() {
    KMutexAdaptor<KThreadMutex> guard(lockKey, -1);
    std::memset(szSessionKey, 0, sizeof(szSessionKey));
}

void Connection::GetSessionKey(char* szOut) {
    KMutexAdaptor<KThreadMutex> guard(lockKey, -1);
    std::memcpy(szOut, szSessionKey, sizeof(szSessionKey));
}

void Connection::SetSessionKey(const char* szNewKey) {
    KMutexAdaptor<KThreadMutex> guard(lockKey, -1);
    std::memcpy(szSessionKey, szNewKey, sizeof(szSessionKey));
}
