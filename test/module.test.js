'use strict';
// The module's face: registered functions, request handling, the readers and
// the shapes of the returned records as index.d.ts declares them.
const { test, beforeEach, after } = require('node:test');
const assert = require('node:assert/strict');
const { native, FUNCTIONS, assertKeys } = require('./helpers/engine.js');
const { writeFloatWav, missingPath } = require('./helpers/wav.js');

const DEFAULT_CONFIG = {
  backend: 'standard', sampleRate: 48000, bufferSize: 256, deviceId: 'default',
  showCriticalMode: false, masterLimiterEnabled: true, masterLimiterCeiling: 0.98,
};
const EMPTY_TRACK = { id: '', path: '', name: '', duration: 0, cueIn: 0, cueOut: 0 };

beforeEach(() => native.shutdown());
after(() => native.shutdown());

test('require() and the ES entry export exactly the functions index.d.ts declares, each without a name', async () => {
  assert.deepEqual(Object.getOwnPropertyNames(native), FUNCTIONS);
  const esm = await import('../index.mjs');
  assert.deepEqual(Object.keys(esm), [...FUNCTIONS, 'default'].sort());
  assert.equal(esm.default, native);
  for (const name of FUNCTIONS) assert.deepEqual([native[name].name, esm[name]], ['', native[name]], name);
});

// Host failures throw: no request, a null one, a getter that throws.
test('a missing or null request or a throwing field throws, and creates no deck', () => {
  const noRequest = ['initialize', 'shutdown', 'getDevices', 'getRuntimeInfo'];
  for (const name of FUNCTIONS.filter((f) => !noRequest.includes(f))) {
    for (const args of [[], [undefined], [null]]) {
      assert.throws(() => native[name](...args), TypeError, `${name}(${args.map(String)})`);
    }
  }
  const trap = { get seconds() { throw new RangeError('trap'); } };
  assert.throws(() => native.seek(trap), RangeError);
  assert.equal(native.deleteDeck({ deckId: '' }), false);
});

test('non-object arguments and wrong types fall back to defaults; a deck id that is no string is ""', () => {
  const wrongTypes = { showCriticalMode: 1, masterLimiterEnabled: 0, sampleRate: '44100', backend: 5,
    masterLimiterCeiling: '1', deviceId: 3, bufferSize: '128' };
  for (const args of [[], [null], ['asio'], [42], [wrongTypes]]) {
    assert.deepEqual(native.initialize(...args), DEFAULT_CONFIG, `initialize(${JSON.stringify(args)})`);
  }
  const standard = native.getDevices({ backend: 'standard' });
  for (const args of [[], [null], ['asio']]) assert.deepEqual(native.getDevices(...args), standard);
  const plain = native.getRuntimeInfo();
  for (const args of [[null], [42, 'x'], [{ streamHealth: 'ok' }]]) assert.deepEqual(native.getRuntimeInfo(...args), plain);
  for (const request of [42, 'deck', true]) assert.equal(native.play(request).deckId, '', String(request));
});

// The reader rules, one row a reader: a field counts when `in` finds it (own
// or inherited, on any object) and its type is exactly right; any other
// value reads as the default: "1" is no number, 1 no boolean.
test('each reader takes a field of its own type only', () => {
  const load = () => native.loadTrack({ deckId: 'r', track: { path: missingPath(), duration: 10, cueIn: 2 } });
  const rows = [
    // reader, field, a value of its type, what the call reads back with it and with the default
    ['readDouble', 'seconds', 4, [4, 0], (request) => { load(); return native.seek(request).positionSeconds; }],
    ['readInt32', 'durationMs', 1000, [1, 0.25], (request) => {
      native.deleteDeck({ deckId: 'r' });
      return native.fadeTo(Object.assign(request, { targetVolume: 0.25 })).deckVolume;
    }],
    ['readBool', 'resetPosition', false, [5, 2], (options) => {
      load();
      native.seek({ deckId: 'r', seconds: 5 });
      return native.stop({ deckId: 'r', options }).positionSeconds;
    }],
    ['readString', 'deckId', 'x', ['x', ''], (request) => native.getDeckState(request).deckId],
  ];
  const holders = {
    own: (field, value) => ({ [field]: value }),
    inherited: (field, value) => Object.create({ [field]: value }),
    array: (field, value) => Object.assign([], { [field]: value }),
    function: (field, value) => Object.assign(() => {}, { [field]: value }),
  };
  const others = ['1', '0', '', 1, 0, true, false, null, undefined, 1n, [1], { valueOf: () => 1 }, () => 1, Symbol('1')];
  for (const [reader, field, value, [read, fallback], call] of rows) {
    // deckId 'r' on every request but the string reader's own.
    const request = (object) => (field === 'deckId' || field === 'resetPosition' ? object
      : Object.assign(object, { deckId: 'r' }));
    for (const [how, hold] of Object.entries(holders)) {
      assert.equal(call(request(hold(field, value))), read, `${reader} ${how}`);
    }
    assert.equal(call(request({})), fallback, `${reader} absent`);
    for (const other of others.filter((v) => typeof v !== typeof value)) {
      assert.equal(call(request(holders.own(field, other))), fallback, `${reader} ${String(other)}`);
    }
  }
});

