// Stand-in windows: existence, synchronous WM_COPYDATA, and destruction while
// a message is being handled.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/window.h"
#include "util/process_resources.h"
#include "vorel/vorel_window.h"

namespace {

struct Received {
    std::atomic<int> iCount{0};
    std::atomic<uintptr_t> dwData{0};
    std::atomic<uint32_t> cbData{99};
    std::atomic<void*> lpData{reinterpret_cast<void*>(1)};
};

intptr_t Record(HWND hWnd, unsigned int uMsg, uintptr_t wParam, intptr_t lParam) {
    Received* pReceived = static_cast<Received*>(VorelGetWindowUser(hWnd));
    if (uMsg != WM_COPYDATA || wParam != 0 || pReceived == nullptr) return -1;
    const COPYDATASTRUCT* pCds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    pReceived->dwData = pCds->dwData;
    pReceived->cbData = pCds->cbData;
    pReceived->lpData = pCds->lpData;
    ++pReceived->iCount;
    return 7;
}

TEST(PlatformWindow, CopyDataReachesTheProcedureSynchronously) {
    Received received;
    HWND hWnd = VorelCreateWindow(Record, &received);
    ASSERT_NE(hWnd, nullptr);
    EXPECT_TRUE(platform::IsWindowHandle(hWnd));
    EXPECT_EQ(platform::SendCopyData(hWnd, 95, 0, nullptr), 7);
    EXPECT_EQ(received.iCount.load(), 1);  // already handled when the call returned
    EXPECT_EQ(received.dwData.load(), 95u);
    EXPECT_EQ(received.cbData.load(), 0u);
    EXPECT_EQ(received.lpData.load(), nullptr);

    VorelDestroyWindow(hWnd);
    EXPECT_FALSE(platform::IsWindowHandle(hWnd));
    EXPECT_EQ(platform::SendCopyData(hWnd, 96, 0, nullptr), 0);
    EXPECT_EQ(received.iCount.load(), 1);
    VorelDestroyWindow(hWnd);  // twice is harmless
}

TEST(PlatformWindow, NullAndMadeUpHandlesAreNoWindows) {
    EXPECT_FALSE(platform::IsWindowHandle(nullptr));
    EXPECT_FALSE(platform::IsWindowHandle(reinterpret_cast<HWND>(0x1234)));
    EXPECT_EQ(VorelCreateWindow(nullptr, nullptr), nullptr);
    EXPECT_EQ(VorelGetWindowUser(nullptr), nullptr);
}

TEST(PlatformWindow, HandlesOfDestroyedWindowsAreNotReused) {
    HWND hFirst = VorelCreateWindow(Record, nullptr);
    VorelDestroyWindow(hFirst);
    HWND hSecond = VorelCreateWindow(Record, nullptr);
    EXPECT_NE(hFirst, hSecond);
    EXPECT_FALSE(platform::IsWindowHandle(hFirst));
    VorelDestroyWindow(hSecond);
}

intptr_t DestroySelf(HWND hWnd, unsigned int, uintptr_t, intptr_t) {
    VorelDestroyWindow(hWnd);
    return 3;
}

TEST(PlatformWindow, AProcedureMayDestroyItsOwnWindow) {
    HWND hWnd = VorelCreateWindow(DestroySelf, nullptr);
    EXPECT_EQ(platform::SendCopyData(hWnd, 1, 0, nullptr), 3);
    EXPECT_FALSE(platform::IsWindowHandle(hWnd));
    // The window is freed as its procedure returns.
    if (!testutil::HeapMeasurable()) return;
    int64_t iBefore = testutil::MeasureProcessResources().iHeapBytes;
    for (int i = 0; i < 500; ++i) {
        platform::SendCopyData(VorelCreateWindow(DestroySelf, nullptr), 1, 0, nullptr);
    }
    EXPECT_LT(testutil::MeasureProcessResources().iHeapBytes - iBefore, 8192);
}

std::atomic<bool> g_bInside{false};
std::atomic<bool> g_bRelease{false};
std::atomic<bool> g_bReturned{false};

intptr_t Slow(HWND, unsigned int, uintptr_t, intptr_t) {
    g_bInside = true;
    while (!g_bRelease) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    g_bReturned = true;
    return 0;
}

TEST(PlatformWindow, DestroyWaitsForAProcedureRunningOnAnotherThread) {
    HWND hWnd = VorelCreateWindow(Slow, nullptr);
    std::thread sender([hWnd] { platform::SendCopyData(hWnd, 95, 0, nullptr); });
    while (!g_bInside) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::thread releaser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        g_bRelease = true;
    });
    VorelDestroyWindow(hWnd);
    EXPECT_TRUE(g_bReturned.load());  // no call of the procedure outlives the destroy
    sender.join();
    releaser.join();
}

}  // namespace
