# cmake -D SOURCE_DIR=<tree> -D BINARY_DIR=<new folder> [-D SIGNING_CERT=<pem>
#       -D SIGNING_KEY=<pem>] [-D CONFIGURE_ARGS=<arg;...>] -P build-release.cmake
# Builds the release zip from scratch as a maintainer does: the windows-x86
# configuration, its build, then cpack.
file(REMOVE_RECURSE ${BINARY_DIR})
set(signing "")
if(SIGNING_CERT)
    set(signing -DHELLO_SIGNING_CERT=${SIGNING_CERT} -DHELLO_SIGNING_KEY=${SIGNING_KEY})
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} --preset windows-x86 -B ${BINARY_DIR} ${signing}
    ${CONFIGURE_ARGS}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BINARY_DIR} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP --config ${BINARY_DIR}/CPackConfig.cmake -B ${BINARY_DIR}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
