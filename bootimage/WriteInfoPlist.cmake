# Writes the bundle's information dictionary with the boot image's SHA-256.
#   cmake -DIMAGE=<image> -DTEMPLATE=<Info.plist.in> -DOUTPUT=<Info.plist>
#         -DVERSION=<x.y.z> -DEXECUTABLE=<name> -P WriteInfoPlist.cmake
# The digest is stored as 64 upper-case hexadecimal digits and nothing
# else, the exact form the application compares with.
foreach(var IMAGE TEMPLATE OUTPUT VERSION EXECUTABLE)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "WriteInfoPlist.cmake needs -D${var}=...")
    endif()
endforeach()
if(NOT EXISTS "${IMAGE}")
    message(FATAL_ERROR "Boot image not found: ${IMAGE}")
endif()
file(SHA256 "${IMAGE}" IMAGE_SHA256)
string(TOUPPER "${IMAGE_SHA256}" IMAGE_SHA256)
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
