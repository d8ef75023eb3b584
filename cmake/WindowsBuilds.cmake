# Where the MinGW-w64 cross compilers are installed, the native build also
# builds the Windows programs, each as a sub-build of this same source tree with
# its toolchain file, so that the tests can check and run them.
# Sets windows_x86_hello and windows_x64_hello to the programs' paths, or to ""
# where a cross compiler is missing; the x64 sub-build also makes the test-only
# windows_resource_probe.

include(ExternalProject)
set(windows_resource_probe "")

if(CMAKE_COMPILE_WARNING_AS_ERROR)
    set(windows_warnings_as_errors ON)
else()
    set(windows_warnings_as_errors OFF)
endif()

foreach(arch IN ITEMS x86 x64)
    if(arch STREQUAL "x86")
        set(triple i686-w64-mingw32)
    else()
        set(triple x86_64-w64-mingw32)
    endif()
    set(windows_${arch}_hello "")

    find_program(${triple}_cxx ${triple}-g++)
    if(NOT ${triple}_cxx)
        message(STATUS "No ${triple}-g++: the Windows ${arch} program is not built")
        continue()
    endif()

    set(binary_dir ${CMAKE_BINARY_DIR}/windows-${arch})
    set(byproducts ${binary_dir}/src/hello.exe)
    set(test_tools OFF)
    if(arch STREQUAL "x64")
        set(test_tools ON)
        set(windows_resource_probe ${binary_dir}/tests/windows/resource_probe.exe)
        list(APPEND byproducts ${windows_resource_probe})
    endif()
    ExternalProject_Add(windows-${arch}
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${binary_dir}
        CMAKE_ARGS
            --toolchain ${PROJECT_SOURCE_DIR}/cmake/${triple}.cmake
            -DCMAKE_BUILD_TYPE=Release
            -DBUILD_TESTING=OFF
            -DCMAKE_COMPILE_WARNING_AS_ERROR=${windows_warnings_as_errors}
            -DHELLO_WINDOWS_TEST_TOOLS=${test_tools}
        BUILD_ALWAYS ON # the sources are ours: let the sub-build decide what changed
        INSTALL_COMMAND ""
        BUILD_BYPRODUCTS ${byproducts})
    set(windows_${arch}_hello ${binary_dir}/src/hello.exe)
endforeach()
