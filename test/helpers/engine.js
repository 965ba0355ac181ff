'use strict';
// The native module, without any output device, and what the suite reads
// from index.d.ts (which typings.test.js compiles): the functions and the
// keys of every record, in order.
const assert = require('node:assert/strict');
const fs = require('node:fs');
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

const typings = fs.readFileSync(path.join(__dirname, '..', '..', 'index.d.ts'), 'utf8');
const FUNCTIONS = [...typings.matchAll(/^export function (\w+)/gm)].map((m) => m[1]);

// `object` has the keys of `export interface name { ... }`, in declaration order.
function assertKeys(object, name, label = name) {
  const body = typings.match(new RegExp(`^export interface ${name} \\{\\n([^]*?)^\\}`, 'm'))[1];
  assert.deepEqual(Object.keys(object), [...body.matchAll(/^ {2}(?:readonly )?(\w+)\??:/gm)].map((m) => m[1]), label);
}

function near(actual, expected, tolerance = 1e-6, label = '') {
  assert.ok(Math.abs(actual - expected) <= tolerance, `${label} ${actual} not within ${tolerance} of ${expected}`);
}

module.exports = { NO_DEVICES, native, FUNCTIONS, assertKeys, near };
