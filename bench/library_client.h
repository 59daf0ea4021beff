// The library as a game uses it: libVorel.so loaded with dlopen, its exports
// found by name, a stand-in window for the notices, and the few steps every
// game repeats (log on, make a request, wait for a notice).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "loader/vorel_exports.h"

namespace bench {

// The notices the window received, by dwData; filled on the library's
// session thread.
class NoticeBoard {
public:
    void Add(uintptr_t dwData);
    int Count(uintptr_t dwData);
    // Waits until more than iSeen notices of dwData have come; false after
    // iTimeoutMs.
    bool WaitBeyond(uintptr_t dwData, int iSeen, int iTimeoutMs);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uintptr_t, int> counts_;  // guarded by mutex_
};

// The exports, as found by name, are its public members.
class LibraryClient : public loader::VorelExports {
public:
    LibraryClient() = default;
    ~LibraryClient() { Unload(); }
    LibraryClient(const LibraryClient&) = delete;
    LibraryClient& operator=(const LibraryClient&) = delete;

    // Loads the library, makes a window and names it, and points the
    // library at 127.0.0.1:wPort with init. False with *pError.
    bool Load(const std::string& path, uint16_t wPort, std::string* pError);
    // Destroys the window and unloads the library.
    void Unload();

    int Write(int iType, const std::string& text);

    // Logs on as player/secret under identifier iQueueId, waiting up to
    // iTimeoutSeconds for each answer: "" or what went wrong. A log-on
    // written while the library rebuilds its connection may go with the old
    // queues, so an unanswered one is made again, up to iAttempts in all;
    // *piUnanswered (when given) counts those left without an answer.
    std::string LogOn(int iQueueId, int iTimeoutSeconds = 10, int iAttempts = 3,
                      int* piUnanswered = nullptr);

    // Waits until Read_Message2 reports the lost log-on (-9).
    bool WaitForLostLogon(int iTimeoutMs);

    NoticeBoard& Notices() { return board_; }

private:
    void* hLibrary_ = nullptr;
    HWND hWnd_ = nullptr;
    NoticeBoard board_;
};

}  // namespace bench
