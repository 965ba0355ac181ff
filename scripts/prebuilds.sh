#!/usr/bin/env bash
# The package as published: builds the prebuilt modules, linux-x64 with every
# dependency static (scripts/deps, cached outside the clone) and win32-x64
# through scripts/windows.sh, and packs them into
# build-prebuilds/velmora-audio-VERSION.tgz.
#
#   bash scripts/prebuilds.sh          build and pack
#   bash scripts/prebuilds.sh --test   then install the tarball in a fresh
#                                      project with no compiler and use it
#                                      (test/package.test.js)
#
# The Linux module goes into the packed copy only: in the clone, index.js
# keeps loading build/Release, the module the tests build.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS="${VELMORA_DEPS_JOBS:-$(nproc 2>/dev/null || echo 2)}"
OUT=build-prebuilds
LINUX_MODULE=$OUT/linux-x64/velmora_audio_native.node
mark=$SECONDS
took() { echo "prebuilds: $* in $((SECONDS - mark)) s"; mark=$SECONDS; }

# The win32-x64 module first: it installs node, npm and the npm packages.
# The test loads it under Wine when a whole run of windows.sh has set Wine up.
bash scripts/windows.sh --module-only
took "built prebuilds/win32-x64"

deps=$(bash scripts/deps/static-set.sh --target linux-x64)
took "built or found the linux-x64 dependencies"
mkdir -p "$(dirname "$LINUX_MODULE")"
{
  cmake -S . -B build-linux-x64 -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=OFF -DVELMORA_STATIC_DEPS="$deps" &&
    cmake --build build-linux-x64 -j "$JOBS" --target velmora_audio_native
} >build-linux-x64.log 2>&1 || { cat build-linux-x64.log; exit 1; }
grep -E 'warning:' build-linux-x64.log && { echo "prebuilds: the build has warnings"; exit 1; }
strip --strip-unneeded -o "$LINUX_MODULE" build-linux-x64/Release/velmora_audio_native.node
took "built $LINUX_MODULE ($(stat -c %s "$LINUX_MODULE") bytes)"

# The package: npm's own selection (package.json's files) from a copy that
# has both modules, so the clone's prebuilds/ stays Windows-only.
stage=$OUT/package
rm -rf "$stage" && mkdir -p "$stage"
node -p "require('./package.json').files.join('\\n')" | while read -r entry; do
  if [ -e "$entry" ]; then cp -r --parents "${entry%/}" "$stage/"; fi
done
cp package.json README.md "$stage/"
mkdir -p "$stage/prebuilds/linux-x64" && cp "$LINUX_MODULE" "$stage/prebuilds/linux-x64/"
[ -f "$stage/prebuilds/win32-x64/velmora_audio_native.node" ] || { echo "prebuilds: no win32-x64 module"; exit 1; }
rm -f "$OUT"/*.tgz
tarball=$OUT/$(cd "$stage" && npm pack --silent --pack-destination ..)
took "packed $tarball ($(stat -c %s "$tarball") bytes)"

if [ "${1:-}" = --test ]; then
  VELMORA_PREBUILT_TARBALL="$PWD/$tarball" node --test test/package.test.js
  took "tested the tarball"
fi
