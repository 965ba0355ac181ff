'use strict';
// The native module, without any output device, and small shared assertions
// for the script suite.
const assert = require('node:assert/strict');
const path = require('node:path');

// Whatever the machine has, these tests find no device: ALSA reads a
// configuration without one and JACK has no server to reach. The engine reads
// no environment of its own; PortAudio's libraries do, when they start.
const NO_DEVICES = {
  ALSA_CONFIG_PATH: path.join(__dirname, 'alsa-no-devices.conf'),
  JACK_DEFAULT_SERVER: `velmora-absent-${process.pid}`,
  JACK_NO_START_SERVER: '1',
};
Object.assign(process.env, NO_DEVICES);
const native = require('../../index.js');

const DECK_KEYS = ['deckId', 'loaded', 'playing', 'paused', 'positionSeconds', 'durationSeconds',
  'deckVolume', 'trackGain', 'meter', 'trackMeter', 'backend', 'lastError', 'output', 'track'];
const METER_KEYS = ['peakL', 'peakR', 'rmsL', 'rmsR'];
const OUTPUT_KEYS = ['deviceId', 'channelOffset', 'channelCount'];
const TRACK_KEYS = ['id', 'path', 'name', 'duration', 'cueIn', 'cueOut'];
const EMPTY_TRACK = { id: '', path: '', name: '', duration: 0, cueIn: 0, cueOut: 0 };

function assertKeys(object, keys, label) {
  assert.deepEqual(Object.keys(object), keys, label);
}

function near(actual, expected, tolerance = 1e-6, label = '') {
  assert.ok(Math.abs(actual - expected) <= tolerance, `${label} ${actual} not within ${tolerance} of ${expected}`);
}

module.exports = {
  NO_DEVICES, native, DECK_KEYS, METER_KEYS, OUTPUT_KEYS, TRACK_KEYS, EMPTY_TRACK, assertKeys, near,
};
