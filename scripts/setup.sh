#!/usr/bin/env bash
# Installs what the project needs on Debian 12 (when missing) and builds the
# module, the core library and the C++ tests into build/.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake pkg-config git ca-certificates
  dpkg-dev libasound2-dev libjack-jackd2-dev
  portaudio19-dev libsndfile1-dev libflac-dev libsoxr-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  jackd2 libgtest-dev libgmock-dev libbenchmark-dev
  sox libsox-fmt-all ffmpeg flac lame vorbis-tools opus-tools
  clang-19 llvm-19 libclang-rt-19-dev
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for package in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  missing+=(nodejs npm)
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# npm packages, from the committed lock file; reinstalled when the lock changes.
if ! cmp -s package-lock.json node_modules/.velmora-lock 2>/dev/null; then
  # The package's install script builds for consumers; here the build below does it.
  npm ci --ignore-scripts --no-audit --no-fund
  cp package-lock.json node_modules/.velmora-lock
fi

# PortAudio from Debian's source package with our JACK fix, cached outside the
# clone (scripts/deps); the system one when the source cannot be had.
if ! portaudio=$(bash scripts/deps/build.sh portaudio); then
  portaudio=system
  echo "setup: using the system PortAudio: a JACK server that dies and comes back is not reached again"
fi
# build/ configured against another PortAudio is configured again.
if [ -f build/CMakeCache.txt ] && ! grep -qxF "VELMORA_PORTAUDIO_USED:INTERNAL=$portaudio" build/CMakeCache.txt; then
  rm -f build/CMakeCache.txt
fi

jobs="$(nproc 2>/dev/null || echo 2)"
npx --no-install cmake-js compile --out build --config Release --parallel "$jobs" \
  --CDVELMORA_TESTS=ON ${VELMORA_CMAKE_ARGS:-} >build-setup.log 2>&1 || {
  cat build-setup.log
  exit 1
}
grep -E 'warning:' build-setup.log && { echo "setup: the build has warnings"; exit 1; }
echo "setup: built build/Release/velmora_audio_native.node"
