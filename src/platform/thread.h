// Threads: create, ask whether one still runs (the exit code 259 meaning),
// release the handle, and wait for the end with a bound.
//
// No thread is ever killed. Stopping is cooperative: the owner asks the
// thread to stop through its own flags, unblocks it (closing its socket, for
// instance) and then waits with ThreadWaitEnd. A thread announces its end as
// the last act of its routine, before the system has finished the thread, so
// a waiter never needs anything that the dying thread may still hold (on
// Windows the loader lock, which an unload hook runs under).
#pragma once

#include <cstdint>

namespace platform {

// The thread routine: takes the argument given to ThreadCreate and returns
// the thread's exit code.
using ThreadRoutine = uint32_t (*)(void* pArg);

// What the exit-code query reports while the thread runs (STILL_ACTIVE).
constexpr uint32_t kStillActive = 259;

// A handle to a thread. The handle and the running thread share one record;
// closing the handle does not touch the thread, which runs on untracked.
struct ThreadHandle;

// Starts `routine(pArg)` at once with the default stack size. Returns null
// when the system refuses a new thread.
ThreadHandle* ThreadCreate(ThreadRoutine routine, void* pArg);

// GetExitCodeThread: true and *pdwCode = kStillActive while the routine has
// not returned, else its exit code. False for a null handle.
bool ThreadGetExitCode(ThreadHandle* hThread, uint32_t* pdwCode);

// Waits until the routine has returned, at most dwTimeoutMs. True when it
// has (at once for a routine that had already returned).
bool ThreadWaitEnd(ThreadHandle* hThread, uint32_t dwTimeoutMs);

// CloseHandle: releases the handle. Null is ignored.
void ThreadClose(ThreadHandle* hThread);

// Number of threads started through ThreadCreate whose routine has not yet
// returned, whether or not their handles are still held. Lets shutdown wait
// for threads it holds no handle for.
int ThreadsRunning();

// Waits until ThreadsRunning() is at most `iCount`, for at most dwTimeoutMs.
bool ThreadsWaitRunningAtMost(int iCount, uint32_t dwTimeoutMs);

// Small integer identifying the calling thread, for log lines and checks.
uint32_t CurrentThreadId();

}  // namespace platform
