'use strict';
// Deck registry: creation, unknown ids and the channel width of the assignments.
const { test, beforeEach, after } = require('node:test');
const assert = require('node:assert/strict');
const { native } = require('./helpers/engine.js');
const { writeFloatWav } = require('./helpers/wav.js');

// No initialize here: without engine threads no reopen recomputes the width.
beforeEach(() => native.shutdown());
after(() => native.shutdown());

const channels = () => native.getRuntimeInfo().channels;

test('creating an existing deck keeps its volume, gain and track', () => {
  const file = writeFloatWav('dup.wav', { seconds: 0.5 });
  native.createDeck({ deckId: 'dup' });
  native.setDeckVolume({ deckId: 'dup', volume: 0.4 });
  native.setTrackGain({ deckId: 'dup', gain: 2 });
  const loaded = native.loadTrack({ deckId: 'dup', track: { id: 'x', path: file } });
  const again = native.createDeck({ deckId: 'dup' });
  assert.deepEqual(again, loaded);
  assert.deepEqual([again.deckVolume, again.trackGain, again.track.id, again.loaded], [0.4, 2, 'x', true]);
});

test('ids are exact strings: case matters and "" is a deck', () => {
  native.setDeckVolume({ deckId: 'A', volume: 2 });
  native.setDeckVolume({ deckId: '', volume: 3 });
  assert.deepEqual(
    ['A', 'a', ''].map((deckId) => native.getDeckState({ deckId }).deckVolume), [2, 1, 3]);
  assert.deepEqual(['a', 'A', '', 'A'].map((deckId) => native.deleteDeck({ deckId })),
    [false, true, true, false]);
});

test('an unknown id is answered with defaults and not created', () => {
  const state = native.getDeckState({ deckId: 'ghost' });
  assert.deepEqual(
    [state.deckId, state.loaded, state.deckVolume, state.trackGain, state.output, state.backend, state.track],
    ['ghost', false, 1, 1, { deviceId: 'default', channelOffset: 0, channelCount: 2 }, 'standard', null]);
  assert.equal(native.deleteDeck({ deckId: 'ghost' }), false);
});

test('channel width follows the assignments and is not lowered by deleteDeck', () => {
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
});

test('a huge channel offset saturates the width instead of wrapping', () => {
  const state = native.assignDeckOutput(
    { deckId: 'far', assignment: { channelOffset: 2147483647, channelCount: 2 } });
  assert.equal(state.output.channelOffset, 2147483647);
  assert.equal(channels(), 2147483647);
  native.assignDeckOutput({ deckId: 'far', assignment: { channelOffset: 2147483647, channelCount: 2147483647 } });
  assert.equal(channels(), 2147483647);
});
