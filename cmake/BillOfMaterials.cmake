# Run by cpack after cmake/ReproducibleZip.cmake: writes, beside the zip, its
# bill of materials (CycloneDX 1.6 JSON), made from the facts that the build
# drew from the link map (cmake/ThirdParty.cmake) and the hash of the program
# as zipped, and one checksum file for both. Nothing in it depends on when or
# where it is made: its time is the release's, its serial number comes from
# its content.
include(${CPACK_HELLO_THIRD_PARTY_FACTS})
set(name ${CPACK_PACKAGE_FILE_NAME})
set(out ${CPACK_PACKAGE_DIRECTORY})

function(json_string out value)
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    set(${out} "\"${value}\"" PARENT_SCOPE)
endfunction()

# A package URL's version, with what may not stand there as it is percent-encoded.
function(purl_version out value)
    string(REPLACE "%" "%25" value "${value}")
    string(REPLACE "+" "%2B" value "${value}")
    string(REPLACE ":" "%3A" value "${value}")
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

file(SHA256 ${CPACK_TEMPORARY_DIRECTORY}/hello.exe program_hash)
string(UUID serial NAMESPACE 6ba7b811-9dad-11d1-80b4-00c04fd430c8 # the URL namespace
    NAME "urn:hello:${CPACK_PACKAGE_VERSION}:${program_hash}" TYPE SHA1)
string(TIMESTAMP release_time "%Y-%m-%dT%H:%M:%SZ" UTC) # honours SOURCE_DATE_EPOCH

json_string(version "${CPACK_PACKAGE_VERSION}")
set(bom "{}")
string(JSON bom SET "${bom}" bomFormat "\"CycloneDX\"")
string(JSON bom SET "${bom}" specVersion "\"1.6\"")
string(JSON bom SET "${bom}" serialNumber "\"urn:uuid:${serial}\"")
string(JSON bom SET "${bom}" version 1)
string(JSON bom SET "${bom}" metadata "{\"timestamp\": \"${release_time}\"}")
string(JSON bom SET "${bom}" metadata component "{
    \"type\": \"application\", \"bom-ref\": \"hello\", \"name\": \"hello\", \"version\": ${version},
    \"description\": \"hello.exe, as in ${name}.zip\",
    \"licenses\": [{\"license\": {\"id\": \"MIT\"}}],
    \"hashes\": [{\"alg\": \"SHA-256\", \"content\": \"${program_hash}\"}]}")
string(JSON bom SET "${bom}" components "[]")
string(JSON bom SET "${bom}" dependencies "[{\"ref\": \"hello\", \"dependsOn\": []}]")

set(index 0)
foreach(component IN LISTS components)
    if(NOT ${component}.paths)
        continue()
    endif()
    json_string(component_name "${${component}.project}")
    json_string(description "${${component}.name}")
    json_string(licence "${${component}.licence}")
    set(entry "{\"type\": \"library\", \"bom-ref\": \"${component}\", \"name\": ${component_name},
        \"description\": ${description}, \"licenses\": [{\"expression\": ${licence}}]}")
    if(${component}.version)
        json_string(component_version "${${component}.version}")
        string(JSON entry SET "${entry}" version "${component_version}")
    endif()
    if(${component}.package)
        purl_version(package_version "${${component}.package_version}")
        string(JSON entry SET "${entry}" purl
            "\"pkg:deb/debian/${${component}.package}@${package_version}?arch=${${component}.arch}\"")
    endif()
    # The files the linker took code from, where the build found them.
    string(JSON entry SET "${entry}" evidence "{\"occurrences\": []}")
    set(at 0)
    foreach(path IN LISTS ${component}.paths)
        json_string(location "${path}")
        string(JSON entry SET "${entry}" evidence occurrences ${at} "{\"location\": ${location}}")
        math(EXPR at "${at} + 1")
    endforeach()
    string(JSON bom SET "${bom}" components ${index} "${entry}")
    string(JSON bom SET "${bom}" dependencies 0 dependsOn ${index} "\"${component}\"")
    math(EXPR index "${index} + 1")
    string(JSON bom SET "${bom}" dependencies ${index} "{\"ref\": \"${component}\"}")
endforeach()
file(WRITE ${out}/${name}.cdx.json "${bom}\n")

# One checksum file for what the release publishes, as `sha256sum -c` reads it.
# The zip here is the one that cpack copies out next, byte for byte.
set(sums "")
foreach(file IN ITEMS ${CPACK_PACKAGE_FILES} ${out}/${name}.cdx.json)
    file(SHA256 ${file} hash)
    cmake_path(GET file FILENAME file_name)
    string(APPEND sums "${hash}  ${file_name}\n")
endforeach()
file(WRITE ${out}/${name}.sha256 "${sums}")
