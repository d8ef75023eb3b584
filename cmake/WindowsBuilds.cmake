# Where the MinGW-w64 cross compiler is installed, the native build also builds
# the Windows program, as a sub-build of this same source tree with its
# toolchain file, so that the tests can check and run it. The sub-build also
# makes the test-only Windows programs that the tests run under wine64.
# Sets windows_hello and windows_release_check to their paths, or to "" where
# the cross compiler is missing.

include(ExternalProject)
set(windows_hello "")
set(windows_release_check "")

find_program(i686-w64-mingw32_cxx i686-w64-mingw32-g++)
if(NOT i686-w64-mingw32_cxx)
    message(STATUS "No i686-w64-mingw32-g++: the Windows program is not built")
    return()
endif()

if(CMAKE_COMPILE_WARNING_AS_ERROR)
    set(windows_warnings_as_errors ON)
else()
    set(windows_warnings_as_errors OFF)
endif()

set(binary_dir ${CMAKE_BINARY_DIR}/windows-x86)
set(windows_hello ${binary_dir}/src/hello.exe)
set(windows_release_check ${binary_dir}/tests/windows/release_check.exe)
ExternalProject_Add(windows-x86
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${binary_dir}
    CMAKE_ARGS
        --toolchain ${PROJECT_SOURCE_DIR}/cmake/i686-w64-mingw32.cmake
        -DCMAKE_BUILD_TYPE=Release
        -DBUILD_TESTING=OFF
        -DCMAKE_COMPILE_WARNING_AS_ERROR=${windows_warnings_as_errors}
        -DHELLO_WINDOWS_TEST_TOOLS=ON
    BUILD_ALWAYS ON # the sources are ours: let the sub-build decide what changed
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${windows_hello} ${windows_release_check})
