# cmake -D MAP=<hello.map> -D TEMPLATE=<notices.in> -D NOTICES=<out> -D FACTS=<out>
#       -D VERSION=<version> -P ThirdParty.cmake
# Run after hello.exe is linked. What the linker took, as its map records it,
# is the one source of what the release says it carries: this writes the
# third-party notices (the files of each component filled into TEMPLATE) and
# FACTS, the same components as CMake variables, for the bill of materials
# that the package step writes. A file that no component here covers stops the
# build, so that new third-party code cannot ship without its notice.

# ---- The components hello.exe may carry, and how their files are told apart ----------
# Each: its project's name, what the notices call it, its SPDX licence, and a
# regular expression for its files.
set(components mingw_w64 libgcc)
set(mingw_w64.project "mingw-w64")
set(mingw_w64.name "MinGW-w64 runtime")
set(mingw_w64.licence "ZPL-2.1")
set(mingw_w64.files "/[a-z0-9_]+-w64-mingw32/lib/[^/]+$")
set(libgcc.project "libgcc")
set(libgcc.name "GCC runtime library (libgcc)")
set(libgcc.licence "GPL-3.0-or-later WITH GCC-exception-3.1")
set(libgcc.files "/lib/gcc/[^/]+/[^/]+/(crtbegin\\.o|crtend\\.o|libgcc\\.a|libgcc_eh\\.a)$")

# ---- What the linker took: whole objects, and archives that members came from ---------
# The program's own objects (.obj, in CMakeFiles) are not third-party code.
file(STRINGS ${MAP} taken REGEX "^(LOAD [^ ]+\\.o|[^ ][^(]*\\.a\\(.*)$")
set(linked "")
foreach(line IN LISTS taken)
    string(REGEX REPLACE "^LOAD |\\(.*$" "" path "${line}")
    cmake_path(NORMAL_PATH path) # the path the file was installed at, for dpkg
    list(APPEND linked ${path})
endforeach()
list(REMOVE_DUPLICATES linked)
list(SORT linked)
if(NOT linked)
    message(FATAL_ERROR "${MAP} names no object or archive that the linker took code from")
endif()

foreach(component IN LISTS components)
    set(${component}.paths "")
endforeach()
foreach(path IN LISTS linked)
    set(owner "")
    foreach(component IN LISTS components)
        if(path MATCHES "${${component}.files}")
            set(owner ${component})
            break()
        endif()
    endforeach()
    if(NOT owner)
        message(FATAL_ERROR "hello.exe took code from ${path}, which no third-party notice "
            "covers: add its component, with its licence, to cmake/ThirdParty.cmake and to "
            "packaging/THIRD-PARTY-NOTICES.txt.in")
    endif()
    list(APPEND ${owner}.paths ${path})
endforeach()

# ---- Where each came from: the Debian package and its version ---------------------------
find_program(DPKG_QUERY dpkg-query)
foreach(component IN LISTS components)
    set(${component}.package "")
    set(${component}.package_version "")
    set(${component}.arch "")
    set(${component}.version "")
    if(DPKG_QUERY AND ${component}.paths)
        list(GET ${component}.paths 0 first)
        execute_process(COMMAND ${DPKG_QUERY} -S ${first}
            OUTPUT_VARIABLE owner OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
        if(NOT failed AND owner MATCHES "^([^:,]+)[^ ]* ")
            set(package ${CMAKE_MATCH_1})
            execute_process(COMMAND ${DPKG_QUERY} -W -f=\${Version}\ \${Architecture} ${package}
                OUTPUT_VARIABLE installed OUTPUT_STRIP_TRAILING_WHITESPACE)
            separate_arguments(installed UNIX_COMMAND "${installed}")
            list(GET installed 0 package_version)
            list(GET installed 1 arch)
            # The upstream version: no epoch, no Debian revision.
            string(REGEX REPLACE "^[0-9]+:|-[^-]*$" "" version "${package_version}")
            set(${component}.package ${package})
            set(${component}.package_version ${package_version})
            set(${component}.arch ${arch})
            set(${component}.version ${version})
        endif()
    endif()
endforeach()

# ---- The notices: each component's files, wrapped as the rest of the text -----------------
foreach(component IN LISTS components)
    set(line "   Linked in from:")
    set(text "")
    set(names "")
    foreach(path IN LISTS ${component}.paths)
        cmake_path(GET path FILENAME name)
        list(APPEND names ${name})
    endforeach()
    list(LENGTH names count)
    set(i 0)
    foreach(name IN LISTS names)
        math(EXPR i "${i} + 1")
        if(i LESS count)
            string(APPEND name ",")
        endif()
        string(LENGTH "${line} ${name}" width)
        if(width GREATER 72)
            string(APPEND text "${line}\r\n") # the notices have CR LF line ends
            set(line "  ")
        endif()
        string(APPEND line " ${name}")
    endforeach()
    if(count EQUAL 0)
        string(APPEND line " (nothing in this build)")
    endif()
    string(APPEND text "${line}")
    set(${component}_files "${text}")
endforeach()
set(PROJECT_VERSION ${VERSION})
configure_file(${TEMPLATE} ${NOTICES} @ONLY NEWLINE_STYLE CRLF)

# ---- The same facts for the bill of materials ----------------------------------------------
set(facts "# Written by cmake/ThirdParty.cmake from ${MAP}\nset(components ${components})\n")
foreach(component IN LISTS components)
    foreach(fact IN ITEMS project name licence package package_version arch version paths)
        string(APPEND facts "set(${component}.${fact} \"${${component}.${fact}}\")\n")
    endforeach()
endforeach()
file(CONFIGURE OUTPUT ${FACTS} CONTENT "${facts}" @ONLY)
