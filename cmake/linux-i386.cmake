# Native 32-bit Linux build (-m32) on an amd64 Debian machine with
# g++-multilib and the i386 development packages (libcurl4-openssl-dev:i386,
# libgtest-dev:i386). The binaries run on the build machine, so this is not
# a cross build: CMAKE_SYSTEM_NAME stays unset and the tests and tools are
# built and run as in the 64-bit presets.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# find_library, find_path and find_package look in /usr/lib/i386-linux-gnu,
# /usr/include/i386-linux-gnu and /usr/lib/i386-linux-gnu/cmake, and never
# pick up the amd64 copies of the same packages.
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/include/x86_64-linux-gnu
    /usr/lib/x86_64-linux-gnu/cmake/GTest)

# pkg-config (FindCURL asks it first) reads only the i386 .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
