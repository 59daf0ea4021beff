// The connection's own operations: the session buffers freed.
#include "session/connection.h"

#include <gtest/gtest.h>

#include "base/alloc.h"
#include "base/testing.h"

namespace {

int g_iFrees = 0;
void CountFree() { ++g_iFrees; }

TEST(Connection, SessionBuffersAreFreedOnceAndForgotten) {
    Connection connection;
    connection.pReadBuf = static_cast<char*>(ZeroAlloc(64));
    connection.pWriteBuf = static_cast<char*>(ZeroAlloc(64));
    g_iFrees = 0;
    vorel_testing::ObserveFrees(CountFree);
    connection.FreeSessionBuffers();
    EXPECT_EQ(g_iFrees, 2);
    EXPECT_EQ(connection.pReadBuf, nullptr);
    EXPECT_EQ(connection.pWriteBuf, nullptr);

    // One of them missing (the other's allocation failed), then neither:
    // nothing is freed twice (the sanitizer builds would say).
    connection.pWriteBuf = static_cast<char*>(ZeroAlloc(64));
    connection.FreeSessionBuffers();
    EXPECT_EQ(connection.pWriteBuf, nullptr);
    connection.FreeSessionBuffers();
    vorel_testing::ObserveFrees(nullptr);
    EXPECT_EQ(connection.pReadBuf, nullptr);
    EXPECT_EQ(connection.pWriteBuf, nullptr);
}

}  // namespace
