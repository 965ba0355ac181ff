'use strict';
// Shapes of the returned records, as index.d.ts declares them: key order,
// nesting, fresh objects.
const { test, beforeEach, after } = require('node:test');
const assert = require('node:assert/strict');
const { native, assertKeys } = require('./helpers/engine.js');
const { writeFloatWav } = require('./helpers/wav.js');

beforeEach(() => native.shutdown());
after(() => native.shutdown());

test('configuration, runtime information and device entries keep their key order', () => {
  assertKeys(native.initialize(), 'EngineConfig');
  assertKeys(native.getRuntimeInfo(), 'RuntimeInfo');
  const devices = native.getDevices();
  assert.ok(devices.length >= 1);
  for (const device of devices) {
    assertKeys(device, 'DeviceInfo', device.id);
    assert.equal(device.supportedSampleRates, device.asioSupportedSampleRates);
  }
});

test('every deck operation returns the deck state shape', () => {
  const deckId = 'shape';
  const track = { id: 't', path: writeFloatWav('shape.wav', { seconds: 0.5 }), name: 'Shape', duration: 0.5, cueIn: 0, cueOut: 0 };
  const states = [
    native.createDeck({ deckId }), native.assignDeckOutput({ deckId, assignment: {} }),
    native.loadTrack({ deckId, track }), native.play({ deckId }), native.pause({ deckId }), native.stop({ deckId }),
    native.seek({ deckId, seconds: 0.1 }), native.setDeckVolume({ deckId, volume: 0.5 }),
    native.setTrackGain({ deckId, gain: 0.5 }), native.updateTrack({ deckId, track }), native.fadeTo({ deckId }),
    native.getDeckState({ deckId }), native.getDeckState({ deckId: 'unknown' }),
  ];
  for (const state of states) {
    assertKeys(state, 'DeckState');
    assertKeys(state.meter, 'Meter');
    assertKeys(state.trackMeter, 'Meter');
    assertKeys(state.output, 'OutputAssignment');
    if (state.track !== null) assertKeys(state.track, 'TrackInfo');
  }
  assert.equal(states[0].track, null);
  assert.deepEqual(states[2].track, track);
});

test('returned objects are new every time', () => {
  const a = native.createDeck({ deckId: 'fresh' });
  const b = native.getDeckState({ deckId: 'fresh' });
  assert.notEqual(a.meter, b.meter);
  assert.notEqual(a.output, b.output);
  a.output.channelOffset = 9;
  a.deckVolume = 4;
  assert.deepEqual(native.getDeckState({ deckId: 'fresh' }), b);

  assert.notEqual(native.getRuntimeInfo(), native.getRuntimeInfo());
  assert.notEqual(native.initialize(), native.initialize());
  const [first] = native.getDevices();
  first.supportedSampleRates.push(1);
  assert.ok(!native.getDevices()[0].supportedSampleRates.includes(1));
});

test('job results keep their key order, also on failure', async () => {
  for (const path of [writeFloatWav('jobs-shape.wav', { seconds: 0.5 }), '']) {
    const track = { path };
    assertKeys(await native.prepareTrack({ track }), 'PrepareResult');
    const waveform = await native.analyzeWaveform({ track });
    assertKeys(waveform, 'WaveformResult');
    for (const peak of waveform.peaks) assertKeys(peak, 'WaveformPeak');
    assertKeys(await native.analyzeTrim({ track }), 'TrimResult');
  }
});
