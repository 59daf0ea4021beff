#include "bench/library_client.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// The window procedure: counts WM_COPYDATA notices on the board given as the
// window's user pointer. The getter is the library's, kept here because the
// procedure has no other way to it.
decltype(&::VorelGetWindowUser) g_pfnGetWindowUser = nullptr;

intptr_t NoticeWindowProc(HWND hWnd, unsigned int uMsg, uintptr_t, intptr_t lParam) {
    if (uMsg != WM_COPYDATA || lParam == 0 || g_pfnGetWindowUser == nullptr) return 0;
    auto* pBoard = static_cast<NoticeBoard*>(g_pfnGetWindowUser(hWnd));
    if (pBoard == nullptr) return 0;
    pBoard->Add(reinterpret_cast<const COPYDATASTRUCT*>(lParam)->dwData);
    return 1;
}

}  // namespace

void NoticeBoard::Add(uintptr_t dwData) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[dwData];
    changed_.notify_all();
}

int NoticeBoard::Count(uintptr_t dwData) {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_[dwData];
}

bool NoticeBoard::WaitBeyond(uintptr_t dwData, int iSeen, int iTimeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(iTimeoutMs),
                             [&] { return counts_[dwData] > iSeen; });
}

bool LibraryClient::Load(const std::string& path, uint16_t wPort, std::string* pError) {
    hLibrary_ = loader::OpenVorel(path, this, pError);
    if (hLibrary_ == nullptr) return false;
    g_pfnGetWindowUser = VorelGetWindowUser;
    hWnd_ = VorelCreateWindow(NoticeWindowProc, &board_);
    std::vector<char> host = {'1', '2', '7', '.', '0', '.', '0', '.', '1', '\0'};
    int iInit = init(host.data(), wPort);
    int iSet = hWnd_ != nullptr ? SetMessageWnd(hWnd_) : 0;
    if (iInit != 0 || iSet != 1) {
        *pError = "init returned " + std::to_string(iInit) + ", SetMessageWnd returned " +
                  std::to_string(iSet);
        Unload();
        return false;
    }
    return true;
}

void LibraryClient::Unload() {
    if (hWnd_ != nullptr) VorelDestroyWindow(hWnd_);
    hWnd_ = nullptr;
    if (hLibrary_ != nullptr) dlclose(hLibrary_);
    hLibrary_ = nullptr;
    g_pfnGetWindowUser = nullptr;
}

int LibraryClient::Write(int iType, const std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return Write_Message1(iType, copy.data(), static_cast<int>(text.size()));
}

std::string LibraryClient::LogOn(int iQueueId, int iTimeoutSeconds, int iAttempts,
                                 int* piUnanswered) {
    const std::string request = "201 " + std::to_string(iQueueId) + " player secret";
    const std::string welcome = "202 " + std::to_string(iQueueId) + " player 0 ";
    std::vector<char> answer(4096, '\0');
    for (int iAttempt = 1; iAttempt <= iAttempts; ++iAttempt) {
        int iWrite = Write(201, request);
        if (iWrite != 1) return "Write_Message1 of the log-on returned " + std::to_string(iWrite);
        int iRead = Read_Message1(202, answer.data(), static_cast<int>(answer.size()),
                                  iTimeoutSeconds, iQueueId);
        if (iRead == 0) {
            if (piUnanswered != nullptr) ++*piUnanswered;
            continue;
        }
        if (std::string(answer.data()).rfind(welcome, 0) != 0) {
            return "log-on answer " + std::to_string(iRead) + " \"" + answer.data() + "\"";
        }
        return "";
    }
    return "no answer to the log-on within " + std::to_string(iTimeoutSeconds) + " s, " +
           std::to_string(iAttempts) + " times";
}

bool LibraryClient::WaitForLostLogon(int iTimeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
    std::vector<char> buffer(4096, '\0');
    while (Clock::now() < deadline) {
        int iType = 0;
        if (Read_Message2(&iType, buffer.data(), static_cast<int>(buffer.size()), 0, 0) == -9)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace bench
