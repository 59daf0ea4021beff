// The engine record's own operations: the session buffers freed.
#include <gtest/gtest.h>

#include "base/alloc.h"
#include "base/testing.h"
#include "session/engine.h"

namespace {

int g_iFrees = 0;
void CountFree() { ++g_iFrees; }

TEST(EngineRecord, SessionBuffersAreFreedOnceAndForgotten) {
    ClientEngine engine;
    engine.pReadBuf = static_cast<char*>(ZeroAlloc(64));
    engine.pWriteBuf = static_cast<char*>(ZeroAlloc(64));
    g_iFrees = 0;
    vorel_testing::ObserveFrees(CountFree);
    engine.FreeSessionBuffers();
    EXPECT_EQ(g_iFrees, 2);
    EXPECT_EQ(engine.pReadBuf, nullptr);
    EXPECT_EQ(engine.pWriteBuf, nullptr);

    // One of them missing (the other's allocation failed), then neither:
    // nothing is freed twice (the sanitizer builds would say).
    engine.pWriteBuf = static_cast<char*>(ZeroAlloc(64));
    engine.FreeSessionBuffers();
    EXPECT_EQ(engine.pWriteBuf, nullptr);
    engine.FreeSessionBuffers();
    vorel_testing::ObserveFrees(nullptr);
    EXPECT_EQ(engine.pReadBuf, nullptr);
    EXPECT_EQ(engine.pWriteBuf, nullptr);
}

}  // namespace
