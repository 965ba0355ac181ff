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

test('initialize and getDevices fall back to defaults for a non-object argument', () => {
  for (const args of [[], [null], ['asio'], [42]]) {
    assert.deepEqual(native.initialize(...args), DEFAULT_CONFIG, `initialize(${args})`);
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

test('readers accept own and inherited fields of the right type only', () => {
  const volume = (request) => native.setDeckVolume({ deckId: 'r', ...request }).deckVolume;
  const cases = [
    [{ volume: 2 }, 2],
    [{ volume: '2' }, 1],
    [{ volume: true }, 1],
    [{ volume: null }, 1],
    [{ volume: { valueOf: () => 2 } }, 1],
    [{ volume: 2n }, 1],
    [{ volume: NaN }, 0],
    [{ volume: -0.5 }, 0],
    [{ volume: Infinity }, 5],
  ];
  for (const [request, expected] of cases) assert.equal(volume(request), expected, String(request.volume));

  const inherited = Object.create({ deckId: 'proto', volume: 3 });
  assert.deepEqual([native.setDeckVolume(inherited).deckId, native.getDeckState(inherited).deckVolume],
    ['proto', 3]);
  const arrayRequest = Object.assign([], { deckId: 'array' });
  assert.equal(native.createDeck(arrayRequest).deckId, 'array');
  const fnRequest = Object.assign(() => {}, { deckId: 'fn' });
  assert.equal(native.createDeck(fnRequest).deckId, 'fn');
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

test('booleans are read only from booleans', () => {
  // A failed load keeps the descriptor's times, so seek and stop work on it.
  const track = { path: missingPath(), duration: 10, cueIn: 2 };
  const stopAt5 = (request) => {
    native.loadTrack({ deckId: 's', track });
    native.seek({ deckId: 's', seconds: 5 });
    return native.stop({ deckId: 's', ...request }).positionSeconds;
  };
  const cases = [
    [{}, 2],
    [{ options: true }, 2],
    [{ options: null }, 2],
    [{ options: { resetPosition: 0 } }, 2],
    [{ options: { resetPosition: 'false' } }, 2],
    [{ options: { resetPosition: false } }, 5],
    [{ options: Object.create({ resetPosition: false }) }, 5],
    [{ options: Object.assign(() => {}, { resetPosition: false }) }, 5],
  ];
  for (const [request, expected] of cases) assert.equal(stopAt5(request), expected, JSON.stringify(request));

  const config = native.initialize({ showCriticalMode: 1, masterLimiterEnabled: 0, sampleRate: '44100',
    backend: 5, masterLimiterCeiling: '0.6' });
  assert.deepEqual(config, DEFAULT_CONFIG);
});

test('seek and cue positions: NaN counts as 0', () => {
  native.loadTrack({ deckId: 'n', track: { path: missingPath(), duration: 10, cueIn: NaN } });
  assert.equal(native.getDeckState({ deckId: 'n' }).positionSeconds, 0);
  native.seek({ deckId: 'n', seconds: 4 });
  assert.equal(native.seek({ deckId: 'n', seconds: NaN }).positionSeconds, 0);
  assert.equal(native.seek({ deckId: 'n', seconds: '4' }).positionSeconds, 0);
});
