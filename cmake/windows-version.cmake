# The one version of the Windows build: the project version feeds the version resource, the
# manifest and, through the resource, the installer (packaging/windows/spanlink.nsi).
# The resource's text form pads the last two parts to three digits: 1.0.67.2 is "1.0.067.002".
function(spanlink_pad3 out value)
    string(LENGTH "${value}" _n)
    if(_n LESS 3)
        math(EXPR _zeros "3 - ${_n}")
        string(REPEAT "0" ${_zeros} _pad)
        set(value "${_pad}${value}")
    endif()
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

if(NOT PROJECT_VERSION_TWEAK)
    set(PROJECT_VERSION_TWEAK 0)
endif()
spanlink_pad3(_patch "${PROJECT_VERSION_PATCH}")
spanlink_pad3(_tweak "${PROJECT_VERSION_TWEAK}")
set(SPANLINK_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${_patch}.${_tweak}")
set(SPANLINK_WINDOWS_RESOURCES ${PROJECT_BINARY_DIR}/packaging/windows CACHE INTERNAL "configured resources")
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/spanlink.rc.in ${SPANLINK_WINDOWS_RESOURCES}/spanlink.rc @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/spanlink.manifest.in ${SPANLINK_WINDOWS_RESOURCES}/spanlink.manifest
               @ONLY)
