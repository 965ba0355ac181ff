'use strict';
// Test fixtures made at run time: float WAV files in a per-process temp dir.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { encodeWav } = require('../../examples/synth');

let dir = null;

function fixtureDir() {
  if (dir === null) {
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-test-'));
    process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
  }
  return dir;
}

// Writes a 32-bit float WAV: a sine of `amplitude`, with optional silence
// before and after it. Returns the file's path.
function writeFloatWav(name, {
  sampleRate = 44100, channels = 2, seconds = 2, frequency = 440, amplitude = 0.5,
  silenceHeadSeconds = 0, silenceTailSeconds = 0,
} = {}) {
  const frames = Math.round(sampleRate * seconds);
  const head = Math.round(sampleRate * silenceHeadSeconds);
  const tail = Math.round(sampleRate * silenceTailSeconds);
  const samples = new Float32Array(frames * channels);
  for (let i = 0; i < frames; i += 1) {
    const audible = i >= head && i < frames - tail;
    const value = audible ? amplitude * Math.sin((2 * Math.PI * frequency * i) / sampleRate) : 0;
    samples.fill(value, i * channels, (i + 1) * channels);
  }
  const buffer = encodeWav({ samples, sampleRate, channels, float: true });
  const file = path.join(fixtureDir(), name);
  fs.writeFileSync(file, buffer);
  return file;
}

// A file no decoder recognises.
function writeGarbage(name) {
  const file = path.join(fixtureDir(), name);
  fs.writeFileSync(file, Buffer.from('this is not audio at all, just text '.repeat(64)));
  return file;
}

function missingPath(name = 'missing.wav') {
  return path.join(fixtureDir(), 'does-not-exist', name);
}

module.exports = { fixtureDir, writeFloatWav, writeGarbage, missingPath };
