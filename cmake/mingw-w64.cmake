# Cross build for 64-bit Windows with Debian's MinGW-w64, posix flavour (Qt's threads and
# std::thread need its winpthreads), against Qt's base modules built for MinGW into a prefix of
# their own (scripts/windows makes it). Used for the tool and for building that Qt.
#
#   cmake --preset windows                       (the prefix from STRAVIK_QT_PREFIX)
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DSTRAVIK_QT_PREFIX=DIR ...
#
# The prefix: the cache variable STRAVIK_QT_PREFIX, else the environment's STRAVIK_QT_PREFIX.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(STRAVIK_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${STRAVIK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${STRAVIK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${STRAVIK_MINGW}-windres)

if(NOT STRAVIK_QT_PREFIX)
  set(STRAVIK_QT_PREFIX "$ENV{STRAVIK_QT_PREFIX}")
endif()
if(NOT STRAVIK_QT_PREFIX)
  message(FATAL_ERROR "no Qt for MinGW: set STRAVIK_QT_PREFIX (scripts/windows builds one)")
endif()
# try_compile projects read this file again and see only what is listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES STRAVIK_QT_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${STRAVIK_MINGW} "${STRAVIK_QT_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian's Qt is the host Qt: its moc, rcc and uic run on this machine during the build.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)

# The DLLs a program loads, for install(RUNTIME_DEPENDENCY_SET): read with MinGW's objdump.
set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND ${STRAVIK_MINGW}-objdump)
