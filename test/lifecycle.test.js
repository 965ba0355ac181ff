'use strict';
// Engine lifecycle and configuration bounds as the script sees them, and the
// module loaded from worker threads, also through its ES entry.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const path = require('node:path');
const { spawnSync } = require('node:child_process');
const { Worker } = require('node:worker_threads');
const { native } = require('./helpers/engine.js');
const { fixtureDir } = require('./helpers/wav.js');
const { writeTrack } = require('../examples/synth');

after(() => native.shutdown());

// Must run first in this process: nothing has touched the engine yet.
test('runtime information before any initialize and after one without a device', () => {
  const before = native.getRuntimeInfo();
  assert.deepEqual(
    [before.streamHealth, before.activeBackend, before.activeDeviceId, before.streamOpen, before.streamStopped,
      before.channels, before.requestedBufferSize, before.bufferSize, before.lastError],
    ['stopped', 'none', 'default', false, true, 2, 256, 256, '']);

  // Initialized without a device: the configuration is returned, the failed open reported.
  const config = native.initialize({ sampleRate: 44100, bufferSize: 512, showCriticalMode: true,
    masterLimiterEnabled: false, masterLimiterCeiling: 0.7 });
  assert.deepEqual(config, { backend: 'standard', sampleRate: 44100, bufferSize: 512, deviceId: 'default',
    showCriticalMode: true, masterLimiterEnabled: false, masterLimiterCeiling: 0.7 });
  const info = native.getRuntimeInfo();
  assert.deepEqual(
    [info.streamOpen, info.streamHealth, info.lastError, info.activeBackend, info.requestedBufferSize,
      info.showCriticalMode, info.masterLimiterEnabled, info.masterLimiterCeiling],
    [false, 'stopped', 'No output device available.', 'standard', 512, true, false, 0.7]);
});

test('configuration bounds', () => {
  // Each request and the fields it changes; "ASIO" is not ASIO.
  const cases = [
    [{ sampleRate: 0 }, { sampleRate: 8000 }], [{ sampleRate: -44100 }, { sampleRate: 8000 }],
    [{ bufferSize: 32 }, { bufferSize: 64 }], [{ bufferSize: 32, backend: 'asio' }, { bufferSize: 32 }],
    [{ bufferSize: 0, backend: 'asio' }, { bufferSize: 1 }], [{ bufferSize: 32, backend: 'ASIO' }, { bufferSize: 64 }],
    [{ bufferSize: 8192 }, { bufferSize: 8192 }], [{ bufferSize: 65537 }, { bufferSize: 65536 }],
    [{ bufferSize: 2 ** 31 - 1, backend: 'asio' }, { bufferSize: 65536 }],
    [{ masterLimiterCeiling: 1.5 }, { masterLimiterCeiling: 0.9999 }],
    [{ masterLimiterCeiling: 0.1 }, { masterLimiterCeiling: 0.5 }],
    [{ masterLimiterCeiling: -Infinity }, { masterLimiterCeiling: 0.5 }],
  ];
  const defaults = native.initialize();
  for (const [request, changed] of cases) {
    const config = native.initialize(request);
    assert.deepEqual(config, { ...defaults, ...request, ...changed }, JSON.stringify(request));
    const { requestedBufferSize, masterLimiterCeiling } = native.getRuntimeInfo();
    assert.deepEqual([requestedBufferSize, masterLimiterCeiling], [config.bufferSize, config.masterLimiterCeiling]);
  }
});

test('an empty device id is active as "default" while the configuration keeps it', () => {
  assert.equal(native.initialize({ deviceId: '' }).deviceId, '');
  assert.equal(native.getRuntimeInfo().activeDeviceId, 'default');
  assert.equal(native.createDeck({ deckId: 'd' }).output.deviceId, 'default');
  native.initialize({ backend: 'asio' });
  assert.equal(native.getDeckState({ deckId: 'd' }).backend, 'asio');
  assert.equal(native.getDeckState({ deckId: 'other' }).backend, 'asio');
  assert.equal(native.getRuntimeInfo().activeBackend, 'asio');
});

test('initialize restarts a running engine and keeps its decks; shutdown stops it and drops them', () => {
  native.shutdown();
  native.initialize();
  const start = native.getRuntimeInfo().deviceRestartCount;
  native.setDeckVolume({ deckId: 'kept', volume: 3 });
  native.initialize();
  assert.equal(native.getRuntimeInfo().deviceRestartCount, start + 1);
  assert.equal(native.getDeckState({ deckId: 'kept' }).deckVolume, 3);

  native.shutdown();
  native.shutdown();
  const info = native.getRuntimeInfo();
  assert.deepEqual([info.streamHealth, info.streamOpen], ['stopped', false]);
  assert.equal(native.getDeckState({ deckId: 'kept' }).deckVolume, 1);
  assert.equal(native.deleteDeck({ deckId: 'kept' }), false);
  native.initialize();
  assert.equal(native.getRuntimeInfo().deviceRestartCount, start + 1, 'initialize after shutdown is no restart');
});

