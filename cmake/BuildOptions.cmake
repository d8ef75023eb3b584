# Warnings and hardening, carried by every target through the `build_options`
# interface library. CI turns warnings into errors with
# CMAKE_COMPILE_WARNING_AS_ERROR, which maps to -Werror and /WX.

add_library(build_options INTERFACE)
target_compile_features(build_options INTERFACE cxx_std_17)

# ---- Warnings -----------------------------------------------------------------
if(MSVC)
    target_compile_options(build_options INTERFACE /W4 /permissive-)
else()
    target_compile_options(build_options INTERFACE -Wall -Wextra -Wpedantic)
endif()

# ---- Runtime: nothing that a bare Windows machine lacks ------------------------
# The MSVC and MinGW runtimes' own DLLs are not on a fresh Windows install, so
# link them in; only KERNEL32.dll and the system's msvcrt.dll stay imported.
set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
if(MINGW)
    target_link_options(build_options INTERFACE -static)
endif()

# ---- Hardening ------------------------------------------------------------------
set(optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
if(MINGW)
    # ASLR (high-entropy on 64-bit), DEP and terminal-server awareness, as the
    # MSVC linker sets them; no link time in the header, so builds repeat exactly.
    target_link_options(build_options INTERFACE
        -Wl,--dynamicbase,--nxcompat,--tsaware,--no-insert-timestamp
        $<$<EQUAL:${CMAKE_SIZEOF_VOID_P},8>:-Wl,--high-entropy-va>)
elseif(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    include(CheckPIESupported)
    check_pie_supported(LANGUAGES CXX)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    target_compile_options(build_options INTERFACE
        -fstack-protector-strong
        # Redefined, not just defined: some compilers predefine a level of their own.
        $<${optimised}:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
    if(NOT APPLE)
        target_link_options(build_options INTERFACE -Wl,-z,relro,-z,now -Wl,-z,noexecstack)
    endif()
endif()
