'use strict';
// Output engine against a real JACK dummy server, at script level.
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { JackServer, available } = require('./helpers/jack');

const skip = available ? false : 'jackd2 is not installed';
const server = new JackServer();  // sets the environment before the module loads
const native = require('..');

test.after(async () => {
  native.shutdown();
  await server.stop();
});

test('lists the JACK device and opens it', { skip }, async () => {
  await server.start();
  const jack = server.device(native);
  assert.strictEqual(jack.channels, 16);
  assert.deepStrictEqual(jack.supportedSampleRates, [48000]);
  assert.deepStrictEqual(native.getDevices({ backend: 'asio' }), []);

  native.initialize({ deviceId: jack.id, bufferSize: 256 });
  await new Promise((resolve) => setTimeout(resolve, 300));
  const info = native.getRuntimeInfo();
  // Xruns ("warning") of a dummy server on a loaded machine are the machine's.
  assert.ok(['ok', 'warning'].includes(info.streamHealth), info.lastError);
  assert.strictEqual(info.activeDeviceId, jack.id);
  assert.strictEqual(info.bufferSize, 256);
  assert.ok(info.avgCallbackMs > 0);
  native.shutdown();
});

// Runs `body` in a child node with the engine playing on the server, and
// returns its exit code and how long it took.
function runChild(body) {
  const script = `
    const native = require(${JSON.stringify(path.join(__dirname, '..'))});
    native.initialize({ bufferSize: 256, deviceId: ${JSON.stringify(server.device(native).id)} });
    native.createDeck({ deckId: 'a' });
    setTimeout(() => { ${body} }, 300);`;
  return new Promise((resolve) => {
    const started = Date.now();
    const child = spawn(process.execPath, ['-e', script], { env: server.env(), stdio: 'ignore' });
    const timer = setTimeout(() => child.kill('SIGKILL'), 10000);
    child.on('exit', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal, ms: Date.now() - started });
    });
  });
}

test('process.exit with an open stream ends the process with its code', { skip }, async () => {
  await server.start();
  const result = await runChild('process.exit(7);');
  assert.strictEqual(result.signal, null);
  assert.strictEqual(result.code, 7);
});

test('process.exit after the server died ends the process with its code', { skip }, async () => {
  await server.start();
  const result = await runChild(`
    process.kill(${'Number(process.env.VELMORA_JACK_PID)'}, 'SIGTERM');
    setTimeout(() => { native.getRuntimeInfo(); process.exit(5); }, 300);`.replace(
    "Number(process.env.VELMORA_JACK_PID)", String(server.process.pid)));
  assert.strictEqual(result.signal, null);
  assert.strictEqual(result.code, 5);
  server.process = null;  // already gone
});
