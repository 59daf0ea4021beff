// What the benchmark reads about its own process from /proc: threads and
// what each has cost (CPU, context switches), open descriptors, resident
// size, and which system call a thread is blocked in.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace bench {

// The calling thread's id (gettid).
pid_t CurrentTid();

// The benchmark's own threads, so that every other thread of the process
// can be counted as the library's. Each thread of the benchmark registers
// itself as it starts; OwnThread does it for the lifetime of a scope.
void RegisterOwnThread();
void UnregisterOwnThread();
bool IsOwnThread(pid_t tid);
struct OwnThread {
    OwnThread() { RegisterOwnThread(); }
    ~OwnThread() { UnregisterOwnThread(); }
    OwnThread(const OwnThread&) = delete;
    OwnThread& operator=(const OwnThread&) = delete;
};

// The ids of the process's threads (/proc/self/task).
std::vector<pid_t> Tasks();

// What one thread has cost so far.
struct TaskCost {
    int64_t iCpuNs = 0;        // time on a CPU (schedstat; stat's ticks where it is missing)
    int64_t iVoluntary = 0;    // context switches: the thread waited (a sleep, a poll, a lock)
    int64_t iInvoluntary = 0;  // context switches: the thread was preempted
};
// False when the thread has ended meanwhile.
bool ReadTaskCost(pid_t tid, TaskCost* pCost);

// The cost of every thread not registered as the benchmark's, by id.
std::map<pid_t, TaskCost> ForeignTaskCosts();

// What the threads of `after` cost since `before`; a thread that is only in
// `after` counts from zero, one that has ended is lost with its cost.
TaskCost CostBetween(const std::map<pid_t, TaskCost>& before,
                     const std::map<pid_t, TaskCost>& after);

// CPU time of the whole process (CLOCK_PROCESS_CPUTIME_ID).
int64_t ProcessCpuNs();

// Monotonic time in nanoseconds.
int64_t NowNs();

int OpenFds();
int ThreadCount();
int64_t ResidentKiB();

// Whether the thread is blocked in (or running) the system call iNumber,
// from /proc/self/task/TID/syscall.
bool InSystemCall(pid_t tid, long iNumber);

// The receive queue of the TCP connection from this machine to 127.0.0.1
// port wServerPort (/proc/net/tcp), in bytes; -1 when there is none. With
// several such connections, the largest.
int64_t ClientReceiveQueue(uint16_t wServerPort);

}  // namespace bench
