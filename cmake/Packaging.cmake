# What `cmake --install` puts where, and the packages CPack makes of it: on
# POSIX the GNU layout, on Windows one folder that a user unzips and runs from.

# ---- What goes where ----------------------------------------------------------------
if(WIN32)
    # hello.exe beside its README and licence, with CR LF line ends so that any
    # Notepad shows them right.
    install(TARGETS hello RUNTIME DESTINATION .)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/README.txt.in README.txt @ONLY NEWLINE_STYLE CRLF)
    configure_file(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
    install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
    if(MINGW)
        # Linked statically, the program carries the MinGW-w64 runtime and
        # libgcc: notices written from the link map as hello.exe is linked.
        install(FILES ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt DESTINATION .)
    endif()
else()
    install(TARGETS hello pause RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
    foreach(page IN ITEMS hello.1 pause.1)
        configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in man/${page} @ONLY)
        install(FILES ${PROJECT_BINARY_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()
endif()

# ---- One time for every archive entry and the program's header -------------------
# The time of the commit the sources come from: from a source archive that
# `git archive` made, which carries it in cmake/source-date, else from git in a
# checkout. A SOURCE_DATE_EPOCH in the environment of cmake or cpack overrides
# it. Without any of these, cpack stops (cmake/CPackProject.cmake) rather than
# make a release whose bytes depend on which tools happened to be installed.
set(hello_source_date_epoch "")
file(STRINGS ${PROJECT_SOURCE_DIR}/cmake/source-date archived_time LIMIT_COUNT 1)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(hello_source_date_epoch $ENV{SOURCE_DATE_EPOCH})
elseif(archived_time MATCHES "^[0-9]+$")
    set(hello_source_date_epoch ${archived_time})
else()
    find_package(Git QUIET)
    if(GIT_FOUND)
        execute_process(
            COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
            OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE git_failed ERROR_QUIET)
        if(NOT git_failed AND commit_time MATCHES "^[0-9]+$")
            set(hello_source_date_epoch ${commit_time})
            # A new commit or checkout moves HEAD's log: configure again to take its time.
            execute_process(
                COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path logs/HEAD
                WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
            if(EXISTS "${head_log}")
                set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${head_log})
            endif()
        endif()
    endif()
endif()

# ---- Optional Authenticode signing, for a maintainer with a certificate -------------
set(HELLO_SIGNING_CERT "" CACHE FILEPATH "Code-signing certificate (PEM or DER) to sign hello.exe with when packaging")
set(HELLO_SIGNING_KEY "" CACHE FILEPATH "Private key (PEM or DER) of HELLO_SIGNING_CERT")
if(WIN32 AND HELLO_SIGNING_CERT AND HELLO_SIGNING_KEY)
    find_program(OSSLSIGNCODE osslsigncode REQUIRED)
    set(CPACK_HELLO_OSSLSIGNCODE ${OSSLSIGNCODE})
    set(CPACK_HELLO_SIGNING_CERT ${HELLO_SIGNING_CERT})
    set(CPACK_HELLO_SIGNING_KEY ${HELLO_SIGNING_KEY})
    set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/SignPackage.cmake)
endif()

# ---- Packages: a zip on Windows, a tarball elsewhere --------------------------------
if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_VENDOR ${hello_vendor})
set(CPACK_STRIP_FILES ON) # symbols stay in the build tree, not in what users download
if(MINGW)
    # The release: a zip whose bytes depend on its files alone, its bill of
    # materials, and <package>.sha256 for both, as `sha256sum -c` reads it.
    set(CPACK_POST_BUILD_SCRIPTS
        ${PROJECT_SOURCE_DIR}/cmake/ReproducibleZip.cmake
        ${PROJECT_SOURCE_DIR}/cmake/BillOfMaterials.cmake)
    set(CPACK_HELLO_THIRD_PARTY_FACTS ${PROJECT_BINARY_DIR}/third-party.cmake)
else()
    set(CPACK_PACKAGE_CHECKSUM SHA256) # <package>.sha256 beside it, as `sha256sum -c` reads
endif()
set(CPACK_HELLO_SOURCE_DATE_EPOCH ${hello_source_date_epoch})
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackProject.cmake)
include(CPack)
