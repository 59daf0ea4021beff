// The base layer's test seams (the scheme is described in platform/testing.h).
#pragma once

namespace vorel_testing {

// Allocation (alloc.h): the next iSkip ZeroAlloc calls succeed, then iCount
// fail; 0, 0 switches it off. The requests' -4, -5 and -7 results and the
// answers' storage failures cannot be reached otherwise.
void FailAllocations(int iSkip, int iCount);

// Allocation (alloc.h): pfnObserver runs at the start of every ZeroFree, on
// the freeing thread (null: none), so that tests see where blocks are freed,
// e.g. under which lock.
void ObserveFrees(void (*pfnObserver)());

// The log file (log_file.h): every line goes to szPath instead of
// "GameRun.log"; null restores it. The string must outlive its use.
void SetLogFile(const char* szPath);

// The configuration file (server_address.h): the reader reads szPath
// instead of serverConfigs.ini beside the executable; the path is taken as
// already worked out. Tests write their own file.
void SetConfigPath(const char* szPath);

}  // namespace vorel_testing
