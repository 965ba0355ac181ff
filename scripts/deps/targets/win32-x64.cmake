# CMake toolchain for win32-x64: mingw-w64's gcc with POSIX threads, as
# Debian packages it. Used by the module's cross build and by the recipes of
# scripts/deps that build with CMake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VELMORA_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VELMORA_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELMORA_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${VELMORA_MINGW_HOST}-windres)
set(CMAKE_DLLTOOL ${VELMORA_MINGW_HOST}-dlltool)
# Libraries and headers are looked up in mingw's tree and in the roots the
# caller adds (the dependencies' prefixes), never among the machine's Linux
# libraries; programs (pkg-config) are the machine's.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${VELMORA_MINGW_HOST})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
