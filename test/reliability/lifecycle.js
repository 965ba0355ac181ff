'use strict';
// Lifecycle: process.exit() during playback with pending jobs, worker threads
// that load the module and are terminated, 10,000 concurrent prepareTrack
// promises, and resident memory over load/delete cycles.
const { spawn } = require('node:child_process');
const path = require('node:path');
const { Worker } = require('node:worker_threads');
const { writeFloatWav } = require('../helpers/wav');
const { sleep, args, engineOnJack, check } = require('./common');

const opts = args({ full: false });
const exitRuns = opts.full ? 100 : 20;
const workerCycles = opts.full ? 50 : 10;
const root = path.resolve(__dirname, '../..');

const EXIT_CHILD = `
const native = require(${JSON.stringify(root)});
const [file, delay, deviceId] = process.argv.slice(1);
native.initialize({ bufferSize: 256, deviceId });
for (let d = 0; d < 16; d += 1) {
  native.loadTrack({ deckId: 'd' + d, track: { path: file, duration: d % 2 ? 600 : 0 } });
  native.play({ deckId: 'd' + d });
}
for (let j = 0; j < 64; j += 1) {
  const track = { path: file + (j % 4 ? '' : '.missing') };
  [native.prepareTrack, native.analyzeWaveform, native.analyzeTrim][j % 3]({ track });
}
setTimeout(() => process.exit(42), Number(delay));
`;

function runChild(file, delay, deviceId, env) {
  return new Promise((resolve) => {
    const child = spawn(process.execPath, ['-e', EXIT_CHILD, file, String(delay), deviceId], { env, stdio: 'ignore' });
    const timer = setTimeout(() => child.kill('SIGKILL'), 20000);
    child.on('exit', (code, signal) => { clearTimeout(timer); resolve({ code, signal }); });
  });
}

const WORKER = `
const { parentPort, workerData } = require('node:worker_threads');
const native = require(${JSON.stringify(root)});
const deckId = 'w' + workerData.index;
const loaded = native.loadTrack({ deckId, track: { path: workerData.file } }).loaded;
const playing = native.play({ deckId }).playing;
native.analyzeWaveform({ track: { path: workerData.file } });
parentPort.postMessage(loaded && playing);
setInterval(() => native.getDeckState({ deckId }), 1);
`;

async function main() {
  const { server, native, deviceId } = await engineOnJack();
  const file = writeFloatWav('life.wav', { seconds: 5 });

  let exits = 0;
  for (let i = 0; i < exitRuns; i += 1) {
    const { code, signal } = await runChild(file, 50 + (i * 37) % 400, deviceId, server.env());
    if (code === 42) exits += 1;
    else console.error(`exit run ${i}: code ${code} signal ${signal}`);
  }
  console.log(`lifecycle: process.exit during playback: ${exits} of ${exitRuns} exited with their code`);
  check(exits === exitRuns, 'process.exit did not always exit with its code');

  let played = 0;
  for (let c = 0; c < workerCycles; c += 1) {
    const workers = Array.from({ length: 8 }, (_, index) => new Worker(WORKER, { eval: true, workerData: { index, file } }));
    const reports = await Promise.all(workers.map((w) => new Promise((resolve, reject) => {
      w.once('message', resolve);
      w.once('error', reject);
    })));
    played += reports.filter(Boolean).length;
    await sleep(20 + (c % 5) * 20);
    await Promise.all(workers.map((w) => w.terminate()));
  }
  console.log(`lifecycle: ${played} of ${workerCycles * 8} workers loaded and played a deck, then were terminated`);
  check(played === workerCycles * 8, 'workers that did not play');
  check(native.getRuntimeInfo().streamOpen, 'the main thread lost its stream to worker teardown');

  const promises = [];
  for (let i = 0; i < 10000; i += 1) {
    promises.push(native.prepareTrack({ track: { path: i % 10 ? file : `${file}.${i}.missing` } }));
  }
  const results = await Promise.allSettled(promises);
  const settled = results.filter((r) => r.status === 'fulfilled').length;
  const ok = results.filter((r) => r.status === 'fulfilled' && r.value.ok).length;
  console.log(`lifecycle: 10000 prepareTrack promises: ${settled} resolved (${ok} ok)`);
  check(settled === 10000 && ok === 9000, 'prepareTrack promises');

  for (let i = 0; i < 100; i += 1) {
    native.loadTrack({ deckId: 'mem', track: { path: file } });
    native.deleteDeck({ deckId: 'mem' });
  }
  global.gc?.();
  const rssBefore = process.memoryUsage().rss;
  let loads = 0;
  for (let i = 0; i < 1000; i += 1) {
    const { loaded } = native.loadTrack({ deckId: 'mem', track: { path: file, duration: i % 2 ? 600 : 0 } });
    if (loaded && native.play({ deckId: 'mem' }).playing) loads += 1;
    if (i % 10 === 0) await sleep(1);
    native.deleteDeck({ deckId: 'mem' });
  }
  await sleep(200);
  global.gc?.();
  const growth = (process.memoryUsage().rss - rssBefore) / 1048576;
  console.log(`lifecycle: ${loads} of 1000 load/play/delete cycles played, resident memory grew ${growth.toFixed(2)} MiB`);
  check(loads === 1000, 'load/play cycles that did not play');
  check(growth < 5, 'memory growth over load/delete cycles');

  native.shutdown();
  await server.stop();
}

main().catch((error) => { console.error(error); process.exit(1); });
