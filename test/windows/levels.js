'use strict';
// Checks a recording of test/windows/sound.js's "play" mode (raw float32
// stereo at 48 kHz, from parec): a 1 kHz sine at volume 0.5 is at half scale
// on both channels, then fades out gradually to silence.
//   node levels.js RECORDING
// Prints one JSON line (the levels) and exits with 1 when they are wrong.
const fs = require('fs');

const RATE = 48000;
const WINDOW = RATE / 20;  // 50 ms
const bytes = fs.readFileSync(process.argv[2]);
const samples = new Float32Array(bytes.buffer, bytes.byteOffset, Math.floor(bytes.length / 4));
const frames = samples.length / 2;
const failures = [];

const onset = (() => {
  for (let i = 0; i < samples.length; i += 1) if (Math.abs(samples[i]) > 0.05) return i >> 1;
  return -1;
})();
// Peak of each channel over each 50 ms window from the onset on.
const windows = [];
for (let start = Math.max(onset, 0); onset >= 0 && start + WINDOW <= frames; start += WINDOW) {
  const peak = [0, 0];
  for (let f = start; f < start + WINDOW; f += 1) {
    for (let c = 0; c < 2; c += 1) peak[c] = Math.max(peak[c], Math.abs(samples[2 * f + c]));
  }
  windows.push(peak);
}
const max = (list) => list.reduce((a, b) => Math.max(a, b), 0);

// Past the first 100 ms (WASAPI under Wine may drop a few ms at the start).
// Wine drops whole blocks under load and the recording's timeline shifts
// with them, so the level is the loudest block's, not that of a fixed span.
const played = windows.slice(2);
const levels = {
  onsetSeconds: onset / RATE,
  peak: [0, 1].map((c) => max(played.map((w) => w[c]))),
};
if (onset < 0) failures.push('no sound recorded');
for (let c = 0; c < 2; c += 1) {
  if (!(Math.abs(levels.peak[c] - 0.5) < 0.01)) failures.push(`channel ${c} peak ${levels.peak[c]}, not 0.5`);
}

// The fade: from the last half-scale window to the last sound, never rising,
// through intermediate levels (a gradual fade, not a cut). Windows that Wine
// dropped whole (silent ones) are left out, here and in the count below.
const loudest = windows.map((w) => Math.max(w[0], w[1]));
const lastFull = loudest.findLastIndex((p) => p > 0.49);
const lastSound = loudest.findLastIndex((p) => p > 1e-3);
const fade = loudest.slice(lastFull, lastSound + 1).filter((p) => p > 1e-3);
levels.droppedWindows = windows.slice(2, lastSound + 1).filter((w) => Math.max(w[0], w[1]) < 1e-3).length;
levels.fadeSeconds = ((lastSound - lastFull + 1) * WINDOW) / RATE;
if (fade.filter((p) => p > 0.05 && p < 0.45).length < 3) failures.push('no gradual fade');
if (fade.some((p, i) => i > 0 && p > fade[i - 1] + 0.02)) failures.push('the level rose during the fade');
if (!(levels.fadeSeconds < 1.5)) failures.push(`the fade took ${levels.fadeSeconds} s`);
if (lastSound + 4 > windows.length) failures.push('no silence after the fade');

console.log(JSON.stringify({ ...levels, failures }));
process.exitCode = failures.length === 0 ? 0 : 1;
