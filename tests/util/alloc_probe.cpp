// liballoc_probe.so: a shared object that allocates on request, standing for
// the library in the tests of the failing allocator (alloc_sweep_test.cpp).
// Each function makes exactly the allocations its name says, from this
// object's own code, except ProbeLongString, whose allocations the C++
// runtime makes on its behalf.
#include <cstdlib>
#include <new>
#include <string>

#define PROBE_API extern "C" __attribute__((visibility("default")))

PROBE_API void* ProbeMalloc(size_t iSize) { return std::malloc(iSize); }
PROBE_API void* ProbeCalloc(size_t iCount, size_t iSize) { return std::calloc(iCount, iSize); }
PROBE_API void* ProbeRealloc(void* p, size_t iSize) { return std::realloc(p, iSize); }
PROBE_API void ProbeFree(void* p) { std::free(p); }

PROBE_API void* ProbeAlignedAlloc(size_t iAlignment, size_t iSize) {
    return aligned_alloc(iAlignment, iSize);
}
PROBE_API int ProbePosixMemalign(void** pp, size_t iAlignment, size_t iSize) {
    return posix_memalign(pp, iAlignment, iSize);
}

// The forms of operator new; the throwing ones let std::bad_alloc pass.
PROBE_API void* ProbeNew(size_t iSize) { return ::operator new(iSize); }
PROBE_API void* ProbeNewArray(size_t iSize) { return ::operator new[](iSize); }
PROBE_API void* ProbeNewNothrow(size_t iSize) { return ::operator new(iSize, std::nothrow); }
PROBE_API void* ProbeNewArrayNothrow(size_t iSize) { return ::operator new[](iSize, std::nothrow); }
PROBE_API void* ProbeNewAligned(size_t iSize) {
    return ::operator new (iSize, std::align_val_t{64});
}
PROBE_API void* ProbeNewArrayAlignedNothrow(size_t iSize) {
    return ::operator new[](iSize, std::align_val_t{64}, std::nothrow);
}
PROBE_API void ProbeDelete(void* p) { ::operator delete(p); }
PROBE_API void ProbeDeleteArray(void* p) { ::operator delete[](p); }
PROBE_API void ProbeDeleteAligned(void* p) { ::operator delete (p, std::align_val_t{64}); }
PROBE_API void ProbeDeleteArrayAligned(void* p) { ::operator delete[](p, std::align_val_t{64}); }

// Room for iLength characters in a string, allocated by the C++ runtime's
// own code (std::string for char is instantiated in the runtime, and
// reserve is not inline): the capacity, or -1 when the allocation failed.
PROBE_API long ProbeLongString(size_t iLength) {
    try {
        std::string text;
        text.reserve(iLength);
        return static_cast<long>(text.capacity());
    } catch (const std::bad_alloc&) {
        return -1;
    }
}
