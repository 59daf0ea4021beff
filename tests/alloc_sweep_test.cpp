// The failing allocator of the allocation-failure sweep: what it counts,
// which call it fails and how. liballoc_probe.so stands for the library:
// its calls are the counted ones.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "allocsweep/failing_allocator.h"

extern "C" {
void* ProbeMalloc(size_t iSize);
void* ProbeCalloc(size_t iCount, size_t iSize);
void* ProbeRealloc(void* p, size_t iSize);
void ProbeFree(void* p);
void* ProbeAlignedAlloc(size_t iAlignment, size_t iSize);
int ProbePosixMemalign(void** pp, size_t iAlignment, size_t iSize);
void* ProbeNew(size_t iSize);
void* ProbeNewArray(size_t iSize);
void* ProbeNewNothrow(size_t iSize);
void* ProbeNewArrayNothrow(size_t iSize);
void* ProbeNewAligned(size_t iSize);
void* ProbeNewArrayAlignedNothrow(size_t iSize);
void ProbeDelete(void* p);
void ProbeDeleteArray(void* p);
void ProbeDeleteAligned(void* p);
void ProbeDeleteArrayAligned(void* p);
long ProbeLongString(size_t iLength);
}

namespace {

// Through a volatile pointer, so that the compiler keeps this program's own
// calls.
void* (*volatile g_pfnMalloc)(size_t) = std::malloc;

class FailingAllocator : public ::testing::Test {
protected:
    void SetUp() override {
        const char* const aszProbe[] = {"liballoc_probe.so"};
        allocsweep::SetCountedObjects(aszProbe, 1);
        allocsweep::SetReportOnFailure(false);
        allocsweep::FailNth(0);
        allocsweep::ResetCounts();
    }
    void TearDown() override {
        allocsweep::FailNth(0);
        allocsweep::ResetCounts();
        allocsweep::SetReportOnFailure(true);
    }
    static uint64_t Counted() { return allocsweep::GetCounts().qwTotal; }
};

TEST_F(FailingAllocator, CountsOnlyTheCountedObjectsCalls) {
    std::vector<void*> blocks;
    for (int i = 0; i < 3; ++i) blocks.push_back(ProbeMalloc(32));
    void* pOwn = g_pfnMalloc(32);
    std::string own(1000, 'x');  // the runtime, working for this program
    EXPECT_EQ(Counted(), 3u);
    EXPECT_EQ(allocsweep::GetCounts().aqwByObject[0], 3u);
    EXPECT_EQ(allocsweep::GetCounts().qwThroughRuntime, 0u);
    std::free(pOwn);
    for (void* p : blocks) ProbeFree(p);
}

TEST_F(FailingAllocator, NothingFailsWhenNoneIsChosen) {
    for (int i = 0; i < 100; ++i) {
        void* p = ProbeMalloc(16);
        ASSERT_NE(p, nullptr) << "call " << i + 1;
        ProbeFree(p);
    }
    EXPECT_EQ(Counted(), 100u);
    allocsweep::FailedCall call;
    EXPECT_FALSE(allocsweep::GetFailedCall(&call));
}

TEST_F(FailingAllocator, FailsExactlyTheNthCall) {
    allocsweep::FailNth(3);
    std::vector<void*> blocks;
    int iNullAt = 0;
    for (int i = 1; i <= 5; ++i) {
        errno = 0;
        void* p = ProbeMalloc(40);
        if (p == nullptr) {
            EXPECT_EQ(errno, ENOMEM);
            EXPECT_EQ(iNullAt, 0) << "a second call failed";
            iNullAt = i;
        }
        blocks.push_back(p);
    }
    EXPECT_EQ(iNullAt, 3);
    allocsweep::FailedCall call;
    ASSERT_TRUE(allocsweep::GetFailedCall(&call));
    EXPECT_EQ(call.qwNumber, 3u);
    EXPECT_STREQ(call.szKind, "malloc");
    EXPECT_EQ(call.iSize, 40u);
    ASSERT_GE(call.iFrames, 1);
    EXPECT_STREQ(call.aFrames[0].szObject, "liballoc_probe.so");
    for (void* p : blocks) ProbeFree(p);
}

TEST_F(FailingAllocator, ThisProgramsCallsDoNotAdvanceTheCount) {
    allocsweep::FailNth(2);
    void* pFirst = ProbeMalloc(8);
    void* pOwn = g_pfnMalloc(8);  // would be the second if it counted
    EXPECT_NE(pOwn, nullptr);
    EXPECT_EQ(ProbeMalloc(8), nullptr);
    std::free(pOwn);
    ProbeFree(pFirst);
}

TEST_F(FailingAllocator, CFunctionsFailWithNull) {
    allocsweep::FailNth(1);
    errno = 0;
    EXPECT_EQ(ProbeCalloc(4, 10), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    allocsweep::ResetCounts();
    EXPECT_EQ(ProbeAlignedAlloc(64, 128), nullptr);
    allocsweep::ResetCounts();
    void* p = &p;
    EXPECT_EQ(ProbePosixMemalign(&p, 64, 128), ENOMEM);
}

TEST_F(FailingAllocator, FailedReallocKeepsTheBlock) {
    char* p = static_cast<char*>(ProbeMalloc(16));
    ASSERT_NE(p, nullptr);
    std::strcpy(p, "kept as it was");
    allocsweep::FailNth(2);
    EXPECT_EQ(ProbeRealloc(p, 4096), nullptr);
    EXPECT_STREQ(p, "kept as it was");
    ProbeFree(p);
}

TEST_F(FailingAllocator, ReallocToZeroFreesAndIsNotCounted) {
    void* p = ProbeMalloc(16);
    allocsweep::FailNth(2);
    ProbeRealloc(p, 0);
    EXPECT_EQ(Counted(), 1u);
    void* pNext = ProbeMalloc(16);  // the second counted call
    EXPECT_EQ(pNext, nullptr);
}

TEST_F(FailingAllocator, ThrowingNewThrowsBadAlloc) {
    allocsweep::FailNth(1);
    EXPECT_THROW(ProbeNew(24), std::bad_alloc);
    allocsweep::ResetCounts();
    EXPECT_THROW(ProbeNewArray(24), std::bad_alloc);
    allocsweep::ResetCounts();
    EXPECT_THROW(ProbeNewAligned(24), std::bad_alloc);
    allocsweep::FailedCall call;
    ASSERT_TRUE(allocsweep::GetFailedCall(&call));
    EXPECT_STREQ(call.szKind, "operator new(align)");
}

TEST_F(FailingAllocator, NothrowNewReturnsNull) {
    allocsweep::FailNth(1);
    EXPECT_EQ(ProbeNewNothrow(24), nullptr);
    allocsweep::ResetCounts();
    EXPECT_EQ(ProbeNewArrayNothrow(24), nullptr);
    allocsweep::ResetCounts();
    EXPECT_EQ(ProbeNewArrayAlignedNothrow(24), nullptr);
}

TEST_F(FailingAllocator, EveryFormIsCountedOnce) {
    void* apBlocks[6];
    apBlocks[0] = ProbeNew(8);
    apBlocks[1] = ProbeNewArray(8);
    apBlocks[2] = ProbeNewNothrow(8);
    apBlocks[3] = ProbeNewArrayNothrow(8);
    apBlocks[4] = ProbeNewAligned(8);
    apBlocks[5] = ProbeNewArrayAlignedNothrow(8);
    void* pCalloc = ProbeCalloc(2, 8);
    void* pAligned = ProbeAlignedAlloc(64, 64);
    void* pMemalign = nullptr;
    ProbePosixMemalign(&pMemalign, 64, 64);
    void* pRealloc = ProbeRealloc(nullptr, 8);
    // Whatever the runtime's own forms call inside (operator new[] calling
    // operator new, say) is not counted again.
    EXPECT_EQ(Counted(), 10u);
    ProbeDelete(apBlocks[0]);
    ProbeDeleteArray(apBlocks[1]);
    ProbeDelete(apBlocks[2]);
    ProbeDeleteArray(apBlocks[3]);
    ProbeDeleteAligned(apBlocks[4]);
    ProbeDeleteArrayAligned(apBlocks[5]);
    for (void* p : {pCalloc, pAligned, pMemalign, pRealloc}) ProbeFree(p);
}

TEST_F(FailingAllocator, CountsWhatTheRuntimeAllocatesForTheObject) {
    EXPECT_EQ(ProbeLongString(1000), 1000);
    EXPECT_EQ(Counted(), 1u);
    EXPECT_EQ(allocsweep::GetCounts().qwThroughRuntime, 1u);

    allocsweep::ResetCounts();
    allocsweep::FailNth(1);
    EXPECT_EQ(ProbeLongString(1000), -1);
    allocsweep::FailedCall call;
    ASSERT_TRUE(allocsweep::GetFailedCall(&call));
    // The runtime's frames first, then the object that asked.
    bool bProbeFrame = false;
    for (int i = 0; i < call.iFrames; ++i) {
        if (std::strcmp(call.aFrames[i].szObject, "liballoc_probe.so") == 0) bProbeFrame = true;
    }
    EXPECT_TRUE(bProbeFrame);
    EXPECT_STRNE(call.aFrames[0].szObject, "liballoc_probe.so");
}

TEST_F(FailingAllocator, OneCallFailsAcrossThreads) {
    allocsweep::FailNth(250);
    std::vector<std::thread> threads;
    std::vector<int> nulls(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &nulls] {
            for (int i = 0; i < 100; ++i) {
                void* p = ProbeMalloc(16);
                if (p == nullptr) ++nulls[static_cast<size_t>(t)];
                ProbeFree(p);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(Counted(), 400u);
    EXPECT_EQ(nulls[0] + nulls[1] + nulls[2] + nulls[3], 1);
}

TEST_F(FailingAllocator, DescribesTheFailedCall) {
    allocsweep::FailNth(1);
    EXPECT_EQ(ProbeMalloc(40), nullptr);
    allocsweep::FailedCall call;
    ASSERT_TRUE(allocsweep::GetFailedCall(&call));
    char szText[1024];
    allocsweep::FormatFailedCall(call, szText, sizeof(szText));
    std::string text = szText;
    EXPECT_EQ(text.rfind("malloc(40) #1 in thread ", 0), 0u) << text;
    EXPECT_NE(text.find(" at liballoc_probe.so+0x"), std::string::npos) << text;
    // A short buffer gets a cut, terminated text.
    char szShort[12];
    allocsweep::FormatFailedCall(call, szShort, sizeof(szShort));
    EXPECT_EQ(std::string(szShort), text.substr(0, sizeof(szShort) - 1));
}

}  // namespace
