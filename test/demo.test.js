'use strict';
// The demo run end to end without a terminal: plain lines, a clean end on its
// own and on SIGINT, the engine's log kept out of the display.
const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('child_process');
const path = require('path');
const { NO_DEVICES } = require('./helpers/engine.js');

const demo = path.join(__dirname, '..', 'examples', 'demo.js');

function runDemo(args, { interruptAfterMs } = {}) {
  return new Promise((resolve) => {
    // Without a device of the machine's, the demo plays on its own JACK server.
    const child = spawn(process.execPath, [demo, ...args], {
      stdio: ['ignore', 'pipe', 'pipe'], env: { ...process.env, ...NO_DEVICES },
    });
    let stdout = '';
    let stderr = '';
    let interrupt = null;
    child.stdout.on('data', (chunk) => {
      stdout += chunk;
      // Interrupt once the live display has started.
      if (interruptAfterMs && !interrupt && /^t=/m.test(stdout)) {
        interrupt = setTimeout(() => child.kill('SIGINT'), interruptAfterMs);
      }
    });
    child.stderr.on('data', (chunk) => (stderr += chunk));
    child.on('close', (code, signal) => resolve({ code, signal, stdout, stderr }));
  });
}

test('demo without a terminal runs for --seconds, shows both decks advancing, ends with the runtime information', async () => {
  const run = await runDemo(['--seconds', '4']);
  assert.equal(run.code, 0, run.stderr);
  assert.equal(run.stderr, '');
  const plain = run.stdout.split('\n').filter((line) => line.startsWith('t='));
  assert.ok(plain.length >= 4, run.stdout);
  const positionsA = plain.map((line) => line.match(/A (?:playing|stopped) (\d+:\d+\.\d)/)[1]);
  assert.notEqual(positionsA[0], positionsA[2], 'deck A does not move');
  assert.match(plain[plain.length - 1], /B playing/);
  assert.match(run.stdout, /cue-in \d+\.\d\d s[^]*Stopping \(--seconds 4\)[^]*Final runtime information:\n\s+streamOpen/);
  // The engine's own lines only appear in the closing summary.
  const display = run.stdout.slice(0, run.stdout.indexOf('Engine log'));
  assert.doesNotMatch(display, /^No output device available\.$/m);
});

test('demo without a terminal: SIGINT ends it cleanly with the runtime information and no stack trace', async () => {
  const run = await runDemo(['--seconds', '60'], { interruptAfterMs: 300 });
  assert.equal(run.code, 0, run.stderr);
  assert.match(run.stdout, /Stopping \(interrupted\)[^]*lastError/);
  assert.doesNotMatch(run.stdout + run.stderr, /\n\s+at /);
});
