'use strict';
// The test harness frees JACK registry slots of killed servers; a full
// registry once stopped every later test server from starting.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { reclaimDeadServers } = require('../scripts/jack-registry');

function registry(pids) {
  const buffer = Buffer.alloc(24 + 8 * 264 + 1000);
  buffer.writeUInt32LE(0x4a41434b, 0);
  buffer.writeInt32LE(buffer.length, 12);
  buffer.writeInt32LE(24 + 8 * 264, 16);
  pids.forEach((pid, slot) => {
    buffer.writeInt32LE(pid, 24 + slot * 264);
    buffer.write(`jack-0-server${slot}`, 24 + slot * 264 + 4);
  });
  const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-reg-')), 'registry');
  fs.writeFileSync(file, buffer);
  return file;
}

test('slots of dead servers are freed, live ones and the rest of the registry kept', () => {
  const dead = spawnSync('true').pid;
  const file = registry([dead, process.pid, 0, dead]);
  const before = fs.readFileSync(file);
  assert.strictEqual(reclaimDeadServers(file), 2);
  const after = fs.readFileSync(file);
  const slot = (buffer, i) => buffer.subarray(24 + i * 264, 24 + (i + 1) * 264);
  assert.ok(slot(after, 0).equals(Buffer.alloc(264)));
  assert.ok(slot(after, 3).equals(Buffer.alloc(264)));
  assert.ok(slot(after, 1).equals(slot(before, 1)));
  assert.ok(after.subarray(0, 24).equals(before.subarray(0, 24)));
  assert.ok(after.subarray(24 + 8 * 264).equals(before.subarray(24 + 8 * 264)));
  assert.strictEqual(reclaimDeadServers(file), 0);
});

test('a registry of another layout, or none, is left alone', () => {
  const file = registry([spawnSync('true').pid]);
  const bytes = fs.readFileSync(file);
  bytes.writeInt32LE(999, 16);
  fs.writeFileSync(file, bytes);
  assert.strictEqual(reclaimDeadServers(file), 0);
  assert.ok(fs.readFileSync(file).equals(bytes));
  assert.strictEqual(reclaimDeadServers(path.join(os.tmpdir(), 'velmora-no-such-registry')), 0);
});
