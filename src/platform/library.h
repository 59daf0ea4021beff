// The library's load and unload hooks. The platform calls them: on Windows
// from the DLL's entry point; on other systems the shared object the game
// loads calls them as it is loaded and unloaded, while the library's code
// itself lives in a second shared object beside it. The library defines
// them.
#pragma once

#include <new>

// At load: clears the engine table.
void OnLibraryLoad();

// At unload: destroys every engine. bProcessExit: the whole process is
// ending and the system has already stopped the library's other threads, so
// nothing may wait for them. Returns false when a thread of the library is
// still running at the unload's bound: the library's code must then stay
// mapped (the platform keeps it loaded) and nothing that thread can touch
// may be released.
bool OnLibraryUnload(bool bProcessExit);

namespace platform {

// Recorded when an unload leaves the library loaded for threads that still
// run; from then on the objects below outlive the unload.
void MarkLibraryKeptLoaded();
bool LibraryKeptLoaded();

// A static object of the library that a library kept loaded never
// destroys: threads that outlived the unload may still use it.
template <class T>
class UnloadSafe {
public:
    UnloadSafe() { new (storage_) T(); }
    ~UnloadSafe() {
        if (!LibraryKeptLoaded()) Get().~T();
    }
    UnloadSafe(const UnloadSafe&) = delete;
    UnloadSafe& operator=(const UnloadSafe&) = delete;
    T& Get() { return *reinterpret_cast<T*>(storage_); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace platform