test('int32 fields: fractions dropped, modulo 2^32, NaN 0, then clamped', () => {
  // A positive fade duration starts a fade (volume unchanged); zero or less sets it at once.
  const durations = [
    [250.9, 1], [0.9, 0.25], [NaN, 0.25], [Infinity, 0.25], [-5, 0.25],
    [2 ** 32, 0.25], [2 ** 32 + 1000, 1], [2 ** 31, 0.25], [-(2 ** 32) + 7, 1],
  ];
  for (const [durationMs, expected] of durations) {
    native.deleteDeck({ deckId: 'f' });
    assert.equal(native.fadeTo({ deckId: 'f', durationMs, targetVolume: 0.25 }).deckVolume, expected, `durationMs ${durationMs}`);
  }
  const assignments = [
    [{ channelOffset: 2.7, channelCount: 2.2 }, 2, 2], [{ channelOffset: NaN, channelCount: NaN }, 0, 1],
    [{ channelOffset: 2 ** 32 + 3 }, 3, 2], [{ channelOffset: 2 ** 31, channelCount: 2 ** 32 + 1 }, 0, 1],
    [{ channelOffset: -3, channelCount: 0 }, 0, 1], [null, 0, 2],
  ];
  for (const [assignment, offset, count] of assignments) {
    const { output } = native.assignDeckOutput({ deckId: 'a', assignment });
    assert.deepEqual(output, { deviceId: 'default', channelOffset: offset, channelCount: count }, JSON.stringify(assignment));
  }
  assert.equal(native.deleteDeck({ deckId: 'a' }), true, 'assignDeckOutput created the deck');
});

test('track objects: null, arrays and numbers give the empty descriptor', () => {
  const cases = [
    [null, EMPTY_TRACK], [7, EMPTY_TRACK], ['{"id":"x"}', EMPTY_TRACK],
    [Object.assign([], { id: 'arr' }), { ...EMPTY_TRACK, id: 'arr' }],
    [{ id: 1, name: 'n', duration: '12', cueIn: null }, { ...EMPTY_TRACK, name: 'n' }],
  ];
  for (const [track, expected] of cases) {
    const state = native.loadTrack({ deckId: 't', track });
    assert.deepEqual(state.track, expected, JSON.stringify(track));
    assert.equal(state.loaded, false);
    assert.notEqual(state.lastError, '');
  }
});

test('configuration, runtime information and device entries keep their key order and are new every time', () => {
  assertKeys(native.initialize(), 'EngineConfig');
  assertKeys(native.getRuntimeInfo(), 'RuntimeInfo');
  const devices = native.getDevices();
  assert.ok(devices.length >= 1);
  for (const device of devices) {
    assertKeys(device, 'DeviceInfo', device.id);
    assert.equal(device.supportedSampleRates, device.asioSupportedSampleRates);
  }
  assert.notEqual(native.getRuntimeInfo(), native.getRuntimeInfo());
  assert.notEqual(native.initialize(), native.initialize());
  devices[0].supportedSampleRates.push(1);
  assert.ok(!native.getDevices()[0].supportedSampleRates.includes(1));
});

test('every deck operation returns a new deck state of the declared shape', () => {
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
  // All new objects: changing one changes nothing the engine returns later.
  const later = native.getDeckState({ deckId });
  assert.ok(states.every((state) => ['meter', 'output', 'track'].every((key) => state[key] !== later[key])));
  states[11].output.channelOffset = 9;
  states[11].deckVolume = 4;
  assert.deepEqual(native.getDeckState({ deckId }), later);
});
