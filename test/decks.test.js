'use strict';
// Decks without an output device: the registry, the transport and the deck
// parameters on decoded files.
const { test, beforeEach, after } = require('node:test');
const assert = require('node:assert/strict');
const { native, near } = require('./helpers/engine.js');
const { writeFloatWav, writeGarbage, missingPath } = require('./helpers/wav.js');

const deckId = 'deck';
const file = writeFloatWav('two-seconds.wav', { seconds: 2, sampleRate: 44100 });
const garbage = writeGarbage('garbage.wav');
const track = (extra = {}) => ({ id: 'a', path: file, name: 'A', duration: 2, cueIn: 0, cueOut: 0, ...extra });
const load = (extra) => native.loadTrack({ deckId, track: track(extra) });
const transport = (s) => [s.loaded, s.playing, s.paused];
const channels = () => native.getRuntimeInfo().channels;

beforeEach(() => native.shutdown());
after(() => native.shutdown());

// Must run first in this process: no open was ever tried.
test('loadTrack places the playhead at cueIn, keeps volume and gain, stays stopped; play names the closed stream', () => {
  native.setDeckVolume({ deckId, volume: 0.5 });
  native.setTrackGain({ deckId, gain: 2 });
  const cases = [[0.5, 0.5], [-1, 0], [99, 2], [0, 0], [NaN, 0]];
  for (const [cueIn, position] of cases) {
    const s = load({ cueIn });
    const label = `cueIn ${cueIn}`;
    assert.deepEqual([...transport(s), s.lastError, s.deckVolume, s.trackGain], [true, false, false, '', 0.5, 2], label);
    near(s.durationSeconds, 2, 1e-6, label);
    near(s.positionSeconds, position, 1e-9, label);
  }
  const mono = writeFloatWav('one-second.wav', { seconds: 1, sampleRate: 48000, channels: 1 });
  near(native.loadTrack({ deckId, track: { path: mono } }).durationSeconds, 1);
  assert.deepEqual([native.play({ deckId }).playing, native.play({ deckId }).lastError],
    [false, 'Native output stream is not open.']);
});

test('a failed load drops the previous audio and reports it; updateTrack then takes only the descriptor', () => {
  for (const path of [missingPath(), garbage, '']) {
    load();
    const s = load({ path, duration: 30, cueIn: 40 });
    assert.deepEqual(transport(s), [false, false, false], path);
    assert.notEqual(s.lastError, '', path);
    // The descriptor's duration stands in for the audio's.
    assert.deepEqual([s.durationSeconds, s.positionSeconds], [30, 30]);
    const descriptor = track({ id: 'z', path, duration: 12, cueIn: 3 });
    const updated = native.updateTrack({ deckId, track: descriptor });
    assert.deepEqual([updated.lastError, ...transport(updated), updated.durationSeconds, updated.positionSeconds],
      ['No decodable track loaded.', false, false, false, 12, 3], `${path}: the old audio is gone`);
    assert.deepEqual(updated.track, descriptor);
  }
  const negative = native.loadTrack({ deckId, track: { path: missingPath(), duration: -4, cueIn: 1 } });
  assert.deepEqual([negative.durationSeconds, negative.positionSeconds], [0, 0]);
});

test('play is refused without a stream, with the reason in lastError', () => {
  native.initialize();
  load();
  native.pause({ deckId });
  const refused = native.play({ deckId });
  // Refused, the deck stays as it was: paused.
  assert.deepEqual(transport(refused), [true, false, true]);
  assert.equal(refused.lastError, 'No output device available.');

  const empty = native.play({ deckId: 'empty' });
  assert.deepEqual([empty.playing, empty.paused, empty.lastError], [false, false, 'No decodable track loaded.']);

  for (const path of [garbage, '']) {
    const failed = native.loadTrack({ deckId: 'bad', track: { path } });
    assert.equal(native.play({ deckId: 'bad' }).lastError, failed.lastError, path);
  }
  // A successful load clears the message.
  assert.equal(native.loadTrack({ deckId: 'bad', track: track() }).lastError, '');
});

