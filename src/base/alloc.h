// Zero-filled heap blocks for the library's records, with a switch that lets
// tests make allocations fail (the requests' -4, -5 and -7 results and the
// answers' storage failures cannot be reached otherwise).
#pragma once

#include <cstddef>

// calloc(1, iSize): a zero-filled block, or null.
void* ZeroAlloc(size_t iSize);
void ZeroFree(void* p);

namespace vorel_testing {

// The next iSkip allocations succeed, then iCount fail; 0, 0 switches it off.
void FailAllocations(int iSkip, int iCount);

// pfnObserver runs at the start of every ZeroFree (null: none), on the
// freeing thread: tests see where blocks are freed, e.g. under which lock.
void ObserveFrees(void (*pfnObserver)());

}  // namespace vorel_testing
