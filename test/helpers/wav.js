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

// Reads a PCM (16/24/32-bit) or float WAV into per-channel Float64Arrays.
function readWav(file) {
  const data = fs.readFileSync(file);
  let offset = 12;
  let format = null;
  while (offset + 8 <= data.length) {
    const id = data.toString('ascii', offset, offset + 4);
    const size = data.readUInt32LE(offset + 4);
    const body = offset + 8;
    if (id === 'fmt ') {
      format = {
        tag: data.readUInt16LE(body), channels: data.readUInt16LE(body + 2),
        sampleRate: data.readUInt32LE(body + 4), bits: data.readUInt16LE(body + 14),
      };
      if (format.tag === 0xfffe) format.tag = data.readUInt16LE(body + 24);
    } else if (id === 'data' && format) {
      const bytes = format.bits / 8;
      const frames = Math.floor(Math.min(size, data.length - body) / (bytes * format.channels));
      const channels = Array.from({ length: format.channels }, () => new Float64Array(frames));
      for (let f = 0; f < frames; f += 1) {
        for (let c = 0; c < format.channels; c += 1) {
          const at = body + (f * format.channels + c) * bytes;
          let value;
          if (format.tag === 3) value = bytes === 4 ? data.readFloatLE(at) : data.readDoubleLE(at);
          else if (bytes === 2) value = data.readInt16LE(at) / 32768;
          else if (bytes === 3) value = data.readIntLE(at, 3) / 8388608;
          else value = data.readInt32LE(at) / 2147483648;
          channels[c][f] = value;
        }
      }
      return { sampleRate: format.sampleRate, channels };
    }
    offset = body + size + (size % 2);
  }
  throw new Error(`not a WAV file: ${file}`);
}

// Level and pitch of a recorded channel: RMS, peak and the frequency from its
// zero crossings, over the frames whose level is above `floor`.
function measure(samples, sampleRate) {
  let sum = 0;
  let peak = 0;
  let crossings = 0;
  for (let i = 0; i < samples.length; i += 1) {
    sum += samples[i] * samples[i];
    peak = Math.max(peak, Math.abs(samples[i]));
    if (i > 0 && samples[i - 1] < 0 && samples[i] >= 0) crossings += 1;
  }
  const seconds = samples.length / sampleRate;
  return { rms: Math.sqrt(sum / Math.max(samples.length, 1)), peak, frequency: crossings / seconds };
}

// Seconds of a channel whose 10 ms windows are louder than `threshold`.
function audibleSeconds(samples, sampleRate, threshold = 0.01) {
  const window = Math.round(sampleRate / 100);
  let loud = 0;
  for (let start = 0; start + window <= samples.length; start += window) {
    let sum = 0;
    for (let i = start; i < start + window; i += 1) sum += samples[i] * samples[i];
    if (Math.sqrt(sum / window) > threshold) loud += 1;
  }
  return loud / 100;
}

module.exports = { fixtureDir, writeFloatWav, writeGarbage, missingPath, readWav, measure, audibleSeconds };
