#include "base/threads.h"

#include "base/log_file.h"
#include "platform/clock.h"
#include "support/quorvex.h"

void TakeThreadSlot(ThreadSlot& slot, const char* szOccupiedLine) {
    platform::ThreadHandle* hOld = slot.exchange(nullptr);
    if (hOld == nullptr) return;
    WriteFileNew(LogFile(), "%s", szOccupiedLine);
    platform::ThreadClose(hOld);
}

void SlotSelf::Publish(ThreadSlot& slot, platform::ThreadHandle* hThread) {
    hSelf_.store(hThread, std::memory_order_release);
    slot.store(hThread);
    bPublished_.store(true, std::memory_order_release);
}

void SlotSelf::Leave(ThreadSlot& slot) {
    // A thread may end before creation has even returned to its starter.
    while (!bPublished_.load(std::memory_order_acquire)) platform::SleepRealMs(1);
    platform::ThreadHandle* hOwn = hSelf_.load(std::memory_order_acquire);
    platform::ThreadHandle* hExpected = hOwn;
    if (slot.compare_exchange_strong(hExpected, nullptr)) platform::ThreadClose(hOwn);
}

void LogThreadRefused(const char* szFormat) {
    WriteFileNew(LogFile(), szFormat, platform::NowSeconds32());
}
