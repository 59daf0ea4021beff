// The library's load and unload hooks. The platform calls them: on Windows
// from the DLL's entry point, elsewhere from the shared object's constructor
// and destructor functions, which run while every C++ static of the library
// still lives (static destructors, whose order across files is not fixed,
// run only afterwards). The library defines them.
#pragma once

// At load: clears the engine table.
void OnLibraryLoad();

// At unload: destroys every engine. bProcessExit: the whole process is
// ending and the system has already stopped the library's other threads, so
// nothing may wait for them.
void OnLibraryUnload(bool bProcessExit);
