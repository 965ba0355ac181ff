#!/usr/bin/env bash
# Builds every library the module links, static, for one target (through
# build.sh, cached) and prints their prefixes as one CMake list, the value of
# -DVELMORA_STATIC_DEPS: for a module that carries its dependencies (the
# Windows build, prebuilt modules). Installs the build tools it lacks on
# Debian 12.
#
#   bash scripts/deps/static-set.sh [--target linux-x64|win32-x64]
#
# The ordinary Linux build does not use it: it links the system libraries
# and only PortAudio from build.sh.
set -euo pipefail
DEPS_DIR="$(cd "$(dirname "$0")" && pwd)"

target=linux-x64
[ "${1:-}" = --target ] && target=${2:?--target needs a name}
# Everything the module links, and what those depend on, whose .pc files
# pkg-config follows.
LIBRARIES=(ogg vorbis flac opus mpg123 lame sndfile soxr ffmpeg portaudio)

TOOLS=(build-essential cmake pkg-config dpkg-dev autoconf automake libtool nasm)
case "$target" in
  linux-x64) TOOLS+=(libasound2-dev libjack-jackd2-dev) ;;  # PortAudio's host APIs
  win32-x64) TOOLS+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix) ;;
esac
missing=()
for package in "${TOOLS[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "static-set: installing ${missing[*]}" >&2
  as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
  export DEBIAN_FRONTEND=noninteractive
  # Another apt on the machine holds its lock for a moment: wait for it.
  as_root apt-get -o DPkg::Lock::Timeout=300 update -qq >&2
  as_root apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# FFmpeg, the longest, builds beside the others, whose configure scripts keep
# one core only; the list below then waits on its lock and finds it built.
bash "$DEPS_DIR/build.sh" --target "$target" ffmpeg >/dev/null &
side=$!
bash "$DEPS_DIR/build.sh" --target "$target" "${LIBRARIES[@]}" | paste -sd';'
wait "$side" || true
