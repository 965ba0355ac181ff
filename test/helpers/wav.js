'use strict';
// Test fixtures made at run time: float WAV files in a per-process temp dir.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

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
  const dataBytes = frames * channels * 4;
  const buffer = Buffer.alloc(44 + dataBytes);
  buffer.write('RIFF', 0, 'ascii');
  buffer.writeUInt32LE(36 + dataBytes, 4);
  buffer.write('WAVE', 8, 'ascii');
  buffer.write('fmt ', 12, 'ascii');
  buffer.writeUInt32LE(16, 16);
  buffer.writeUInt16LE(3, 20); // IEEE float
  buffer.writeUInt16LE(channels, 22);
  buffer.writeUInt32LE(sampleRate, 24);
  buffer.writeUInt32LE(sampleRate * channels * 4, 28);
  buffer.writeUInt16LE(channels * 4, 32);
  buffer.writeUInt16LE(32, 34);
  buffer.write('data', 36, 'ascii');
  buffer.writeUInt32LE(dataBytes, 40);
  let offset = 44;
  for (let i = 0; i < frames; i += 1) {
    const audible = i >= head && i < frames - tail;
    const value = audible ? amplitude * Math.sin((2 * Math.PI * frequency * i) / sampleRate) : 0;
    for (let c = 0; c < channels; c += 1) {
      buffer.writeFloatLE(value, offset);
      offset += 4;
    }
  }
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
