'use strict';
// Loading the module through its ES entry and from worker threads.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { Worker } = require('worker_threads');
const { writeTrack } = require('../examples/synth');

const FUNCTIONS = [
  'initialize', 'shutdown', 'getDevices', 'createDeck', 'deleteDeck', 'assignDeckOutput', 'loadTrack',
  'getRuntimeInfo', 'play', 'pause', 'stop', 'seek', 'setDeckVolume', 'setTrackGain', 'updateTrack', 'fadeTo',
  'getDeckState', 'prepareTrack', 'analyzeWaveform', 'analyzeTrim',
];

const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-loading-'));
const trackPath = path.join(folder, 'tone.wav');
writeTrack(trackPath, { musicSeconds: 1, silenceSeconds: 1, fadeSeconds: 0.1 });
test.after(() => fs.rmSync(folder, { recursive: true, force: true }));

function runWorker(source) {
  return new Promise((resolve, reject) => {
    const worker = new Worker(source, { eval: true, workerData: { root: path.join(__dirname, '..'), trackPath } });
    let message;
    worker.on('message', (value) => (message = value));
    worker.on('error', reject);
    worker.on('exit', (code) => (code === 0 ? resolve(message) : reject(new Error(`worker exited with ${code}`))));
  });
}

test('ES module entry', async (t) => {
  const esm = await import('../index.mjs');
  const cjs = require('..');

  await t.test('names the twenty functions, the same ones require() gives', () => {
    const named = Object.keys(esm).filter((key) => key !== 'default').sort();
    assert.deepEqual(named, [...FUNCTIONS].sort());
    for (const name of FUNCTIONS) assert.equal(esm[name], cjs[name], name);
    assert.equal(esm.default, cjs);
  });

  await t.test('resolves through the package exports for import and require', async () => {
    const pkg = require('../package.json');
    const imported = await import(pkg.name);
    assert.equal(imported.getDeckState, cjs.getDeckState);
    assert.equal(require(pkg.name), cjs);
  });
});

test('worker threads', async (t) => {
  const engine = require('..');
  t.after(() => engine.deleteDeck({ deckId: 'from-worker' }));

  await t.test('a worker that loads a deck shares the one engine of the process', async () => {
    const result = await runWorker(`
      const { parentPort, workerData } = require('worker_threads');
      const engine = require(workerData.root);
      const state = engine.loadTrack({ deckId: 'from-worker', track: { id: 't', path: workerData.trackPath } });
      parentPort.postMessage({ loaded: state.loaded, lastError: state.lastError });
    `);
    assert.deepEqual(result, { loaded: true, lastError: '' });
    // The worker is gone; its deck stays, as the engine belongs to the process.
    const state = engine.getDeckState({ deckId: 'from-worker' });
    assert.equal(state.loaded, true);
    assert.equal(state.track.path, trackPath);
  });

  await t.test('the ES entry loads in a worker and settles analysis promises there', async () => {
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

  await t.test('several workers load the module at once and exit cleanly', async () => {
    const results = await Promise.all(
      [1, 2, 3].map((n) =>
        runWorker(`
          const { parentPort, workerData } = require('worker_threads');
          const engine = require(workerData.root);
          parentPort.postMessage(engine.getRuntimeInfo().streamHealth.length > 0 && typeof engine.play === 'function');
        `),
      ),
    );
    assert.deepEqual(results, [true, true, true]);
  });
});
