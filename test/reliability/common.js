'use strict';
// Shared pieces of the script-level reliability runs.
const { JackServer } = require('../helpers/jack');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function args(defaults) {
  const out = { ...defaults };
  const argv = process.argv.slice(2);
  for (let i = 0; i < argv.length; i += 1) {
    const key = argv[i].replace(/^--/, '');
    if (typeof out[key] === 'boolean') out[key] = true;
    else out[key] = Number(argv[(i += 1)]);
  }
  return out;
}

// Starts a private JACK dummy server (before the module is loaded, since the
// server name travels in the environment) and opens the engine on its device.
async function engineOnJack() {
  const server = new JackServer();
  await server.start(256);
  const native = require('../..');
  const deviceId = server.device(native).id;
  native.initialize({ bufferSize: 256, deviceId });
  for (let i = 0; i < 100 && !native.getRuntimeInfo().streamOpen; i += 1) await sleep(50);
  if (!native.getRuntimeInfo().streamOpen) throw new Error('no stream on the JACK dummy device');
  return { server, native, deviceId };
}

function check(condition, message) {
  if (!condition) {
    console.error(`FAILED: ${message}`);
    process.exitCode = 1;
  }
  return condition;
}

module.exports = { sleep, args, engineOnJack, check };
