# linux-x64: this machine's gcc. Archives are position-independent because
# they link into a shared module; hardening flags as Debian builds with.
HOST=
CC=gcc
CXX=g++
AR=ar
RANLIB=ranlib
CFLAGS="-O2 -fPIC -fstack-protector-strong -D_FORTIFY_SOURCE=2"
CXXFLAGS="$CFLAGS"
LDFLAGS=

# CMake for this target: the compilers and flags above come from the environment.
target_cmake() { cmake "$@"; }
