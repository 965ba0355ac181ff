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

function write(name, data) {
  const file = path.join(fixtureDir(), name);
  fs.writeFileSync(file, data);
  return file;
}

// A 32-bit float WAV of a sine of `amplitude`; returns its path.
function writeFloatWav(name, { sampleRate = 44100, channels = 2, seconds = 2, frequency = 440, amplitude = 0.5 } = {}) {
  const frames = Math.round(sampleRate * seconds);
  const samples = new Float32Array(frames * channels);
  for (let i = 0; i < frames; i += 1) {
    samples.fill(amplitude * Math.sin((2 * Math.PI * frequency * i) / sampleRate), i * channels, (i + 1) * channels);
  }
  return write(name, encodeWav({ samples, sampleRate, channels, float: true }));
}

// A file no decoder recognises.
const writeGarbage = (name) => write(name, Buffer.from('this is not audio at all, just text '.repeat(64)));
const missingPath = (name = 'missing.wav') => path.join(fixtureDir(), 'does-not-exist', name);

module.exports = { fixtureDir, writeFloatWav, writeGarbage, missingPath };
