#!/usr/bin/env bash
# Times decodeTrack against the ffmpeg command line on a 5-minute file per
# format. Usage: bench/decode_vs_ffmpeg.sh [build-dir]   (built with -DVELMORA_BENCH=ON)
set -euo pipefail
build=${1:-build-bench}
bench="$build/bench/decode_bench"
[ -x "$bench" ] || { echo "missing $bench: cmake -B $build -DVELMORA_BENCH=ON && cmake --build $build -j2" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sox -n -r 44100 -c 2 -b 16 "$dir/track.wav" synth 300 sine 100-8000 vol 0.5
flac -s -f "$dir/track.wav" -o "$dir/track.flac"
lame --silent "$dir/track.wav" "$dir/track.mp3"
oggenc -Q "$dir/track.wav" -o "$dir/track.ogg"
opusenc --quiet "$dir/track.wav" "$dir/track.opus"
formats=(wav flac mp3 ogg opus)

files=()
for f in "${formats[@]}"; do files+=("$dir/track.$f"); done
"$bench" --benchmark_format=csv "${files[@]}" 2>/dev/null > "$dir/bench.csv"

runs=3
printf '%-6s %14s %14s %8s\n' format decodeTrack_ms ffmpeg_ms ratio
for f in "${formats[@]}"; do
    ours=$(grep "\"decodeTrack/track.$f/" "$dir/bench.csv" | cut -d, -f3)
    start=$(date +%s%N)
    for _ in $(seq $runs); do ffmpeg -v quiet -i "$dir/track.$f" -f f32le -y /dev/null; done
    theirs=$(( ($(date +%s%N) - start) / runs / 1000000 ))
    awk -v f="$f" -v a="$ours" -v b="$theirs" \
        'BEGIN { printf "%-6s %14.1f %14d %8.2f\n", f, a, b, (b > 0 ? a / b : 0) }'
done
