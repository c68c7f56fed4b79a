# Cross-building the Windows agent on Linux with Debian's mingw-w64 (posix thread model, the
# one the Windows Qt was built with) against that Qt. Give the unpacked Qt as SPANLINK_QT_WIN
# (cache variable or environment); scripts/build-windows.sh does.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TOOLCHAIN_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)

if(NOT SPANLINK_QT_WIN AND DEFINED ENV{SPANLINK_QT_WIN})
    set(SPANLINK_QT_WIN $ENV{SPANLINK_QT_WIN})
endif()
set(SPANLINK_QT_WIN "${SPANLINK_QT_WIN}" CACHE PATH "Qt 5 for x86_64-w64-mingw32")
# try_compile projects see the toolchain file again, not the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SPANLINK_QT_WIN)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX} ${SPANLINK_QT_WIN})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_PREFIX_PATH ${SPANLINK_QT_WIN})

# The compiler's run-time DLLs, staged beside every program.
set(SPANLINK_MINGW_RUNTIME
    /usr/lib/gcc/${TOOLCHAIN_PREFIX}/12-posix/libstdc++-6.dll
    /usr/lib/gcc/${TOOLCHAIN_PREFIX}/12-posix/libgcc_s_seh-1.dll
    /usr/${TOOLCHAIN_PREFIX}/lib/libwinpthread-1.dll)

# Test programs run under Wine; WINEPATH (set by the tests) finds the DLLs.
find_program(SPANLINK_WINE wine)
if(SPANLINK_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${SPANLINK_WINE})
endif()
