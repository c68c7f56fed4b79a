# A Windows GUI program of Spanlink's: it asks to run elevated and carries the version resource.
include(${CMAKE_CURRENT_LIST_DIR}/windows-version.cmake)

function(spanlink_windows_program target name)
    target_sources(${target} PRIVATE ${SPANLINK_WINDOWS_RESOURCES}/spanlink.rc)
    target_include_directories(${target} PRIVATE ${SPANLINK_WINDOWS_RESOURCES})
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON OUTPUT_NAME ${name})
    if(MSVC)
        # The resource carries the manifest; the linker must not add its own.
        target_link_options(${target} PRIVATE /MANIFEST:NO)
    endif()
endfunction()
