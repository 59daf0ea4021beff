# The Windows build's programs for the suite under Wine
# (tests/windows/run-wine-tests.sh), beside the test hosts of CMakeLists.txt:
# the examples built as a game's own build would build them, with MinGW-w64
# against libVorel.dll.a and with Visual Studio's ABI (clang-cl and lld-link,
# /SAFESEH) against Vorel.lib; the public header compiled in every order and
# language; and a reader of the DLLs' version resources.

# ---- MinGW-w64 ----------------------------------------------------------------
foreach(_lang c cpp)
    if(_lang STREQUAL "c")
        set(_source examples/c_game/game.c)
    else()
        set(_source examples/cpp_game/game.cpp)
    endif()
    add_executable(vorel-example-${_lang} ${_source})
    target_include_directories(vorel-example-${_lang} PRIVATE include)
    target_link_libraries(vorel-example-${_lang} PRIVATE ${VOREL_IMPORT_DIR}/libVorel.dll.a)
    target_compile_options(vorel-example-${_lang} PRIVATE -pedantic -Werror)
    add_dependencies(vorel-example-${_lang} vorel_import_libs Vorel Quorvex)
endforeach()
set_target_properties(vorel-example-c PROPERTIES C_STANDARD 11 C_EXTENSIONS OFF)

add_executable(vorel-version-check tests/windows/version_check.cpp)
target_link_libraries(vorel-version-check PRIVATE version)

# vorel.h as C11 and C++17, alone and in each order with the Windows headers,
# with and without STRICT; compiled only, any warning an error.
foreach(_order 0 1 2 3)
    foreach(_strict STRICT NO_STRICT)
        foreach(_lang c cpp)
            set(_target vorel-header-check-${_lang}-${_order}-${_strict})
            add_library(${_target} OBJECT tests/windows/header_check.${_lang})
            target_include_directories(${_target} PRIVATE include)
            target_compile_definitions(${_target} PRIVATE VOREL_ORDER=${_order} ${_strict})
            target_compile_options(${_target} PRIVATE -pedantic -Werror)
            set_target_properties(${_target} PROPERTIES C_STANDARD 11 C_EXTENSIONS OFF)
            add_dependencies(vorel_import_libs ${_target})
        endforeach()
    endforeach()
endforeach()

# ---- Visual Studio's ABI: clang-cl and lld-link ---------------------------------
# Debian has no Windows SDK or Visual Studio runtime. The test programs take
# the SDK's headers from MinGW-w64 (read in their GNU mode, which is the mode
# they are written for; the objects are still MSVC-ABI objects), and import
# libraries for the few system functions they call are made here from
# tests/windows/msvc/*.def, with crt0.c as the runtime's start-up code.
# link_all.c includes only vorel.h, so it is compiled in clang-cl's own
# MSVC mode, as C and as C++ (/permissive-), with /Gz (__stdcall by
# default), every warning an error.
find_program(VOREL_CLANG_CL NAMES clang-cl clang-cl-14 REQUIRED)
find_program(VOREL_LLD_LINK NAMES lld-link lld-link-14 REQUIRED)
set(_msvc ${CMAKE_BINARY_DIR}/msvc)
file(MAKE_DIRECTORY ${_msvc})
set(_cl ${VOREL_CLANG_CL} --target=i686-pc-windows-msvc /nologo /c /GS- /W4 /WX -Wextra
        -I${CMAKE_SOURCE_DIR}/include -I${PROJECT_BINARY_DIR}/include/vorel)
set(_cl_sdk ${_cl} /U_MSC_VER -Xclang -fgnuc-version=4.2.1 -D_X86_ -D__USE_MINGW_ANSI_STDIO=0
            -imsvc /usr/share/mingw-w64/include)
set(_link ${VOREL_LLD_LINK} /nologo /safeseh /subsystem:console /entry:mainCRTStartup /nodefaultlib)
set(_system_libs ${_msvc}/kernel32.lib ${_msvc}/user32.lib ${_msvc}/msvcrt.lib)
set(_msvc_dir ${CMAKE_SOURCE_DIR}/tests/windows/msvc)
add_custom_command(
    OUTPUT ${_system_libs} ${_msvc}/crt0.obj
    COMMAND ${VOREL_LLVM_DLLTOOL} -m i386 -k -d ${_msvc_dir}/kernel32.def -l kernel32.lib
    COMMAND ${VOREL_LLVM_DLLTOOL} -m i386 -k -d ${_msvc_dir}/user32.def -l user32.lib
    COMMAND ${VOREL_LLVM_DLLTOOL} -m i386 -d ${_msvc_dir}/msvcrt.def -l msvcrt.lib
    COMMAND ${_cl} /Focrt0.obj -- ${_msvc_dir}/crt0.c
    WORKING_DIRECTORY ${_msvc}
    DEPENDS ${_msvc_dir}/kernel32.def ${_msvc_dir}/user32.def ${_msvc_dir}/msvcrt.def
            ${_msvc_dir}/crt0.c
    COMMENT "MSVC-ABI start-up code and system import libraries")

# vorel_msvc_program(NAME SOURCE FLAGS...): NAME.exe from one source file.
function(vorel_msvc_program name source)
    add_custom_command(
        OUTPUT ${_msvc}/${name}.exe
        COMMAND ${ARGN} /Fo${name}.obj -- ${source}
        COMMAND ${_link} ${name}.obj crt0.obj ${VOREL_IMPORT_DIR}/Vorel.lib ${_system_libs}
                /out:${name}.exe
        WORKING_DIRECTORY ${_msvc}
        DEPENDS ${source} ${_system_libs} ${_msvc}/crt0.obj ${VOREL_IMPORT_DIR}/Vorel.lib
                ${CMAKE_SOURCE_DIR}/include/vorel/vorel.h ${CMAKE_SOURCE_DIR}/include/vorel/vorel_export.h
        COMMENT "MSVC-ABI ${name}.exe"
        VERBATIM)
    set(_msvc_programs ${_msvc_programs} ${_msvc}/${name}.exe PARENT_SCOPE)
endfunction()
set(_msvc_programs)
vorel_msvc_program(msvc-link-all-c ${_msvc_dir}/link_all.c ${_cl} /Gz /TC /clang:-pedantic)
vorel_msvc_program(msvc-link-all-cpp ${_msvc_dir}/link_all.c ${_cl} /Gz /TP /permissive- /clang:-pedantic)
vorel_msvc_program(msvc-example-c ${CMAKE_SOURCE_DIR}/examples/c_game/game.c ${_cl_sdk} /TC)
vorel_msvc_program(msvc-example-cpp ${CMAKE_SOURCE_DIR}/examples/cpp_game/game.cpp ${_cl_sdk} /TP
                   /EHs-c- /GR-)
add_custom_target(vorel_msvc_programs ALL DEPENDS ${_msvc_programs})
add_dependencies(vorel_msvc_programs vorel_import_libs)
