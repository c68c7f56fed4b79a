# What a Windows user's folder needs beside the programs, as install rules: the Qt DLLs, the
# platform plugin, the QML modules the scenes import (and theirs), the compiler's run-time
# DLLs and a qt.conf that points Qt at them. tests/platform/win/check-pe.sh reads the
# imports of every staged binary to prove the list complete.
get_target_property(_qtcore_dll Qt5::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(_qt_bin ${_qtcore_dll} DIRECTORY)
get_filename_component(_qt_root ${_qt_bin} DIRECTORY)

set(_qt_dlls Core Gui Widgets Network Qml QmlModels QmlWorkerScript Quick QuickTemplates2 QuickControls2)
foreach(_dll ${_qt_dlls})
    install(FILES ${_qt_bin}/Qt5${_dll}.dll DESTINATION .)
endforeach()
install(FILES ${_qt_root}/plugins/platforms/qwindows.dll DESTINATION platforms)
# The tray and alert pictures are .ico and .png; PNG is built in.
install(FILES ${_qt_root}/plugins/imageformats/qico.dll DESTINATION imageformats)
install(FILES ${SPANLINK_MINGW_RUNTIME} DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/qt.conf DESTINATION .)

# The modules the scenes of the agent and of Spanlink Setup import, found by Qt's own scanner,
# transitive imports included.
execute_process(COMMAND ${_qt_bin}/qmlimportscanner -rootPath ${PROJECT_SOURCE_DIR}/src/Qml
                        -rootPath ${PROJECT_SOURCE_DIR}/src/spanlink-setup/qml -importPath ${_qt_root}/qml
                OUTPUT_VARIABLE _imports RESULT_VARIABLE _scan)
if(NOT _scan EQUAL 0)
    message(FATAL_ERROR "qmlimportscanner failed")
endif()
string(JSON _count LENGTH "${_imports}")
set(_modules "")
math(EXPR _last "${_count} - 1")
foreach(_i RANGE ${_last})
    string(JSON _path ERROR_VARIABLE _none GET "${_imports}" ${_i} path)
    if(_path AND IS_DIRECTORY ${_path})
        file(RELATIVE_PATH _rel ${_qt_root}/qml ${_path})
        list(APPEND _modules ${_rel})
    endif()
endforeach()
list(REMOVE_DUPLICATES _modules)
list(SORT _modules)
# A module folder holds its sub-modules: copying the outer one is enough.
set(_outer "")
foreach(_m ${_modules})
    set(_inside FALSE)
    foreach(_o ${_outer})
        string(FIND "${_m}/" "${_o}/" _at)
        if(_at EQUAL 0)
            set(_inside TRUE)
        endif()
    endforeach()
    if(NOT _inside)
        list(APPEND _outer ${_m})
    endif()
endforeach()
message(STATUS "QML modules staged: ${_outer}")
foreach(_m ${_outer})
    get_filename_component(_parent ${_m} DIRECTORY)
    install(DIRECTORY ${_qt_root}/qml/${_m} DESTINATION qml/${_parent})
endforeach()
