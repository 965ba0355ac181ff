'use strict';
// Small music-like test tracks written as 16-bit stereo WAV, so the examples
// need no audio files: a second of silence, a fade in, an arpeggio over a
// bass note, a fade out, a second of silence.
const fs = require('fs');

const SAMPLE_RATE = 44100;

function noteFrequency(semitonesFromA4) {
  return 440 * Math.pow(2, semitonesFromA4 / 12);
}

// Returns interleaved stereo float samples in [-1, 1].
function synthesize({ musicSeconds = 24, silenceSeconds = 1, fadeSeconds = 2, root = 0, tempo = 120 } = {}) {
  const rate = SAMPLE_RATE;
  const silenceFrames = Math.round(silenceSeconds * rate);
  const musicFrames = Math.round(musicSeconds * rate);
  const fadeFrames = Math.min(Math.round(fadeSeconds * rate), Math.floor(musicFrames / 2));
  const totalFrames = silenceFrames * 2 + musicFrames;
  const samples = new Float32Array(totalFrames * 2);
  const chord = [0, 4, 7, 12, 7, 4].map((step) => noteFrequency(root + step));
  const bass = noteFrequency(root - 24);
  const noteFrames = Math.round((60 / tempo / 2) * rate);
  for (let i = 0; i < musicFrames; i++) {
    const t = i / rate;
    const noteIndex = Math.floor(i / noteFrames);
    const inNote = (i % noteFrames) / rate;
    const pluck = Math.exp(-inNote * 6);
    const freq = chord[noteIndex % chord.length];
    const lead = pluck * (Math.sin(2 * Math.PI * freq * t) + 0.3 * Math.sin(4 * Math.PI * freq * t));
    const bassLine = 0.5 * Math.sin(2 * Math.PI * bass * t) * (0.7 + 0.3 * Math.sin(2 * Math.PI * 0.25 * t));
    let gain = 1;
    if (i < fadeFrames) gain = i / fadeFrames;
    else if (i >= musicFrames - fadeFrames) gain = (musicFrames - 1 - i) / fadeFrames;
    const pan = 0.5 + 0.3 * Math.sin(2 * Math.PI * 0.1 * t);
    const frame = silenceFrames + i;
    samples[frame * 2] = 0.4 * gain * (lead * (1 - pan) + bassLine);
    samples[frame * 2 + 1] = 0.4 * gain * (lead * pan + bassLine);
  }
  return { samples, sampleRate: rate, channels: 2, durationSeconds: totalFrames / rate };
}

// Interleaved samples to a WAV file image: 16-bit PCM, or 32-bit float with
// `float` set.
function encodeWav({ samples, sampleRate, channels, float = false }) {
  const bytes = float ? 4 : 2;
  const dataBytes = samples.length * bytes;
  const buffer = Buffer.alloc(44 + dataBytes);
  buffer.write('RIFF', 0, 'ascii');
  buffer.writeUInt32LE(36 + dataBytes, 4);
  buffer.write('WAVE', 8, 'ascii');
  buffer.write('fmt ', 12, 'ascii');
  buffer.writeUInt32LE(16, 16);
  buffer.writeUInt16LE(float ? 3 : 1, 20);
  buffer.writeUInt16LE(channels, 22);
  buffer.writeUInt32LE(sampleRate, 24);
  buffer.writeUInt32LE(sampleRate * channels * bytes, 28);
  buffer.writeUInt16LE(channels * bytes, 32);
  buffer.writeUInt16LE(bytes * 8, 34);
  buffer.write('data', 36, 'ascii');
  buffer.writeUInt32LE(dataBytes, 40);
  for (let i = 0; i < samples.length; i++) {
    if (float) buffer.writeFloatLE(samples[i], 44 + i * 4);
    else buffer.writeInt16LE(Math.round(Math.max(-1, Math.min(1, samples[i])) * 32767), 44 + i * 2);
  }
  return buffer;
}

// Writes a generated track and returns its descriptor fields.
function writeTrack(filePath, options) {
  const track = synthesize(options);
  fs.writeFileSync(filePath, encodeWav(track));
  return { path: filePath, durationSeconds: track.durationSeconds };
}

module.exports = { synthesize, encodeWav, writeTrack, SAMPLE_RATE };
