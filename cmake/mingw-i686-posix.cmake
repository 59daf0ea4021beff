# Cross build for 32-bit Windows with Debian's MinGW-w64, posix thread
# model: its standard library has std::thread and std::mutex, which the
# reference server uses (the library itself needs neither and ships from the
# win32-model build of mingw-i686.cmake). Programs link statically, so
# that no libwinpthread, libstdc++ or libgcc DLL has to travel with them,
# and stripped: the static runtime brings its debugging sections along.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s")
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
