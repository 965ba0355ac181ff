'use strict';
// The module's face: registered functions, request handling and the readers.
const { test, beforeEach, after } = require('node:test');
const assert = require('node:assert/strict');
const { native, EMPTY_TRACK } = require('./helpers/engine.js');
const { missingPath } = require('./helpers/wav.js');

const FUNCTIONS = ['initialize', 'shutdown', 'getDevices', 'createDeck', 'deleteDeck',
  'assignDeckOutput', 'loadTrack', 'getRuntimeInfo', 'play', 'pause', 'stop', 'seek',
  'setDeckVolume', 'setTrackGain', 'updateTrack', 'fadeTo', 'getDeckState', 'prepareTrack',
  'analyzeWaveform', 'analyzeTrim'];
const READS_REQUEST = FUNCTIONS.filter(
  (name) => !['initialize', 'shutdown', 'getDevices', 'getRuntimeInfo'].includes(name));
const DEFAULT_CONFIG = {
  backend: 'standard', sampleRate: 48000, bufferSize: 256, deviceId: 'default',
  showCriticalMode: false, masterLimiterEnabled: true, masterLimiterCeiling: 0.98,
};

beforeEach(() => native.shutdown());
after(() => native.shutdown());

test('exports exactly the twenty functions, in order, each without a name', () => {
  assert.deepEqual(Object.getOwnPropertyNames(native), FUNCTIONS);
  for (const name of FUNCTIONS) {
    assert.equal(typeof native[name], 'function', name);
    assert.equal(native[name].name, '', name);
  }
});

test('a missing or null request throws a TypeError and creates no deck', () => {
  for (const name of READS_REQUEST) {
    for (const args of [[], [undefined], [null]]) {
      assert.throws(() => native[name](...args), TypeError, `${name}(${args.map(String)})`);
    }
  }
  assert.equal(native.deleteDeck({ deckId: '' }), false);
});

test('initialize and getDevices fall back to defaults for a non-object argument or wrong types', () => {
  const wrongTypes = { showCriticalMode: 1, masterLimiterEnabled: 0, sampleRate: '44100', backend: 5,
    masterLimiterCeiling: '1', deviceId: 3, bufferSize: '128' };
  for (const args of [[], [null], ['asio'], [42], [wrongTypes]]) {
    assert.deepEqual(native.initialize(...args), DEFAULT_CONFIG, `initialize(${JSON.stringify(args)})`);
  }
  const standard = native.getDevices({ backend: 'standard' });
  for (const args of [[], [null], ['asio']]) {
    assert.deepEqual(native.getDevices(...args), standard, `getDevices(${args})`);
  }
});

test('getRuntimeInfo ignores its arguments', () => {
  const plain = native.getRuntimeInfo();
  for (const args of [[null], [42, 'x'], [{ streamHealth: 'ok' }]]) {
    assert.deepEqual(native.getRuntimeInfo(...args), plain);
  }
});

test('a deck id that is not a string names the deck ""', () => {
  for (const request of [42, { deckId: 7 }, 'deck', true, { deckId: null }]) {
    assert.equal(native.play(request).deckId, '', JSON.stringify(request));
  }
  assert.equal(native.deleteDeck({ deckId: '' }), true);
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

test('fadeTo.durationMs is read as an int32: fractions dropped, modulo 2^32, NaN 0', () => {
  // A positive duration starts a fade (volume unchanged); zero or less sets it at once.
  const cases = [
    [250.9, 1], [0.9, 0.25], [NaN, 0.25], [Infinity, 0.25], [-5, 0.25], ['1000', 0.25],
    [2 ** 32, 0.25], [2 ** 32 + 1000, 1], [2 ** 31, 0.25], [-(2 ** 32) + 7, 1],
  ];
  for (const [durationMs, expected] of cases) {
    native.deleteDeck({ deckId: 'f' });
    const state = native.fadeTo({ deckId: 'f', durationMs, targetVolume: 0.25 });
    assert.equal(state.deckVolume, expected, `durationMs ${durationMs}`);
  }
});

test('assignment fields are read as int32 and clamped', () => {
  const cases = [
    [{ channelOffset: 2.7, channelCount: 2.2 }, 2, 2],
    [{ channelOffset: NaN, channelCount: NaN }, 0, 1],
    [{ channelOffset: 2 ** 32 + 3 }, 3, 2],
    [{ channelOffset: 2 ** 31, channelCount: 2 ** 32 + 1 }, 0, 1],
    [{ channelOffset: '4', channelCount: '1' }, 0, 2],
    [{ channelOffset: -3, channelCount: 0 }, 0, 1],
  ];
  for (const [assignment, offset, count] of cases) {
    const { output } = native.assignDeckOutput({ deckId: 'a', assignment });
    assert.deepEqual([output.channelOffset, output.channelCount], [offset, count], JSON.stringify(assignment));
  }
  const fromArray = Object.assign([], { channelOffset: 4 });
  assert.equal(native.assignDeckOutput({ deckId: 'a', assignment: fromArray }).output.channelOffset, 4);
  assert.deepEqual(native.assignDeckOutput({ deckId: 'a', assignment: null }).output,
    { deviceId: 'default', channelOffset: 0, channelCount: 2 });
});

test('track objects: null, arrays and numbers give the empty descriptor', () => {
  const cases = [
    [null, EMPTY_TRACK],
    [[], EMPTY_TRACK],
    [7, EMPTY_TRACK],
    ['{"id":"x"}', EMPTY_TRACK],
    [Object.assign([], { id: 'arr' }), { ...EMPTY_TRACK, id: 'arr' }],
    [{ id: 1, name: 'n', duration: '12', cueIn: null }, { ...EMPTY_TRACK, name: 'n' }],
    [Object.create({ id: 'inherited', duration: 3 }), { ...EMPTY_TRACK, id: 'inherited', duration: 3 }],
  ];
  for (const [track, expected] of cases) {
    const state = native.loadTrack({ deckId: 't', track });
    assert.deepEqual(state.track, expected, JSON.stringify(track));
    assert.equal(state.loaded, false);
    assert.notEqual(state.lastError, '');
  }
});

test('seek and cue positions: NaN counts as 0', () => {
  native.loadTrack({ deckId: 'n', track: { path: missingPath(), duration: 10, cueIn: NaN } });
  assert.equal(native.getDeckState({ deckId: 'n' }).positionSeconds, 0);
  native.seek({ deckId: 'n', seconds: 4 });
  assert.equal(native.seek({ deckId: 'n', seconds: NaN }).positionSeconds, 0);
  assert.equal(native.seek({ deckId: 'n', seconds: '4' }).positionSeconds, 0);
});
