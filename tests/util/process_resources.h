// What the process holds right now: open descriptors, threads and heap, so
// that a test can tell whether everything it made the library take was
// given back.
#pragma once

#include <cstdint>
#include <string>

namespace testutil {

struct ProcessResources {
    int iOpenFds = 0;         // entries of /proc/self/fd
    int iThreads = 0;         // entries of /proc/self/task
    int64_t iHeapBytes = -1;  // bytes allocated through malloc; -1 when not measurable

    std::string Describe() const;
};

ProcessResources MeasureProcessResources();

// Whether iHeapBytes means anything in this build: not under a sanitizer,
// whose allocator malloc's statistics do not see.
bool HeapMeasurable();

// malloc's statistics cover only its main arena (and the blocks it maps);
// with one arena for every thread they cover the whole heap. Call before
// the process starts threads, from a static initializer of the test.
bool UseOneMallocArena();

// The descriptors of this process open on the file that szPath names (by
// device and inode, so a renamed file still counts): how many, and the
// lowest of them (-1 when none).
int DescriptorsOnFile(const std::string& path);
int FirstDescriptorOnFile(const std::string& path);

}  // namespace testutil
