'use strict';
// Compares two outputs of velmora_decode_dump (the Linux and the Windows
// build, same files in the same order): rates, channel counts and lengths
// equal, every sample identical, except Opus: its decoder builds tables with
// the C library's math functions, which can differ in the last bit between
// glibc and Windows' runtime: its samples may differ by one float step at full scale
// (2^-23; measured: 2^-24 at most).
//   node compare-decoded.js LINUX_DUMP WINDOWS_DUMP NAME...
// Prints one JSON line per file and exits with 1 on a difference.
const fs = require('fs');

const TOLERANCE = { opus: 2 ** -23 };

function parse(file) {
  const bytes = fs.readFileSync(file);
  const tracks = [];
  for (let at = 0; at < bytes.length;) {
    const end = bytes.indexOf(10, at);
    const [rate, channels, count] = bytes.toString('latin1', at, end).split(' ').map(Number);
    const start = end + 1;
    const samples = new Int32Array(bytes.buffer.slice(bytes.byteOffset + start, bytes.byteOffset + start + count * 4));
    tracks.push({ rate, channels, samples });
    at = start + count * 4;
  }
  return tracks;
}

// Float32 bits made monotonic, so that a difference counts the steps between.
const ordered = (bits) => (bits < 0 ? -2147483648 - bits : bits);
const asFloat = (bits) => new Float32Array(Int32Array.of(bits).buffer)[0];

const [linux, windows] = [parse(process.argv[2]), parse(process.argv[3])];
const names = process.argv.slice(4);
let failed = linux.length !== windows.length || linux.length !== names.length;
names.forEach((name, i) => {
  const [a, b] = [linux[i], windows[i]];
  if (!a || !b) return;
  const result = { name, rate: a.rate, channels: a.channels, samples: a.samples.length, maxUlps: 0, maxDifference: 0, differing: 0 };
  const same = a.rate === b.rate && a.channels === b.channels && a.samples.length === b.samples.length;
  if (same) {
    for (let s = 0; s < a.samples.length; s += 1) {
      const ulps = Math.abs(ordered(a.samples[s]) - ordered(b.samples[s]));
      if (ulps > 0) result.differing += 1;
      if (ulps > result.maxUlps) result.maxUlps = ulps;
      if (ulps > 0) {
        const difference = Math.abs(asFloat(a.samples[s]) - asFloat(b.samples[s]));
        if (difference > result.maxDifference) result.maxDifference = difference;
      }
    }
  } else {
    result.windows = { rate: b.rate, channels: b.channels, samples: b.samples.length };
  }
  result.ok = same && result.maxDifference <= (TOLERANCE[name] || 0);
  failed ||= !result.ok;
  console.log(JSON.stringify(result));
});
process.exitCode = failed ? 1 : 0;
