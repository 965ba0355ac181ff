'use strict';
// Shapes of the returned records: key order, nesting, fresh objects.
const { test, beforeEach, after } = require('node:test');
const assert = require('node:assert/strict');
const { native, DECK_KEYS, METER_KEYS, OUTPUT_KEYS, TRACK_KEYS, assertKeys } = require('./helpers/engine.js');
const { writeFloatWav } = require('./helpers/wav.js');

const CONFIG_KEYS = ['backend', 'sampleRate', 'bufferSize', 'deviceId', 'showCriticalMode',
  'masterLimiterEnabled', 'masterLimiterCeiling'];
const DEVICE_KEYS = ['id', 'name', 'channels', 'isDefault', 'backend', 'hostApiName', 'isAsio',
  'defaultSampleRate', 'defaultLowOutputLatencyMs', 'defaultHighOutputLatencyMs',
  'supportedSampleRates', 'asioSupportedSampleRates', 'asioMinBufferSize', 'asioMaxBufferSize',
  'asioPreferredBufferSize', 'asioGranularity'];
const RUNTIME_KEYS = ['streamOpen', 'streamActive', 'streamStopped', 'usingCallbackStream',
  'activeBackend', 'activeDeviceId', 'activeHostApiName', 'activeDeviceName', 'channels', 'sampleRate',
  'bufferSize', 'requestedBufferSize', 'outputLatencyMs', 'streamCpuLoadPercent', 'xrunCount',
  'callbackDropCount', 'streamHealth', 'callbackBudgetMs', 'avgCallbackMs', 'maxCallbackMs',
  'audioThreadLoadPercent', 'callbackOverloadCount', 'limiterEngagedCount', 'deviceRestartCount',
  'showCriticalMode', 'masterLimiterEnabled', 'masterLimiterCeiling', 'lastError'];

beforeEach(() => native.shutdown());
after(() => native.shutdown());

function assertDeckShape(state) {
  assertKeys(state, DECK_KEYS, 'deck state');
  assertKeys(state.meter, METER_KEYS, 'meter');
  assertKeys(state.trackMeter, METER_KEYS, 'trackMeter');
  assertKeys(state.output, OUTPUT_KEYS, 'output');
  if (state.track !== null) assertKeys(state.track, TRACK_KEYS, 'track');
}

test('configuration, runtime information and device entries keep their key order', () => {
  assertKeys(native.initialize(), CONFIG_KEYS);
  assertKeys(native.getRuntimeInfo(), RUNTIME_KEYS);
  const devices = native.getDevices();
  assert.ok(devices.length >= 1);
  for (const device of devices) {
    assertKeys(device, DEVICE_KEYS, device.id);
    assert.ok(['standard', 'asio'].includes(device.backend));
    assert.equal(device.supportedSampleRates, device.asioSupportedSampleRates);
  }
});

test('every deck operation returns the deck state shape', () => {
  const file = writeFloatWav('shape.wav', { seconds: 0.5 });
  const deckId = 'shape';
  const track = { id: 't', path: file, name: 'Shape', duration: 0.5, cueIn: 0, cueOut: 0 };
  const states = [
    native.createDeck({ deckId }),
    native.assignDeckOutput({ deckId, assignment: {} }),
    native.loadTrack({ deckId, track }),
    native.play({ deckId }),
    native.pause({ deckId }),
    native.stop({ deckId }),
    native.seek({ deckId, seconds: 0.1 }),
    native.setDeckVolume({ deckId, volume: 0.5 }),
    native.setTrackGain({ deckId, gain: 0.5 }),
    native.updateTrack({ deckId, track }),
    native.fadeTo({ deckId }),
    native.getDeckState({ deckId }),
    native.getDeckState({ deckId: 'unknown' }),
  ];
  for (const state of states) assertDeckShape(state);
  assert.deepEqual(states[2].track, track);
});

test('a deck without a descriptor reports track null', () => {
  for (const state of [native.createDeck({ deckId: 'n' }), native.getDeckState({ deckId: 'n' }),
    native.getDeckState({ deckId: 'never' })]) {
    assert.ok(Object.hasOwn(state, 'track'));
    assert.equal(state.track, null);
  }
});

test('returned objects are new every time', () => {
  const a = native.createDeck({ deckId: 'fresh' });
  const b = native.getDeckState({ deckId: 'fresh' });
  assert.notEqual(a, b);
  assert.notEqual(a.meter, b.meter);
  assert.notEqual(a.output, b.output);
  a.output.channelOffset = 9;
  a.deckVolume = 4;
  assert.deepEqual(native.getDeckState({ deckId: 'fresh' }), b);

  assert.notEqual(native.getRuntimeInfo(), native.getRuntimeInfo());
  assert.notEqual(native.initialize(), native.initialize());
  const [first] = native.getDevices();
  first.supportedSampleRates.push(1);
  assert.deepEqual(first.asioSupportedSampleRates, first.supportedSampleRates);
  assert.notEqual(native.getDevices()[0].supportedSampleRates, first.supportedSampleRates);
  assert.ok(!native.getDevices()[0].supportedSampleRates.includes(1));
});

test('job results keep their key order, also on failure', async () => {
  const file = writeFloatWav('jobs-shape.wav', { seconds: 0.5 });
  for (const path of [file, '']) {
    const track = { path };
    assertKeys(await native.prepareTrack({ track }), ['ok', 'message']);
    const waveform = await native.analyzeWaveform({ track });
    assertKeys(waveform, ['ok', 'message', 'durationSeconds', 'sampleRate', 'channels', 'peaks']);
    assert.ok(Array.isArray(waveform.peaks));
    for (const peak of waveform.peaks) assertKeys(peak, ['min', 'max', 'avg', 'amp']);
    assertKeys(await native.analyzeTrim({ track }),
      ['ok', 'message', 'cueInSeconds', 'cueOutSeconds', 'durationSeconds']);
  }
});
