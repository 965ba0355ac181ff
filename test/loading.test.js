'use strict';
// Loading the module through its ES entry and from worker threads.
const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('path');
const { Worker } = require('worker_threads');
const { native, FUNCTIONS } = require('./helpers/engine.js');
const { fixtureDir } = require('./helpers/wav.js');
const { writeTrack } = require('../examples/synth');

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

test('the ES entry names every function, the same ones require() gives', async () => {
  const esm = await import('../index.mjs');
  assert.deepEqual(Object.keys(esm).filter((key) => key !== 'default').sort(), [...FUNCTIONS].sort());
  for (const name of FUNCTIONS) assert.equal(esm[name], native[name], name);
  assert.equal(esm.default, native);
});

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
  native.deleteDeck({ deckId: 'from-worker' });
});

test('the ES entry loads in a worker and settles analysis promises there', async () => {
  const result = await runWorker(`
    const { parentPort, workerData } = require('worker_threads');
    const { pathToFileURL } = require('url');
    const path = require('path');
    import(pathToFileURL(path.join(workerData.root, 'index.mjs')).href)
      .then((engine) => engine.analyzeTrim({ track: { path: workerData.trackPath } }))
      .then((trim) => parentPort.postMessage(trim));
  `);
  assert.equal(result.ok, true);
  assert.ok(result.cueInSeconds > 0.5 && result.cueInSeconds < 1, `cue-in ${result.cueInSeconds}`);
});
