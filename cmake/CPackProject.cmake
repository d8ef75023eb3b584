# Read by cpack as it runs. CPack's archives take every entry's time from
# SOURCE_DATE_EPOCH, and its strip stamps it into the program's header: the
# time this build was configured with, unless the environment of this cpack run
# says otherwise. A zip entry's time is written in local time, so the time zone
# is fixed too.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    if("${CPACK_HELLO_SOURCE_DATE_EPOCH}" STREQUAL "")
        message(FATAL_ERROR "This package's time is the time of the commit its sources come "
            "from, and it cannot be told here: the sources are neither a git checkout with git "
            "installed nor an archive made by `git archive`. Install git (apt-get install git) "
            "and configure again, or set SOURCE_DATE_EPOCH to the commit's time.")
    endif()
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_HELLO_SOURCE_DATE_EPOCH}")
endif()
set(ENV{TZ} UTC0)
