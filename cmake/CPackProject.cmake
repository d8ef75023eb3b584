# Read by cpack as it runs. CPack's archives take every entry's time from
# SOURCE_DATE_EPOCH: the time this build was configured with, unless the
# environment of this cpack run says otherwise. A zip entry's time is written
# in local time, so the time zone is fixed too.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_HELLO_SOURCE_DATE_EPOCH}")
endif()
set(ENV{TZ} UTC0)
