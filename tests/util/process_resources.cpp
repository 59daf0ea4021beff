#include "util/process_resources.h"

#include <dirent.h>
#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VOREL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VOREL_TEST_SANITIZED 1
#endif
#endif

namespace testutil {
namespace {

// Entries of a directory, "." and ".." left out; the descriptor that the
// walk itself holds is counted alike in every measurement.
int CountEntries(const char* szDir) {
    DIR* pDir = opendir(szDir);
    if (pDir == nullptr) return -1;
    int iCount = 0;
    while (dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] != '.') ++iCount;
    }
    closedir(pDir);
    return iCount;
}

// The descriptors open on the file szPath names, in ascending order.
std::vector<int> DescriptorsOn(const std::string& path) {
    std::vector<int> fds;
    struct stat target;
    if (stat(path.c_str(), &target) != 0) return fds;
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr) return fds;
    while (dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.') continue;
        struct stat st;
        std::string link = std::string("/proc/self/fd/") + pEntry->d_name;
        if (stat(link.c_str(), &st) == 0 && st.st_dev == target.st_dev &&
            st.st_ino == target.st_ino) {
            fds.push_back(std::atoi(pEntry->d_name));
        }
    }
    closedir(pDir);
    std::sort(fds.begin(), fds.end());
    return fds;
}

}  // namespace

int DescriptorsOnFile(const std::string& path) {
    return static_cast<int>(DescriptorsOn(path).size());
}

int FirstDescriptorOnFile(const std::string& path) {
    std::vector<int> fds = DescriptorsOn(path);
    return fds.empty() ? -1 : fds.front();
}

bool HeapMeasurable() {
#ifdef VOREL_TEST_SANITIZED
    return false;
#else
    return true;
#endif
}

bool UseOneMallocArena() {
#ifdef VOREL_TEST_SANITIZED
    return false;
#else
    return mallopt(M_ARENA_MAX, 1) == 1;
#endif
}

ProcessResources MeasureProcessResources() {
    ProcessResources resources;
    resources.iOpenFds = CountEntries("/proc/self/fd");
    resources.iThreads = CountEntries("/proc/self/task");
    if (HeapMeasurable()) {
        struct mallinfo2 info = mallinfo2();
        resources.iHeapBytes = static_cast<int64_t>(info.uordblks + info.hblkhd);
    }
    return resources;
}

std::string ProcessResources::Describe() const {
    return std::to_string(iOpenFds) + " descriptors, " + std::to_string(iThreads) + " threads, " +
           (iHeapBytes >= 0 ? std::to_string(iHeapBytes) + " heap bytes" : "heap not measured");
}

}  // namespace testutil
