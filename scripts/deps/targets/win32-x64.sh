# win32-x64: mingw-w64's gcc with POSIX threads (std::thread needs them).
# No stack protector or fortify: under mingw both need libssp at every link.
HOST=x86_64-w64-mingw32
CC=x86_64-w64-mingw32-gcc-posix
CXX=x86_64-w64-mingw32-g++-posix
AR=x86_64-w64-mingw32-ar
RANLIB=x86_64-w64-mingw32-ranlib
CFLAGS="-O2"
CXXFLAGS="$CFLAGS"
LDFLAGS=
# Only the .pc files of the libraries built here, never the machine's.
PKG_CONFIG_LIBDIR=/nonexistent

# CMake for this target, with the toolchain file beside this one (part of
# the build key). Dependencies are found in their prefixes.
TOOLCHAIN_FILE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/win32-x64.cmake"
target_cmake() {
  local roots="" directory
  for directory in ${PKG_CONFIG_PATH//:/ }; do roots+="${roots:+;}${directory%/lib/pkgconfig}"; done
  cmake "$@" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN_FILE" -DCMAKE_FIND_ROOT_PATH="$roots"
}