test('pause marks even an empty deck paused; stop returns to cueIn unless told to keep the position', () => {
  assert.deepEqual(transport(native.pause({ deckId: 'blank' })), [false, false, true]);
  load({ cueIn: 0.5 });
  assert.deepEqual(transport(native.pause({ deckId })), [true, false, true]);
  native.seek({ deckId, seconds: 1.5 });
  const kept = native.stop({ deckId, options: { resetPosition: false } });
  assert.deepEqual([...transport(kept), kept.positionSeconds], [true, false, false, 1.5]);
  assert.equal(native.stop({ deckId }).positionSeconds, 0.5);

  // Stopped during a fade, the deck keeps the volume it had.
  native.setDeckVolume({ deckId, volume: 0.8 });
  native.fadeTo({ deckId, durationMs: 5000, targetVolume: 0 });
  native.seek({ deckId, seconds: 1 });
  const stopped = native.stop({ deckId, options: { resetPosition: false } });
  assert.deepEqual([stopped.positionSeconds, stopped.deckVolume], [1, 0.8]);

  const bare = native.stop({ deckId: 'no-track' });
  assert.deepEqual([bare.positionSeconds, bare.loaded], [0, false]);
});

test('seek clamps to the audio and ignores the cue points', () => {
  load({ cueIn: 0.5, cueOut: 1.5 });
  const cases = [[-5, 0], [0.1, 0.1], [1.9, 1.9], [100, 2], [Infinity, 2], [-Infinity, 0], [NaN, 0]];
  for (const [seconds, expected] of cases) {
    const s = native.seek({ deckId, seconds });
    near(s.positionSeconds, expected, 1e-9, `seek ${seconds}`);
    assert.deepEqual(transport(s), [true, false, false]);
  }
  native.pause({ deckId });
  assert.equal(native.seek({ deckId, seconds: 1 }).paused, true);
});

test('volume, gain and fade targets are clamped to 0..5', () => {
  const cases = [
    ['setDeckVolume', 'volume', 'deckVolume', [[7, 5], ['0.5', 1], [0.3, 0.3]]],
    ['setTrackGain', 'gain', 'trackGain', [[-1, 0], [9, 5], [NaN, 0], [undefined, 1]]],
    ['fadeTo', 'targetVolume', 'deckVolume', [[9, 5], [0.25, 0.25], [-2, 0], [NaN, 0]]],
  ];
  for (const [fn, key, field, values] of cases) {
    for (const [value, expected] of values) {
      native.setDeckVolume({ deckId, volume: 1 });
      native.setTrackGain({ deckId, gain: 1 });
      const request = value === undefined ? { deckId } : { deckId, [key]: value };
      assert.equal(native[fn](request)[field], expected, `${fn} ${key}=${value}`);
    }
  }
  // A timed fade leaves the volume to the render.
  native.setDeckVolume({ deckId, volume: 0.7 });
  assert.equal(native.fadeTo({ deckId, durationMs: 1000, targetVolume: 0 }).deckVolume, 0.7);
});

test('updateTrack of the same track on a stopped deck keeps the playhead inside the cues', () => {
  load({ cueIn: 0.5 });
  const steps = [
    [{ cueIn: 1.2 }, 1.2], // moved up to the new cueIn
    [{ cueIn: 0.2, cueOut: 0.8 }, 0.8], // pulled back to cueOut
    [{ cueIn: 0, cueOut: 0 }, 0.8], // inside: left alone
    [{ cueIn: 0.1, cueOut: 99 }, 0.8], // cueOut past the end clamps to the duration
    [{ cueIn: 1.5, cueOut: 1 }, 1.5], // cueOut before cueIn ends at cueIn
  ];
  for (const [cues, position] of steps) {
    const s = native.updateTrack({ deckId, track: track(cues) });
    near(s.positionSeconds, position, 1e-9, JSON.stringify(cues));
    assert.deepEqual(transport(s), [true, false, false]);
    assert.deepEqual(s.track, track(cues));
  }
});

