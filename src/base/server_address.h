// The server's address: the host and port that the next connection set-up
// dials, taken from serverConfigs.ini beside the game's executable (section
// "Lumaro_COM", key "ConfigInfo", value "host port [verbose]") until `init`
// gives one, which from then on wins over the file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/lock.h"

class ServerAddress {
public:
    static constexpr size_t kHostSize = 50;  // 7..49 characters and the terminator

    // Copies the address (szOutHost: kHostSize bytes).
    void Get(char* szOutHost, int* piOutPort) {
        KMutexAdaptor<KThreadMutex> guard(lockAddress, -1);
        CopyOut(szOutHost, piOutPort);
    }

    // Whether `init` has given an address: the file is not read for one
    // any more.
    bool FromInit() const { return iAddrFromInit.load() != 0; }

    // Takes the address that `init` gave (iLength: 7..49, checked by the
    // caller) and marks it as `init`'s. fnAlso runs under the same lock, so
    // that what the caller changes with the address (the set-up numbering)
    // changes at once with it for anyone who takes the address through Take.
    template <typename Fn>
    void SetFromInit(const char* szHostIn, size_t iLength, int iPortIn, Fn fnAlso) {
        KMutexAdaptor<KThreadMutex> guard(lockAddress, -1);
        iAddrFromInit = 1;
        Store(szHostIn, iLength, iPortIn);
        fnAlso();
    }

    // Copies the address (szOutHost may be null: nothing copied) when
    // fnAllowed, run under the lock, allows it; returns what it said.
    template <typename Fn>
    bool Take(Fn fnAllowed, char* szOutHost, int* piOutPort) {
        KMutexAdaptor<KThreadMutex> guard(lockAddress, -1);
        if (!fnAllowed()) return false;
        if (szOutHost != nullptr) CopyOut(szOutHost, piOutPort);
        return true;
    }

    // Takes an address read from the file, unless `init` has given one,
    // also when that came in after the caller looked at the flag.
    void SetFromFile(const char* szHostIn, size_t iLength, int iPortIn) {
        KMutexAdaptor<KThreadMutex> guard(lockAddress, -1);
        if (iAddrFromInit.load() == 0) Store(szHostIn, iLength, iPortIn);
    }

    // Reads serverConfigs.ini: the address, unless `init` gave one, the
    // trace switch into *piLogFlag, and the prompt mode into *piPromptMode
    // (1 for the key Prompt=1 of the same section; 0 when it is absent or
    // holds anything else). 0 after every completed run, -9 when an
    // exception stopped it.
    int ReadConfigFile(std::atomic<int32_t>* piLogFlag, std::atomic<int32_t>* piPromptMode);

    void AssertNotHeld() const { lockAddress.AssertNotHeld(); }
    // For tests that hold the lock on another thread.
    KThreadMutex& Lock() { return lockAddress; }

private:
    void CopyOut(char* szOutHost, int* piOutPort) const {
        std::memcpy(szOutHost, szHost, sizeof(szHost));
        *piOutPort = iPort;
    }
    void Store(const char* szHostIn, size_t iLength, int iPortIn) {
        std::memset(szHost, 0, sizeof(szHost));
        std::memcpy(szHost, szHostIn, iLength);
        iPort = iPortIn;
    }

    char szHost[kHostSize] = {};  // guarded by lockAddress; 7..49 characters once set
    int32_t iPort = 0;            // guarded by lockAddress; 1..65535 once set
    std::atomic<int32_t> iAddrFromInit{0};
    mutable KThreadMutex lockAddress;
};
