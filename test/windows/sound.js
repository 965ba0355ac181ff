'use strict';
// Sound checks of the Windows module, run by scripts/windows.sh under Wine in
// a Windows node.exe, Wine's audio reaching a PulseAudio null sink that the
// script records:
//   node.exe sound.js MODULE play HOST_API SINE_FILE   1 s at volume 0.5, a 0.5 s fade out, silence
//   node.exe sound.js MODULE load FILE                 decodes the file (loadTrack)
//   node.exe sound.js MODULE worker SINE_FILE          the module in a worker thread, playing
//   node.exe sound.js MODULE exit SINE_FILE            process.exit while playing
// Prints one JSON line and exits with 1 on a failure of its own.
const { Worker, isMainThread, workerData } = require('worker_threads');

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const [modulePath, mode, ...rest] = isMainThread ? process.argv.slice(2) : workerData;
const native = require(modulePath);
const report = { mode, args: rest, failures: [] };
const check = (ok, text) => { if (!ok) report.failures.push(text); };

async function untilPosition(seconds) {
  for (let waited = 0; waited < 10000; waited += 20) {
    if (native.getDeckState({ deckId: 'a' }).positionSeconds >= seconds) return;
    await sleep(20);
  }
}

function startDeck(path, hostApi) {
  const devices = native.getDevices();
  const device = hostApi
    ? devices.find((d) => d.hostApiName === hostApi && d.channels >= 2)
    : { id: 'default' };
  check(device, `no ${hostApi} device among ${devices.map((d) => d.hostApiName)}`);
  if (!device) return null;
  native.initialize({ sampleRate: 48000, bufferSize: 512, deviceId: device.id });
  const loaded = native.loadTrack({ deckId: 'a', track: { path } });
  check(loaded.loaded, `loadTrack: ${loaded.lastError}`);
  native.setDeckVolume({ deckId: 'a', volume: 0.5 });
  native.play({ deckId: 'a' });
  const info = native.getRuntimeInfo();
  report.hostApi = info.activeHostApiName;
  report.device = info.activeDeviceName;
  check(info.streamActive, `no active stream: ${info.lastError}`);
  return info;
}

async function main() {
  if (mode === 'play') {
    const [hostApi, path] = rest;
    if (startDeck(path, hostApi)) {
      // Wine's callbacks can lag the clock by a second: the fade starts and
      // ends by the rendered position, not by time.
      await untilPosition(1.0);
      native.fadeTo({ deckId: 'a', durationMs: 500, targetVolume: 0 });
      await untilPosition(1.8);
      const state = native.getDeckState({ deckId: 'a' });
      report.positionSeconds = state.positionSeconds;
      check(state.positionSeconds >= 1.8, `the deck did not advance: ${state.positionSeconds}`);
      check(state.deckVolume === 0, `the fade did not end at 0: ${state.deckVolume}`);
    }
  } else if (mode === 'load') {
    const state = native.loadTrack({ deckId: 'a', track: { path: rest[0] } });
    report.durationSeconds = state.durationSeconds;
    check(state.loaded && state.durationSeconds > 1.9, `loadTrack: ${state.lastError}`);
  } else if (mode === 'worker') {
    const result = await new Promise((resolve, reject) => {
      const worker = new Worker(__filename, { workerData: [modulePath, 'in-worker', rest[0]] });
      worker.once('message', resolve);
      worker.once('error', reject);
    });
    report.worker = result;
    check(result.failures.length === 0, `in the worker: ${result.failures}`);
  } else if (mode === 'in-worker') {
    startDeck(rest[0]);
    await sleep(500);
    check(native.getDeckState({ deckId: 'a' }).positionSeconds > 0, 'the deck did not advance');
    native.shutdown();
    require('worker_threads').parentPort.postMessage(report);
    return;
  } else if (mode === 'exit') {
    startDeck(rest[0]);
    await sleep(500);
    console.log(JSON.stringify(report));
    process.exit(report.failures.length === 0 ? 0 : 1);
  } else {
    report.failures.push(`unknown mode ${mode}`);
  }
  native.shutdown();
  console.log(JSON.stringify(report));
  process.exitCode = report.failures.length === 0 ? 0 : 1;
}

main().catch((error) => {
  report.failures.push(String(error && error.stack || error));
  console.log(JSON.stringify(report));
  process.exit(1);
});