test('updateTrack general path: the deck goes to the new cueIn unless told to keep its place and state', () => {
  const cases = [
    // track, options, paused before, position and paused after
    [{ id: 'b', cueIn: 0.3 }, {}, false, 0.3, false],
    [{ cueIn: 0.3 }, { preservePosition: false }, false, 0.3, false],
    [{ cueIn: 0.3 }, { preservePlaybackState: false }, false, 0.3, false],
    [{ id: 'b', cueIn: 5 }, {}, false, 2, false],
    [{ id: 'b', cueIn: 0.6, cueOut: 0.4 }, {}, false, 0.6, false],
    [{ id: 'b', cueIn: 0.3 }, {}, true, 1.7, true],
    [{ id: 'b', cueIn: 0.3 }, { preservePosition: false }, true, 0.3, true],
    [{ id: 'b', cueIn: 0.3 }, { preservePlaybackState: false }, true, 0.3, false],
  ];
  for (const [cues, options, pause, position, paused] of cases) {
    load();
    native.seek({ deckId, seconds: 1.7 });
    if (pause) native.pause({ deckId });
    const s = native.updateTrack({ deckId, track: track(cues), options });
    const label = JSON.stringify([cues, options, pause]);
    near(s.positionSeconds, position, 1e-9, label);
    assert.deepEqual(transport(s), [true, false, paused], label);
  }
});

test('creating an existing deck keeps its volume, gain and track', () => {
  native.createDeck({ deckId: 'dup' });
  native.setDeckVolume({ deckId: 'dup', volume: 0.4 });
  native.setTrackGain({ deckId: 'dup', gain: 2 });
  const loaded = native.loadTrack({ deckId: 'dup', track: { id: 'x', path: file } });
  const again = native.createDeck({ deckId: 'dup' });
  assert.deepEqual(again, loaded);
  assert.deepEqual([again.deckVolume, again.trackGain, again.track.id, again.loaded], [0.4, 2, 'x', true]);
});

test('ids are exact strings: case matters, "" is a deck, an unknown id is answered with defaults, not created', () => {
  native.setDeckVolume({ deckId: 'A', volume: 2 });
  native.setDeckVolume({ deckId: '', volume: 3 });
  assert.deepEqual(['A', 'a', ''].map((deckId) => native.getDeckState({ deckId }).deckVolume), [2, 1, 3]);
  const unknown = native.getDeckState({ deckId: 'a' });
  assert.deepEqual(
    [unknown.deckId, unknown.loaded, unknown.trackGain, unknown.output, unknown.backend, unknown.track],
    ['a', false, 1, { deviceId: 'default', channelOffset: 0, channelCount: 2 }, 'standard', null]);
  assert.deepEqual(['a', 'A', '', 'A'].map((deckId) => native.deleteDeck({ deckId })), [false, true, true, false]);
});

// No initialize here: without engine threads no reopen recomputes the width.
test('channel width follows the assignments, is not lowered by deleteDeck and saturates instead of wrapping', () => {
  assert.equal(channels(), 2);
  native.assignDeckOutput({ deckId: 'one', assignment: { channelOffset: 0, channelCount: 2 } });
  native.assignDeckOutput({ deckId: 'two', assignment: { channelOffset: 2, channelCount: 2 } });
  assert.equal(channels(), 4);
  native.deleteDeck({ deckId: 'two' });
  assert.equal(channels(), 4);
  // The next assignment recomputes it from the decks that remain.
  native.assignDeckOutput({ deckId: 'one', assignment: {} });
  assert.equal(channels(), 2);
  native.assignDeckOutput({ deckId: 'mono', assignment: { channelOffset: 4, channelCount: 1 } });
  assert.equal(channels(), 5);
  for (const channelCount of [2, 2147483647]) {
    const far = native.assignDeckOutput({ deckId: 'far', assignment: { channelOffset: 2147483647, channelCount } });
    assert.deepEqual([far.output.channelOffset, channels()], [2147483647, 2147483647], `${channelCount} channels`);
  }
});
