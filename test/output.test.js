'use strict';
// process.exit after the JACK dummy server the engine played on died ends the
// process with its own code. (During playback: test/reliability/lifecycle.js;
// the device behaviour itself: the C++ JACK tests.)
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const { spawn } = require('node:child_process');
const { JackServer, available } = require('./helpers/jack');

const server = new JackServer();  // sets the environment before the module loads
const native = require('..');

test.after(() => server.stop());

test('process.exit after the server died ends the process with its code',
  { skip: available ? false : 'jackd2 is not installed' }, async () => {
    await server.start();
    const script = `
      const engine = require(${JSON.stringify(path.join(__dirname, '..'))});
      engine.initialize({ bufferSize: 256, deviceId: ${JSON.stringify(server.device(native).id)} });
      engine.createDeck({ deckId: 'a' });
      setTimeout(() => {
        process.kill(${server.process.pid}, 'SIGTERM');
        setTimeout(() => { engine.getRuntimeInfo(); process.exit(5); }, 300);
      }, 300);`;
    // ALSA hidden: this run needs only JACK, and ALSA's plugins, loaded again at each
    // rescan after a server death, trip an assertion of libgomp's under the sanitizers.
    const env = { ...server.env(), ALSA_CONFIG_PATH: path.join(__dirname, 'helpers', 'alsa-no-devices.conf') };
    const child = spawn(process.execPath, ['-e', script], { env, stdio: 'ignore' });
    const timer = setTimeout(() => child.kill('SIGKILL'), 10000);
    const [code, signal] = await new Promise((resolve) => child.on('exit', (...result) => resolve(result)));
    clearTimeout(timer);
    server.process = null;  // already gone
    assert.deepStrictEqual({ code, signal }, { code: 5, signal: null });
  });
