'use strict';
// process.exit while the engine plays on a JACK dummy server, and after that
// server died: the process ends with its own code. (The device behaviour
// itself is checked by the C++ JACK tests.)
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { JackServer, available } = require('./helpers/jack');

const skip = available ? false : 'jackd2 is not installed';
const server = new JackServer();  // sets the environment before the module loads
const native = require('..');

test.after(() => server.stop());

// Runs `body` in a child node with the engine playing on the server; resolves
// its exit code and signal.
function runChild(body) {
  const script = `
    const native = require(${JSON.stringify(path.join(__dirname, '..'))});
    native.initialize({ bufferSize: 256, deviceId: ${JSON.stringify(server.device(native).id)} });
    native.createDeck({ deckId: 'a' });
    setTimeout(() => { ${body} }, 300);`;
  return new Promise((resolve) => {
    // ALSA hidden: these runs need only JACK, and ALSA's plugins, loaded again at each
    // rescan after a server death, trip an assertion of libgomp's under the sanitizers.
    const env = { ...server.env(), ALSA_CONFIG_PATH: path.join(__dirname, 'helpers', 'alsa-no-devices.conf') };
    const child = spawn(process.execPath, ['-e', script], { env, stdio: 'ignore' });
    const timer = setTimeout(() => child.kill('SIGKILL'), 10000);
    child.on('exit', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal });
    });
  });
}

test('process.exit with an open stream ends the process with its code', { skip }, async () => {
  await server.start();
  assert.deepStrictEqual(await runChild('process.exit(7);'), { code: 7, signal: null });
});

test('process.exit after the server died ends the process with its code', { skip }, async () => {
  await server.start();
  const result = await runChild(`
    process.kill(${server.process.pid}, 'SIGTERM');
    setTimeout(() => { native.getRuntimeInfo(); process.exit(5); }, 300);`);
  assert.deepStrictEqual(result, { code: 5, signal: null });
  server.process = null;  // already gone
});
