'use strict';
// Loading a two-hour track (streamed) against a one-minute track (decoded
// whole): load time and growth of the process's resident memory.
// Usage: node bench/streaming_load.js   (inputs are generated into a cache dir)
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const native = require('..');

const cacheDir = process.env.VELMORA_BENCH_DIR || path.join(os.tmpdir(), 'velmora-bench-inputs');
fs.mkdirSync(cacheDir, { recursive: true });

function generate(name, seconds) {
  const file = path.join(cacheDir, name);
  if (!fs.existsSync(file)) {
    // Pink noise mixed with a tone.
    execFileSync('sox', ['-n', '-r', '44100', '-c', '2', '-b', '16', file, 'synth', String(seconds),
      'pinknoise', 'synth', String(seconds), 'sine', 'mix', '440', 'vol', '0.3'], { stdio: 'ignore' });
  }
  return file;
}

function rssMiB() {
  return process.memoryUsage().rss / (1024 * 1024);
}

function measureLoad(deckId, track) {
  global.gc?.();
  const before = rssMiB();
  const start = process.hrtime.bigint();
  const state = native.loadTrack({ deckId, track });
  const ms = Number(process.hrtime.bigint() - start) / 1e6;
  return { ms, rssGrowthMiB: rssMiB() - before, state };
}

const twoHours = generate('two-hours.flac', 7200);
const oneMinute = generate('one-minute.flac', 60);
native.initialize({});

const streamed = measureLoad('long', { path: twoHours });
const decoded = measureLoad('short', { path: oneMinute });
// A streaming deck holds its ring: 32,000 frames of the file's channels.
const ringMiB = (32000 * 2 * 4) / (1024 * 1024);

if (process.argv.includes('--json')) {
  console.log(JSON.stringify({ streamedMs: streamed.ms, streamedGrowthMiB: streamed.rssGrowthMiB,
    ringMiB, decodedMs: decoded.ms, decodedGrowthMiB: decoded.rssGrowthMiB }));
  native.shutdown();
  process.exit(0);
}
console.log('| load | track | time (ms) | resident growth (MiB) | audio held (MiB) |');
console.log('|---|---|---|---|---|');
console.log(`| streamed | 2 h FLAC (${streamed.state.durationSeconds.toFixed(0)} s) | ${streamed.ms.toFixed(2)} | ${streamed.rssGrowthMiB.toFixed(2)} | ${ringMiB.toFixed(2)} |`);
console.log(`| decoded | 1 min FLAC (${decoded.state.durationSeconds.toFixed(0)} s) | ${decoded.ms.toFixed(2)} | ${decoded.rssGrowthMiB.toFixed(2)} | ${((decoded.state.durationSeconds * 44100 * 2 * 4) / (1024 * 1024)).toFixed(2)} |`);
native.shutdown();
