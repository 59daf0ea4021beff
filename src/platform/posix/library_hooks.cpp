// The load and unload hooks on POSIX systems. The library's code lives in
// libVorelCore.so; the shared object that games load, libVorel.so (the front,
// library_front.cpp), calls these two as it is loaded and unloaded. Keeping
// them out of this object's own constructor and destructor lets the front
// leave this object loaded when a thread of the library could not be
// stopped: its code then stays mapped for that thread.
#include "platform/library.h"
#include "vorel/vorel_export.h"

extern "C" VOREL_API void VorelCoreLoad() { OnLibraryLoad(); }

// 1 when the front may release this object; 0 when it must stay loaded.
extern "C" VOREL_API int VorelCoreUnload() {
    if (OnLibraryUnload(false)) return 1;
    platform::MarkLibraryKeptLoaded();
    return 0;
}
