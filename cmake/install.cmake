# Installing the native build: the three shared objects, the public headers,
# a CMake package (Vorel::Vorel) and a pkg-config file for games, the
# reference server and the documents. Included by the top CMakeLists.txt once
# every target exists. The Windows release is an archive
# (scripts/package.sh), not an install tree.
if(WIN32)
    return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VOREL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vorel)
set(VOREL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Games link libVorel.so and record its soname, which changes with the major
# version. libVorelCore.so and libQuorvex.so keep plain names: nothing links
# them but the library itself, the front loads the core by that file name
# beside itself, and the core finds the support library beside itself too.
set_target_properties(Vorel PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
set_target_properties(VorelCore PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS Vorel EXPORT VorelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS VorelCore Quorvex LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime)

install(DIRECTORY include/vorel/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorel COMPONENT Development
        FILES_MATCHING PATTERN "*.h")
# vorel.h includes the generated version header as its neighbour.
install(FILES ${PROJECT_BINARY_DIR}/include/vorel/vorel_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorel COMPONENT Development)

# The CMake package: find_package(Vorel CONFIG) and Vorel::Vorel. Its paths
# are relative to where it lies, so the tree may be installed anywhere
# (cmake --install BUILD --prefix DIR) and moved.
install(EXPORT VorelTargets NAMESPACE Vorel:: DESTINATION ${VOREL_INSTALL_CMAKEDIR}
        COMPONENT Development)
configure_package_config_file(cmake/VorelConfig.cmake.in ${PROJECT_BINARY_DIR}/VorelConfig.cmake
                              INSTALL_DESTINATION ${VOREL_INSTALL_CMAKEDIR})
# A game that asks for a release accepts any later one of the same major
# version; a build for another pointer size is never offered.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VorelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VorelConfig.cmake ${PROJECT_BINARY_DIR}/VorelConfigVersion.cmake
        DESTINATION ${VOREL_INSTALL_CMAKEDIR} COMPONENT Development)

# The pkg-config file finds the prefix from its own place, for the same
# reason. Directories given as absolute paths are written as they are.
file(RELATIVE_PATH _vorel_pc_up ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VOREL_PC_PREFIX "\${pcfiledir}/${_vorel_pc_up}")
foreach(_dir LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
        set(VOREL_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
    else()
        set(VOREL_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
    endif()
endforeach()
configure_file(cmake/vorel.pc.in ${PROJECT_BINARY_DIR}/vorel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorel.pc DESTINATION ${VOREL_INSTALL_PKGCONFIGDIR}
        COMPONENT Development)

if(TARGET vorel-server)
    install(TARGETS vorel-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)
endif()

install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/vorel COMPONENT Documentation
        FILES_MATCHING PATTERN "*.md")

# The installed tree as a game's build sees it: installed into a temporary
# prefix, found by a small project with find_package and by a compiler
# command with pkg-config, and run against the installed objects only. The
# consumer is built with this build's compiler and flags (-m32, the
# sanitizers), as a program using instrumented libraries must be.
if(VOREL_BUILD_TESTS AND NOT CMAKE_CROSSCOMPILING)
    set(_vorel_consumer_flags "${CMAKE_C_FLAGS}")
    if(VOREL_SANITIZE)
        string(REPLACE ";" "," _vorel_consumer_san "${VOREL_SANITIZE}")
        string(APPEND _vorel_consumer_flags " -fsanitize=${_vorel_consumer_san} -fno-omit-frame-pointer")
    endif()
    string(STRIP "${_vorel_consumer_flags}" _vorel_consumer_flags)
    add_test(NAME install_consumer
             COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/install-test.sh
                     --build ${PROJECT_BINARY_DIR} --source ${PROJECT_SOURCE_DIR}
                     --libdir ${CMAKE_INSTALL_LIBDIR} --includedir ${CMAKE_INSTALL_INCLUDEDIR}
                     --bindir ${CMAKE_INSTALL_BINDIR} --version ${PROJECT_VERSION}
                     --cc ${CMAKE_C_COMPILER} --cxx ${CMAKE_CXX_COMPILER}
                     --flags "${_vorel_consumer_flags}")
    set_tests_properties(install_consumer PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77 LABELS install)
endif()
