// The load and unload hooks of the shared object. dlopen runs the first,
// dlclose (or the end of the process) the second, before the C++ statics of
// the library are destroyed.
#include "platform/library.h"

__attribute__((constructor)) static void VorelLibraryLoad() { OnLibraryLoad(); }

__attribute__((destructor)) static void VorelLibraryUnload() { OnLibraryUnload(false); }
