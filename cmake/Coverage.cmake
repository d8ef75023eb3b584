# Coverage builds (-DHELLO_COVERAGE=ON, the coverage preset): the programs are
# built with gcov's counters, and `coverage-report` writes gcovr's text summary
# and HTML page of the lines of src/ and posix/ that the tests ran.
option(HELLO_COVERAGE "Build with coverage counts, and a coverage-report target" OFF)
if(NOT HELLO_COVERAGE)
    return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    message(FATAL_ERROR "Coverage builds use GCC's gcov; configure with g++.")
endif()

# Unoptimised, so that every line keeps its own counts.
target_compile_options(build_options INTERFACE --coverage -O0)
target_link_options(build_options INTERFACE --coverage)

# A program that ends by raising a signal writes its counts first.
add_library(coverage_dump OBJECT ${PROJECT_SOURCE_DIR}/tests/coverage/dump_before_raise.cpp)
foreach(program IN ITEMS hello pause)
    if(TARGET ${program})
        target_sources(${program} PRIVATE $<TARGET_OBJECTS:coverage_dump>)
        target_link_options(${program} PRIVATE -Wl,--wrap=raise)
    endif()
endforeach()

find_program(GCOVR gcovr)
if(NOT GCOVR)
    message(FATAL_ERROR "The coverage report needs gcovr (apt-get install gcovr).")
endif()
set(report_dir ${PROJECT_BINARY_DIR}/coverage)
add_custom_target(coverage-report
    COMMAND ${CMAKE_COMMAND} -E make_directory ${report_dir}
    COMMAND ${GCOVR} --root ${PROJECT_SOURCE_DIR} --object-directory ${PROJECT_BINARY_DIR}
        --filter ${PROJECT_SOURCE_DIR}/src/ --filter ${PROJECT_SOURCE_DIR}/posix/
        --txt ${report_dir}/summary.txt --html-details ${report_dir}/index.html
    COMMAND ${CMAKE_COMMAND} -E cat ${report_dir}/summary.txt
    COMMAND ${CMAKE_COMMAND} -E echo "The report with every line: ${report_dir}/index.html"
    VERBATIM)
