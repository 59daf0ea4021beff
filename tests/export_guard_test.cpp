// The frame of the exports: what an export answers when its engine cannot
// be had or an exception ends it, and the count of calls in progress that
// shutdown waits for.
#include "frame/export_guard.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "frame/testing.h"
#include "session/engine.h"
#include "vorel/vorel.h"
#include "vorel/vorel_window.h"

namespace {

ClientEngine* g_pEngine = nullptr;
int g_iEngineCalls = 0;
int32_t g_iCountedInGetter = -1;

ClientEngine* TheEngine() {
    ++g_iEngineCalls;
    g_iCountedInGetter = g_iExportCalls.load();
    return g_pEngine;
}
ClientEngine* NoEngine() {
    ++g_iEngineCalls;
    return nullptr;
}
ClientEngine* EngineThatThrows() { throw std::bad_alloc(); }

class ExportGuard : public ::testing::Test {
protected:
    void SetUp() override {
        g_pEngine = &engine_;
        g_iEngineCalls = 0;
        g_iCountedInGetter = -1;
    }
    void TearDown() override {
        g_pEngine = nullptr;
        EXPECT_EQ(g_iExportCalls.load(), 0) << "a call was left counted";
    }
    ClientEngine engine_;
};

TEST_F(ExportGuard, TheBodyGetsTheEngineAndItsResultGoesOutCounted) {
    int32_t iCountedInBody = -1;
    ClientEngine* pSeen = nullptr;
    int iResult = EngineExport(TheEngine, -9, [&](ClientEngine& engine) {
        pSeen = &engine;
        iCountedInBody = g_iExportCalls.load();
        return 7;
    });
    EXPECT_EQ(iResult, 7);
    EXPECT_EQ(pSeen, &engine_);
    EXPECT_EQ(g_iEngineCalls, 1);
    EXPECT_EQ(g_iCountedInGetter, 1) << "the engine is fetched inside the counted call";
    EXPECT_EQ(iCountedInBody, 1);
    EXPECT_EQ(g_iExportCalls.load(), 0);
    // Results that look like failures pass through as they are.
    EXPECT_EQ(EngineExport(TheEngine, -9, [](ClientEngine&) { return 0; }), 0);
    EXPECT_EQ(EngineExport(TheEngine, 0, [](ClientEngine&) { return -9; }), -9);
}

TEST_F(ExportGuard, WithoutAnEngineTheFailureValueAndNoBody) {
    bool bRan = false;
    auto body = [&bRan](ClientEngine&) {
        bRan = true;
        return 1;
    };
    EXPECT_EQ(EngineExport(NoEngine, -9, body), -9);
    EXPECT_EQ(EngineExport(NoEngine, 0, body), 0);
    EXPECT_FALSE(bRan);
    EXPECT_EQ(g_iEngineCalls, 2);
}

TEST_F(ExportGuard, AnExceptionAnywhereGivesTheFailureValueAndUncounts) {
    EXPECT_EQ(
        EngineExport(TheEngine, -9, [](ClientEngine&) -> int { throw std::runtime_error("body"); }),
        -9);
    EXPECT_EQ(g_iExportCalls.load(), 0);
    EXPECT_EQ(EngineExport(TheEngine, 0, [](ClientEngine&) -> int { throw 5; }), 0);
    EXPECT_EQ(EngineExport(EngineThatThrows, -9, [](ClientEngine&) { return 1; }), -9);
    EXPECT_EQ(g_iExportCalls.load(), 0);
}

TEST_F(ExportGuard, AGuardedExportIsNotCountedAndTurnsExceptionsIntoItsValue) {
    int32_t iCounted = -1;
    EXPECT_EQ(GuardedExport(1,
                            [&iCounted] {
                                iCounted = g_iExportCalls.load();
                                return 0;
                            }),
              0);
    EXPECT_EQ(iCounted, 0) << "the plain guard counts nothing";
    EXPECT_EQ(GuardedExport(1, []() -> int { throw std::bad_alloc(); }), 1);
    EXPECT_EQ(GuardedExport(-9, []() -> int { throw std::runtime_error("x"); }), -9);
    EXPECT_EQ(GuardedExport(-9, [] { return 6; }), 6);
    // The download exports need no engine, but the unload still waits for
    // them to leave.
    EXPECT_EQ(CountedExport(1,
                            [&iCounted] {
                                iCounted = g_iExportCalls.load();
                                return 0;
                            }),
              0);
    EXPECT_EQ(iCounted, 1);
    EXPECT_EQ(CountedExport(1, []() -> int { throw std::bad_alloc(); }), 1);
}

// Each export's own answer when an exception ends it, whatever it is: the
// guard meets the exception before the export's work begins.
TEST_F(ExportGuard, EachExportGivesItsOwnAnswerWhenAnExceptionEndsIt) {
    char szText[] = "300 1 x";
    char szBuffer[256];
    int iType = 0;
    const struct {
        const char* szExport;
        int (*pfnCall)(char*, char*, int*);
        int iAnswer;
    } cases[] = {
        {"Write_Message1", [](char* t, char*, int*) { return Write_Message1(300, t, 0); }, -9},
        {"Read_Message1", [](char*, char* b, int*) { return Read_Message1(300, b, 256, 0, 1); },
         -9},
        {"Read_Message2", [](char*, char* b, int* p) { return Read_Message2(p, b, 256, 0, 0); },
         -9},
        {"DownloadFile", [](char* t, char*, int*) { return DownloadFile(t, t); }, -9},
        {"Download_File_EX", [](char* t, char*, int*) { return Download_File_EX(t, t); }, 1},
        {"init", [](char* t, char*, int*) { return init(t, 1); }, -9},
        {"SetMessageWnd", [](char*, char*, int*) { return SetMessageWnd(nullptr); }, 0},
    };
    for (const auto& c : cases) {
        vorel_testing::ThrowInNextExport();
        EXPECT_EQ(c.pfnCall(szText, szBuffer, &iType), c.iAnswer) << c.szExport;
    }
    // The exception met one call only: the next goes on as usual (a text
    // that is no address is refused as one, without an engine).
    EXPECT_EQ(DownloadFile(szText, szText), 6);
}

}  // namespace
