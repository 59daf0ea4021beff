// Zero-filled heap blocks for the library's records. Tests can make them
// fail (base/testing.h): the requests' -4, -5 and -7 results and the
// answers' storage failures cannot be reached otherwise.
#pragma once

#include <cstddef>

// calloc(1, iSize): a zero-filled block, or null.
void* ZeroAlloc(size_t iSize);
void ZeroFree(void* p);
