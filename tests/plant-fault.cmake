# cmake -D FILE=<file> -D OLD=<text> -D NEW=<text> [-D TESTS=<ctest regex>]
#       [-D BUILD=<build folder>] -P tests/plant-fault.cmake
# Plants a fault to see the tests catch it: replaces the first OLD in FILE
# with NEW, builds, runs the tests (those TESTS names, else all), then puts
# FILE back and builds again, whatever happened. Succeeds when a test failed,
# that is when the fault was caught; fails when every test still passed.
if(NOT DEFINED BUILD)
    set(BUILD ${CMAKE_CURRENT_LIST_DIR}/../build/default)
endif()
file(READ ${FILE} original)
string(FIND "${original}" "${OLD}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "${FILE} holds no such text:\n${OLD}")
endif()
string(LENGTH "${OLD}" old_length)
string(SUBSTRING "${original}" 0 ${at} before)
math(EXPR after_start "${at} + ${old_length}")
string(SUBSTRING "${original}" ${after_start} -1 after)
file(WRITE ${FILE} "${before}${NEW}${after}")

set(select "")
if(DEFINED TESTS)
    set(select -R ${TESTS})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} RESULT_VARIABLE build_failed
    OUTPUT_QUIET)
if(NOT build_failed)
    execute_process(COMMAND ${CMAKE_CTEST_COMMAND} --test-dir ${BUILD} -j2 ${select}
        RESULT_VARIABLE tests_failed)
endif()

file(WRITE ${FILE} "${original}")
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} OUTPUT_QUIET)
if(build_failed)
    message(FATAL_ERROR "With the fault the build failed: plant one that compiles.")
elseif(NOT tests_failed)
    message(FATAL_ERROR "Not caught: every test passed with the fault in ${FILE}.")
endif()
message(STATUS "Caught: a test failed with the fault; ${FILE} is as it was.")
