#!/usr/bin/env bash
# Builds the benchmarks in release mode, generates their inputs (not kept in
# the repository), runs every comparison once and prints one table.
# VELMORA_BENCH_DIR: where inputs are cached (default /tmp/velmora-perf-inputs).
# VELMORA_BENCH_MINUTES: length of the analysis tracks (default 60).
# VELMORA_BENCH_SOAK_SECONDS: length of the callback-time run (default 600).
# VELMORA_BENCH_RETRY_SECONDS: length of the script-call run during device retries (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELMORA_MODULE=OFF -DVELMORA_TESTS=OFF \
  -DVELMORA_BENCH=ON >/dev/null
cmake --build build-bench -j2 >/dev/null

dir=${VELMORA_BENCH_DIR:-/tmp/velmora-perf-inputs}
mkdir -p "$dir"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# 10-minute pink noise with two tones, in every format decoded below.
s=600
[ -f "$dir/track.wav" ] || sox -n -r 44100 -c 2 -b 16 "$dir/track.wav" synth $s pinknoise \
  synth $s sine mix 440 synth $s sine mix 1234 vol 0.5 fade 1.5 0 2
[ -f "$dir/track.flac" ] || flac -s -f -o "$dir/track.flac" "$dir/track.wav"
[ -f "$dir/track-cbr.mp3" ] || lame --quiet -b 192 "$dir/track.wav" "$dir/track-cbr.mp3"
[ -f "$dir/track-vbr.mp3" ] || lame --quiet -V 2 "$dir/track.wav" "$dir/track-vbr.mp3"
[ -f "$dir/track.ogg" ] || oggenc -Q -q 5 -o "$dir/track.ogg" "$dir/track.wav"
[ -f "$dir/track.opus" ] || ffmpeg -v quiet -y -i "$dir/track.wav" -c:a libopus -b:a 128k "$dir/track.opus"
[ -f "$dir/five-minutes.flac" ] || sox "$dir/track.flac" "$dir/five-minutes.flac" trim 0 300
cp "$dir/five-minutes.flac" "$out/five-minutes-unprepared.flac"

echo "bench: render" >&2
build-bench/bench/render_bench --benchmark_filter='MixRender/(0|64)$' --benchmark_min_time=2 \
  --benchmark_format=json >"$out/render.json" 2>/dev/null
node bench/render_peer.js >"$out/render_peer.json"
echo "bench: decode" >&2
build-bench/bench/decode_bench --benchmark_format=json "$dir"/track.{wav,flac} "$dir"/track-{cbr,vbr}.mp3 \
  "$dir"/track.{ogg,opus} >"$out/decode.json" 2>/dev/null
echo "bench: prepared and streamed loads" >&2
node bench/prepared_load.js "$dir/five-minutes.flac" "$out/five-minutes-unprepared.flac" 2>/dev/null |
  grep '^{' >"$out/prepared.json"
VELMORA_BENCH_DIR="$dir" node bench/streaming_load.js --json 2>/dev/null | grep '^{' >"$out/streaming.json"
echo "bench: waveform and trim (${VELMORA_BENCH_MINUTES:-60}-minute tracks)" >&2
build-bench/bench/analysis_bench >"$out/analysis.txt" 2>/dev/null
echo "bench: script calls while a missing device is retried" >&2
build-bench/bench/retry_latency_bench --seconds "${VELMORA_BENCH_RETRY_SECONDS:-20}" >"$out/retry.json" || true
echo "bench: script calls against a running render" >&2
node bench/control_rate.js 2>/dev/null | grep '^{' >"$out/control.json" || true
soak=${VELMORA_BENCH_SOAK_SECONDS:-600}
echo "bench: callback time on the JACK dummy device (${soak} s)" >&2
# A run that cannot start its JACK server leaves the row "not run".
build-bench/bench/callback_soak --seconds "$soak" --analyse "$dir/track.flac" --analyse "$dir/track-vbr.mp3" \
  2>/dev/null | grep '^{' >"$out/callback.json" || true

node bench/table.js "$out"
