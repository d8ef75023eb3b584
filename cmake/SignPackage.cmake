# Run by cpack after it has staged the files and before it archives them: signs
# the staged hello.exe with Authenticode, so that what the zip holds is signed.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_DIRECTORY}/*.exe")
foreach(program IN LISTS programs)
    execute_process(
        COMMAND ${CPACK_HELLO_OSSLSIGNCODE} sign
            -certs ${CPACK_HELLO_SIGNING_CERT} -key ${CPACK_HELLO_SIGNING_KEY}
            -h sha256 -n "${CPACK_PACKAGE_NAME}"
            -in ${program} -out ${program}.signed
        COMMAND_ERROR_IS_FATAL ANY)
    file(RENAME ${program}.signed ${program})
    message(STATUS "Signed ${program}")
endforeach()
