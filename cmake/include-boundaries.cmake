# Include boundaries between the agent's libraries: a library's own files may include the headers
# of the project's libraries it links (directly, or through their public links), never those of
# the others, although all headers sit below the same folder. Checked at build time, before the
# library is compiled, so that a wrong include fails the build with the file and the library
# it belongs to.

# The project libraries `target` reaches: what it links, and what those link publicly.
function(_spanlink_reachable target out)
    set(seen "")
    get_target_property(queue ${target} LINK_LIBRARIES)
    while(queue)
        list(POP_FRONT queue item)
        string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
        if(NOT TARGET ${item} OR item IN_LIST seen)
            continue()
        endif()
        list(APPEND seen ${item})
        get_target_property(next ${item} INTERFACE_LINK_LIBRARIES)
        if(next)
            list(APPEND queue ${next})
        endif()
    endwhile()
    set(${out} ${seen} PARENT_SCOPE)
endfunction()

function(_spanlink_files target out)
    get_target_property(sources ${target} SOURCES)
    get_target_property(dir ${target} SOURCE_DIR)
    set(files "")
    foreach(s ${sources})
        if(NOT s MATCHES "^\\$<")
            get_filename_component(s ${s} ABSOLUTE BASE_DIR ${dir})
            list(APPEND files ${s})
        endif()
    endforeach()
    set(${out} ${files} PARENT_SCOPE)
endfunction()

# spanlink_include_boundaries(ROOT dir LIBRARIES target...): checks each library against the others;
# ROOT is the folder quoted includes are also looked up in.
function(spanlink_include_boundaries)
    cmake_parse_arguments(B "" "ROOT" "LIBRARIES" ${ARGN})
    foreach(target ${B_LIBRARIES})
        _spanlink_reachable(${target} reachable)
        _spanlink_files(${target} own)
        set(allowed ${own})
        foreach(dep ${reachable})
            _spanlink_files(${dep} files)
            list(APPEND allowed ${files})
        endforeach()
        # Every header of the other libraries, with its owner: "path=library".
        set(forbidden "")
        foreach(other ${B_LIBRARIES})
            _spanlink_files(${other} files)
            foreach(f ${files})
                if(f MATCHES "\\.h$" AND NOT f IN_LIST allowed)
                    list(APPEND forbidden "${f}=${other}")
                endif()
            endforeach()
        endforeach()
        set(stamp ${CMAKE_BINARY_DIR}/include-boundaries/${target}.stamp)
        set(list ${CMAKE_BINARY_DIR}/include-boundaries/${target}.cmake)
        file(WRITE ${list} "set(LIBRARY ${target})\nset(ROOT \"${B_ROOT}\")\nset(SOURCES \"${own}\")\n"
                           "set(FORBIDDEN \"${forbidden}\")\n")
        add_custom_command(OUTPUT ${stamp}
            COMMAND ${CMAKE_COMMAND} -DLIST=${list} -DSTAMP=${stamp} -P ${PROJECT_SOURCE_DIR}/cmake/check-includes.cmake
            DEPENDS ${own} ${list} ${PROJECT_SOURCE_DIR}/cmake/check-includes.cmake VERBATIM)
        add_custom_target(${target}_includes DEPENDS ${stamp})
        add_dependencies(${target} ${target}_includes)
    endforeach()
endfunction()
