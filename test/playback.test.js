'use strict';
// Decks playing real files on a JACK dummy server, heard in recordings of the
// engine's output ports.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { JackServer, available, enginePorts, record } = require('./helpers/jack');
const { writeFloatWav, fixtureDir, readWav, measure, audibleSeconds } = require('./helpers/wav');

const skip = available ? false : 'jackd2 is not installed';
const server = new JackServer();  // sets the environment before the module loads
const native = require('..');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

test.before(async () => {
  if (skip) return;
  await server.start();
});

test.after(async () => {
  native.shutdown();
  await server.stop();
});

async function openEngine() {
  native.shutdown();
  native.initialize({ bufferSize: 256, deviceId: server.device(native).id });
  for (let i = 0; i < 40 && !native.getRuntimeInfo().streamOpen; i += 1) await sleep(50);
  const info = native.getRuntimeInfo();
  assert.ok(info.streamOpen && info.streamActive, info.lastError);
}

// Starts recording channels [first, first + count); resolves once connected,
// with `{ recording }`, a promise of the decoded recording.
async function startRecording(first, count, seconds, name) {
  const ports = enginePorts(server).slice(first, first + count);
  assert.equal(ports.length, count);
  const file = path.join(fixtureDir(), name);
  const { started, done } = record(server, ports, seconds, file);
  await started;
  return { recording: done.then(readWav) };
}

test('a decoded track is heard at its level on the assigned channels', { skip }, async () => {
  const file = writeFloatWav('sine1k.wav', { sampleRate: 48000, seconds: 5, frequency: 1000, amplitude: 0.5 });
  await openEngine();
  native.assignDeckOutput({ deckId: 'A', assignment: { channelOffset: 2, channelCount: 2 } });
  native.loadTrack({ deckId: 'A', track: { id: 'sine', path: file } });
  native.setDeckVolume({ deckId: 'A', volume: 0.5 });
  assert.equal(native.play({ deckId: 'A' }).playing, true);
  await sleep(200);
  const recording = await (await startRecording(0, 4, 1, 'heard.wav')).recording;
  const [c0, c1, c2, c3] = recording.channels.map((samples) => measure(samples, recording.sampleRate));
  assert.ok(c0.peak < 1e-4 && c1.peak < 1e-4, 'nothing on channels 1 and 2');
  for (const channel of [c2, c3]) {
    assert.ok(Math.abs(channel.rms - 0.25 * Math.SQRT1_2) < 0.01, `rms ${channel.rms}`);
    assert.ok(Math.abs(channel.frequency - 1000) < 5, `frequency ${channel.frequency}`);
  }
  const state = native.getDeckState({ deckId: 'A' });
  assert.ok(state.meter.peakL > 0.2 && state.meter.peakL < 0.3, JSON.stringify(state.meter));
  native.shutdown();
});

test('a long track streams, plays to its cue-out and is heard until then', { skip }, async () => {
  const file = writeFloatWav('stream.wav', { sampleRate: 44100, seconds: 4, frequency: 440, amplitude: 0.5 });
  const track = { id: 'long', path: file, duration: 600, cueIn: 0.5, cueOut: 1.5 };
  assert.deepEqual(await native.prepareTrack({ track }), { ok: true, message: '' });
  await openEngine();
  const loaded = native.loadTrack({ deckId: 'S', track });
  assert.equal(loaded.loaded, true);
  assert.ok(Math.abs(loaded.durationSeconds - 4) < 1e-3, `duration ${loaded.durationSeconds}`);
  assert.equal(loaded.positionSeconds, 0.5);
  const { recording } = await startRecording(0, 2, 2, 'stream-recording.wav');
  native.play({ deckId: 'S' });
  const heard = await recording;
  const audible = audibleSeconds(heard.channels[0], heard.sampleRate);
  assert.ok(Math.abs(audible - 1.0) < 0.1, `audible for ${audible} s`);
  const state = native.getDeckState({ deckId: 'S' });
  assert.equal(state.playing, false);
  assert.equal(state.positionSeconds, 1.5);
  assert.equal(native.getRuntimeInfo().callbackDropCount, 0);

  // Streamed tracks never enter the decoded-track cache: without the file,
  // a plain load of the same path has nothing to fall back on.
  const copy = path.join(fixtureDir(), 'stream-copy.wav');
  fs.copyFileSync(file, copy);
  native.loadTrack({ deckId: 'T', track: { ...track, path: copy } });
  fs.unlinkSync(copy);
  assert.equal(native.loadTrack({ deckId: 'U', track: { path: copy } }).loaded, false);
  native.shutdown();
});
