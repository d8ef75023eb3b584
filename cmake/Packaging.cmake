# What `cmake --install` puts where, and the packages CPack makes of it: on
# POSIX the GNU layout, on Windows one folder that a user unzips and runs from.

# ---- POSIX: the licence and the manual pages ---------------------------------------
if(NOT WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
    foreach(page IN ITEMS hello.1 pause.1)
        configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
        install(FILES ${PROJECT_BINARY_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endforeach()
endif()

# ---- Packages: a zip on Windows, a tarball elsewhere -------------------------------
if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_VENDOR "The hello developers")
set(CPACK_STRIP_FILES ON) # symbols stay in the build tree, not in what users download
include(CPack)
