#include "base/log_file.h"

#include <atomic>

#include "base/testing.h"

namespace {

std::atomic<const char*> g_szLogFile{"GameRun.log"};

}  // namespace

const char* LogFile() { return g_szLogFile.load(std::memory_order_acquire); }

namespace vorel_testing {

void SetLogFile(const char* szPath) {
    g_szLogFile.store(szPath != nullptr ? szPath : "GameRun.log", std::memory_order_release);
}

}  // namespace vorel_testing
