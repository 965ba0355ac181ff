#!/usr/bin/env bash
# Seed corpora for the fuzz targets: tiny files of every container and codec
# the decode chain handles, made with the test tools, plus truncated copies.
# Decode seeds start with the byte that picks the file extension (see
# native/fuzz/fuzz_files.hpp).
set -euo pipefail
out=${1:?corpus directory}
mkdir -p "$out/decode" "$out/analysis"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sox -n -r 8000 -c 2 -b 16 "$work/tone.wav" synth 0.05 sine 440 >/dev/null 2>&1
sox -n -r 8000 -c 1 -e floating-point -b 32 "$work/mono-float.wav" synth 0.05 sine 220 >/dev/null 2>&1
sox "$work/tone.wav" "$work/tone.flac" >/dev/null 2>&1
sox "$work/tone.wav" "$work/tone.aiff" >/dev/null 2>&1
sox "$work/tone.wav" "$work/tone.caf" >/dev/null 2>&1 || true
sox "$work/tone.wav" -t w64 "$work/tone.w64" >/dev/null 2>&1
ff() { ffmpeg -v quiet -y -i "$work/tone.wav" "$@"; }
ff -c:a libvorbis "$work/tone.ogg" || ff -c:a vorbis -strict -2 "$work/tone.ogg"
ff -ar 48000 -c:a libopus "$work/tone.opus" || true
ff -c:a libmp3lame "$work/tone.mp3" || lame --quiet "$work/tone.wav" "$work/tone.mp3"
ff -c:a aac "$work/tone.m4a"
ff -c:a pcm_s24le "$work/tone24.wav"

# Extension indices as in fuzz_files.hpp.
index() {
  case "$1" in
    wav) echo 0 ;; flac) echo 1 ;; ogg) echo 2 ;; mp3) echo 3 ;; opus) echo 4 ;;
    aiff) echo 5 ;; m4a) echo 6 ;; caf) echo 7 ;; bin) echo 8 ;; w64) echo 9 ;;
  esac
}
for file in "$work"/*; do
  [ -s "$file" ] || continue
  name=$(basename "$file")
  byte=$(index "${name##*.}")
  { printf "\\x$(printf %02x "$byte")"; cat "$file"; } >"$out/decode/$name"
  size=$(stat -c %s "$file")
  { printf "\\x$(printf %02x "$byte")"; head -c $((size / 2)) "$file"; } >"$out/decode/half-$name"
  { printf "\\x$(printf %02x "$byte")"; head -c 64 "$file"; } >"$out/decode/head-$name"
  # The same bytes under a wrong extension exercise the fallback decoder.
  { printf '\x08'; cat "$file"; } >"$out/decode/bin-$name"
done

# Analyses: header (rate, channels, three doubles, points, block frames - 1)
# then float samples.
python3 - "$out/analysis" <<'PY'
import math, os, struct, sys
out = sys.argv[1]
def write(name, rate, channels, window, pre, post, points, block, samples):
    with open(os.path.join(out, name), 'wb') as f:
        f.write(struct.pack('<BBdddiB', rate, channels, window, pre, post, points, block - 1))
        f.write(struct.pack('<%df' % len(samples), *samples))
tone = [0.0] * 200 + [0.5 * math.sin(i * 0.1) for i in range(2000)] + [0.0] * 200
write('tone', 2, 1, 10.0, 0.3, 0.3, 200, 16, tone)
write('stereo', 5, 2, 1.0, 0.0, 0.0, 64, 7, tone)
write('silence', 3, 1, 10.0, 0.3, 0.3, 1200, 64, [0.0] * 1000)
write('nan-params', 4, 1, float('nan'), float('inf'), -1e300, -5, 1, tone[:500])
PY
echo "fuzz-corpus: $(ls "$out/decode" | wc -l) decode, $(ls "$out/analysis" | wc -l) analysis seeds"