// In a child process, so that an abort fails the test rather than the runner;
// it inherits the environment without devices.
const ROOT = JSON.stringify(path.resolve(__dirname, '..'));
function runChild(source) {
  return spawnSync(process.execPath, ['-e', source], { encoding: 'utf8', timeout: 60000 });
}

test('every function called from many worker threads at once', () => {
  const child = runChild(`
    const { Worker } = require('node:worker_threads');
    require(${ROOT}).initialize({ backend: 'asio' });
    const body = (role) => {
      const native = require(${ROOT});
      const deckId = 'd' + (Math.random() * 3 | 0);
      const track = { path: '/nowhere/x.wav' };
      const calls = [
        () => native.initialize({ backend: 'asio', bufferSize: 128 }),
        () => native.shutdown(),
        () => { native.play({ deckId }); native.pause({ deckId }); native.stop({ deckId }); native.seek({ deckId, seconds: 1 }); },
        () => { native.createDeck({ deckId }); native.assignDeckOutput({ deckId, assignment: { channelOffset: 2 } });
          native.loadTrack({ deckId, track }); native.updateTrack({ deckId, track }); native.deleteDeck({ deckId }); },
        () => { native.getRuntimeInfo(); native.getDeckState({ deckId }); native.setDeckVolume({ deckId, volume: 0.5 });
          native.setTrackGain({ deckId, gain: 0.5 }); native.fadeTo({ deckId, durationMs: 10 }); },
        () => { native.getDevices(); native.prepareTrack({ track }); native.analyzeWaveform({ track }); native.analyzeTrim({ track }); },
      ];
      let count = 0;
      for (const end = Date.now() + 1500; Date.now() < end; count += 1) calls[role]();
      return count;
    };
    const workers = [0, 1, 2, 2, 3, 3, 4, 5].map((role) => new Promise((resolve, reject) => {
      const worker = new Worker('const { parentPort, workerData } = require("node:worker_threads");' +
        'parentPort.postMessage((' + body + ')(workerData));', { eval: true, workerData: role });
      worker.once('message', resolve);
      worker.once('error', reject);
    }));
    Promise.all(workers).then((counts) => { console.error(JSON.stringify(counts)); require(${ROOT}).shutdown(); });
  `);
  assert.equal(child.status, 0, child.stderr);
  const counts = JSON.parse(child.stderr.trim().split('\n').pop());
  assert.ok(counts.length === 8 && counts.every((count) => count > 0), String(counts));
});

test('loading the module again after its cache entry is deleted, as test runners do', () => {
  const child = runChild(`
    const reload = () => {
      for (const key of Object.keys(require.cache)) delete require.cache[key];  // a fresh registry
      return require(${ROOT});
    };
    const first = reload();
    const second = reload();
    first.createDeck({ deckId: 'kept' });
    console.error(first !== second, second.deleteDeck({ deckId: 'kept' }), reload().getRuntimeInfo().streamHealth);
  `);
  assert.deepEqual([child.status, child.stderr.trim()], [0, 'true true stopped']);
});

const trackPath = path.join(fixtureDir(), 'tone.wav');
writeTrack(trackPath, { musicSeconds: 1, silenceSeconds: 1, fadeSeconds: 0.1 });

function runWorker(source) {
  return new Promise((resolve, reject) => {
    const worker = new Worker(source, { eval: true, workerData: { root: path.join(__dirname, '..'), trackPath } });
    let message;
    worker.on('message', (value) => (message = value));
    worker.on('error', reject);
    worker.on('exit', (code) => (code === 0 ? resolve(message) : reject(new Error(`worker exited with ${code}`))));
  });
}

test('a worker that loads a deck shares the one engine of the process', async () => {
  const result = await runWorker(`
    const { parentPort, workerData } = require('worker_threads');
    const engine = require(workerData.root);
    const state = engine.loadTrack({ deckId: 'from-worker', track: { id: 't', path: workerData.trackPath } });
    parentPort.postMessage({ loaded: state.loaded, lastError: state.lastError });
  `);
  assert.deepEqual(result, { loaded: true, lastError: '' });
  // The worker is gone; its deck stays, as the engine belongs to the process.
  assert.equal(native.getDeckState({ deckId: 'from-worker' }).track.path, trackPath);
});

test('the ES entry loads in a worker and settles analysis promises there', async () => {
  const result = await runWorker(`
    const { parentPort, workerData } = require('worker_threads');
    import(require('url').pathToFileURL(require('path').join(workerData.root, 'index.mjs')).href)
      .then((engine) => engine.analyzeTrim({ track: { path: workerData.trackPath } }))
      .then((trim) => parentPort.postMessage(trim));
  `);
  assert.equal(result.ok, true);
  assert.ok(result.cueInSeconds > 0.5 && result.cueInSeconds < 1, `cue-in ${result.cueInSeconds}`);
});
