# Run by cpack once it has made the zip, before it copies it out: makes the zip
# again, so that its bytes depend on nothing but the files. CPack (before CMake
# 4.3) adds the entries in the order the file system lists them, and records
# the packager's user and group; Info-ZIP's zip takes the entries in the order
# given, here sorted, and -X leaves out owners and extra times. Every entry has
# the release's time, from SOURCE_DATE_EPOCH, in UTC (cmake/CPackProject.cmake).
find_program(ZIP_COMMAND zip)
if(NOT ZIP_COMMAND)
    message(FATAL_ERROR "The release zip is made with Info-ZIP's zip, which is not installed "
        "(apt-get install zip).")
endif()

# A zip entry holds its time to two seconds: the release's time, rounded down to that.
set(exact_time $ENV{SOURCE_DATE_EPOCH})
math(EXPR even_time "${exact_time} / 2 * 2")
set(ENV{SOURCE_DATE_EPOCH} ${even_time})
string(TIMESTAMP release_time "%Y%m%d%H%M.%S" UTC) # honours SOURCE_DATE_EPOCH
set(ENV{SOURCE_DATE_EPOCH} ${exact_time})
file(GLOB_RECURSE entries RELATIVE ${CPACK_TOPLEVEL_DIRECTORY} ${CPACK_TEMPORARY_DIRECTORY}/*)
list(SORT entries)
execute_process(COMMAND touch -t ${release_time} ${entries}
    WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY} COMMAND_ERROR_IS_FATAL ANY)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    file(REMOVE ${package}.new)
    execute_process(COMMAND ${ZIP_COMMAND} -X -D -q ${package}.new ${entries}
        WORKING_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY} COMMAND_ERROR_IS_FATAL ANY)
    file(RENAME ${package}.new ${package})
endforeach()
