# hidapi's own Windows backend, built from Debian's source tarball as it is: the real transport
# of Spanlink.exe. SPANLINK_HIDAPI_SOURCE names the tarball (the shared toolchain folder holds it).
set(SPANLINK_HIDAPI_SOURCE "${PROJECT_SOURCE_DIR}/../shared/windows/hidapi_0.13.1.orig.tar.gz"
    CACHE FILEPATH "hidapi source tarball")
set(_hidapi_dir ${CMAKE_BINARY_DIR}/hidapi-src)
if(NOT EXISTS ${_hidapi_dir}/hidapi-hidapi-0.13.1/windows/hid.c)
    if(NOT EXISTS ${SPANLINK_HIDAPI_SOURCE})
        message(FATAL_ERROR "hidapi source not found: ${SPANLINK_HIDAPI_SOURCE}")
    endif()
    file(ARCHIVE_EXTRACT INPUT ${SPANLINK_HIDAPI_SOURCE} DESTINATION ${_hidapi_dir})
endif()
set(_hidapi_root ${_hidapi_dir}/hidapi-hidapi-0.13.1)

enable_language(C)
# An object library, like the virtual switch's implementations: linked wherever it is named.
add_library(hidapi_win OBJECT ${_hidapi_root}/windows/hid.c)
target_include_directories(hidapi_win PUBLIC ${_hidapi_root}/hidapi)
target_link_libraries(hidapi_win PUBLIC setupapi)
set(HIDAPI_INCLUDE_DIRS ${_hidapi_root}/hidapi)
