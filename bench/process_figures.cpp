#include "bench/process_figures.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

namespace bench {

namespace {

std::mutex g_ownMutex;
std::set<pid_t> g_own;  // guarded by g_ownMutex

// The numeric entries of a /proc directory; the descriptor that reads
// /proc/self/fd is left out of its own listing.
std::vector<long> NumericEntries(const char* szDir) {
    std::vector<long> entries;
    DIR* pDir = opendir(szDir);
    if (pDir == nullptr) return entries;
    long iOwn = dirfd(pDir);
    bool bFdDir = std::strcmp(szDir, "/proc/self/fd") == 0;
    while (dirent* pEntry = readdir(pDir)) {
        char* pEnd = nullptr;
        long n = std::strtol(pEntry->d_name, &pEnd, 10);
        if (pEnd == pEntry->d_name || *pEnd != '\0') continue;
        if (bFdDir && n == iOwn) continue;
        entries.push_back(n);
    }
    closedir(pDir);
    return entries;
}

std::string TaskFile(pid_t tid, const char* szName) {
    return "/proc/self/task/" + std::to_string(tid) + "/" + szName;
}

int64_t TimespecNs(const timespec& ts) {
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// utime + stime of /proc/self/task/TID/stat, in nanoseconds: the fallback
// where the kernel keeps no schedstat.
bool ReadStatCpu(pid_t tid, int64_t* piNs) {
    std::ifstream in(TaskFile(tid, "stat"));
    std::string line;
    if (!std::getline(in, line)) return false;
    // The name in parentheses may hold spaces; the fields count from after it.
    size_t iClose = line.rfind(')');
    if (iClose == std::string::npos) return false;
    std::istringstream fields(line.substr(iClose + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::atoll(field.c_str());
        if (i == 15) {
            stime = std::atoll(field.c_str());
            break;
        }
    }
    *piNs = (utime + stime) * (1000000000LL / sysconf(_SC_CLK_TCK));
    return true;
}

}  // namespace

pid_t CurrentTid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void RegisterOwnThread() {
    std::lock_guard<std::mutex> lock(g_ownMutex);
    g_own.insert(CurrentTid());
}

void UnregisterOwnThread() {
    std::lock_guard<std::mutex> lock(g_ownMutex);
    g_own.erase(CurrentTid());
}

bool IsOwnThread(pid_t tid) {
    std::lock_guard<std::mutex> lock(g_ownMutex);
    return g_own.count(tid) != 0;
}

std::vector<pid_t> Tasks() {
    std::vector<pid_t> tasks;
    for (long n : NumericEntries("/proc/self/task")) tasks.push_back(static_cast<pid_t>(n));
    return tasks;
}

bool ReadTaskCost(pid_t tid, TaskCost* pCost) {
    std::ifstream status(TaskFile(tid, "status"));
    if (!status) return false;
    bool bFound = false;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            pCost->iVoluntary = std::atoll(line.c_str() + 24);
            bFound = true;
        } else if (line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
            pCost->iInvoluntary = std::atoll(line.c_str() + 27);
        }
    }
    if (!bFound) return false;
    std::ifstream schedstat(TaskFile(tid, "schedstat"));
    long long iRunNs = 0;
    if (schedstat >> iRunNs) {
        pCost->iCpuNs = iRunNs;
        return true;
    }
    return ReadStatCpu(tid, &pCost->iCpuNs);
}

std::map<pid_t, TaskCost> ForeignTaskCosts() {
    std::map<pid_t, TaskCost> costs;
    for (pid_t tid : Tasks()) {
        TaskCost cost;
        if (!IsOwnThread(tid) && ReadTaskCost(tid, &cost)) costs[tid] = cost;
    }
    return costs;
}

TaskCost CostBetween(const std::map<pid_t, TaskCost>& before,
                     const std::map<pid_t, TaskCost>& after) {
    TaskCost total;
    for (const auto& [tid, cost] : after) {
        TaskCost start;
        auto it = before.find(tid);
        if (it != before.end()) start = it->second;
        total.iCpuNs += cost.iCpuNs - start.iCpuNs;
        total.iVoluntary += cost.iVoluntary - start.iVoluntary;
        total.iInvoluntary += cost.iInvoluntary - start.iInvoluntary;
    }
    return total;
}

int64_t ProcessCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return TimespecNs(ts);
}

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return TimespecNs(ts);
}

int OpenFds() { return static_cast<int>(NumericEntries("/proc/self/fd").size()); }

int ThreadCount() { return static_cast<int>(NumericEntries("/proc/self/task").size()); }

int64_t ResidentKiB() {
    std::ifstream in("/proc/self/statm");
    long long iPages = 0, iResident = 0;
    in >> iPages >> iResident;
    return iResident * sysconf(_SC_PAGESIZE) / 1024;
}

bool InSystemCall(pid_t tid, long iNumber) {
    std::ifstream in(TaskFile(tid, "syscall"));
    long iCall = -1;
    return (in >> iCall) && iCall == iNumber;
}

int64_t ClientReceiveQueue(uint16_t wServerPort) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // the column titles
    char szWanted[16];
    std::snprintf(szWanted, sizeof(szWanted), "0100007F:%04X", wServerPort);
    int64_t iLargest = -1;
    while (std::getline(in, line)) {
        // "sl local_address rem_address st tx_queue:rx_queue ..."
        std::istringstream fields(line);
        std::string sl, local, remote, state, queues;
        if (!(fields >> sl >> local >> remote >> state >> queues)) continue;
        if (remote != szWanted || state != "01") continue;  // 01: established
        size_t iColon = queues.find(':');
        if (iColon == std::string::npos) continue;
        int64_t iReceive = std::strtoll(queues.c_str() + iColon + 1, nullptr, 16);
        if (iReceive > iLargest) iLargest = iReceive;
    }
    return iLargest;
}

}  // namespace bench
