'use strict';
// Random requests against every function: every type in every field,
// huge and negative numbers, NaN, very long strings, non-UTF-8 paths, paths to
// directories, devices and FIFOs. Nothing crashes, only host failures throw
// (a TypeError for a null or missing request), and a deck playing alongside
// keeps advancing.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { execFileSync } = require('node:child_process');
const { writeFloatWav } = require('../helpers/wav');
const { sleep, args, engineOnJack, check } = require('./common');

const FIELDS = ['deckId', 'track', 'options', 'assignment', 'id', 'path', 'name', 'duration', 'cueIn', 'cueOut',
  'deviceId', 'channelOffset', 'channelCount', 'backend', 'sampleRate', 'bufferSize', 'seconds', 'volume', 'gain',
  'durationMs', 'targetVolume', 'resetPosition', 'preservePosition', 'preservePlaybackState', 'maxPoints',
  'postRollSec', 'preRollSec', 'windowMs', 'showCriticalMode', 'masterLimiterEnabled', 'masterLimiterCeiling'];

async function main() {
  const { seconds } = args({ seconds: 30 });
  const { server, native, deviceId } = await engineOnJack();
  const FUNCTIONS = Object.keys(native);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-bad-'));
  const fifo = path.join(dir, 'pipe.wav');
  execFileSync('mkfifo', [fifo]);
  const good = writeFloatWav('bad-good.wav', { seconds: 30 });
  const paths = [good, dir, fifo, '/dev/zero', '/dev/null', '/dev/urandom', Buffer.from([0xff, 0xfe, 0x2f]).toString('latin1'),
    `${dir}/\udc80\ud800.wav`, 'x'.repeat(100000), '', '\0', `${good}\0trailing`];
  let seed = 12345;
  const random = () => ((seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648);
  const pick = (list) => list[Math.floor(random() * list.length)];
  const value = (depth) => {
    switch (Math.floor(random() * 14)) {
      case 0: return undefined;
      case 1: return null;
      case 2: return pick([NaN, Infinity, -Infinity, -0, 1e308, -1e308, 2 ** 31, -(2 ** 31) - 1, 2 ** 53, -1, 0.5]);
      case 3: return Math.floor(random() * 2000) - 1000;
      case 4: return pick(paths);
      case 5: return 'x'.repeat(Math.floor(random() * 5000));
      case 6: return random() < 0.5;
      case 7: return 10n ** 30n;
      case 8: return Symbol('s');
      case 9: return () => 1;
      case 10: return [1, 2, 3];
      case 11: return depth > 2 ? {} : request(depth + 1);
      case 12: return Object.create(depth > 2 ? null : request(depth + 1));
      default: return new Proxy({}, { has: () => { throw new Error('trap'); } });
    }
  };
  const request = (depth) => {
    const r = {};
    for (let i = Math.floor(random() * 6); i > 0; i -= 1) r[pick(FIELDS)] = value(depth);
    if (random() < 0.3) r.deckId = pick(['bad', 'bad2', '', 'x'.repeat(10000)]);
    if (random() < 0.3) r.track = { path: pick(paths), duration: pick([0, 600, NaN, -5]), cueIn: value(3), cueOut: value(3) };
    return r;
  };

  native.loadTrack({ deckId: 'keeper', track: { path: good } });
  native.play({ deckId: 'keeper' });
  let calls = 0;
  let unexpected = 0;
  let keeperStalls = 0;
  const pending = [];
  const end = Date.now() + seconds * 1000;
  let lastPosition = native.getDeckState({ deckId: 'keeper' }).positionSeconds;
  let lastCheck = Date.now();
  while (Date.now() < end) {
    const name = pick(FUNCTIONS.filter((f) => f !== 'shutdown' && f !== 'initialize' || random() < 0.002));
    const argument = random() < 0.05 ? value(0) : request(0);
    try {
      const result = native[name](argument);
      if (result instanceof Promise) pending.push(result.catch((e) => { unexpected += 1; console.error(`${name} rejected`, e); }));
    } catch (error) {
      // Only host failures throw: reading a field of null or undefined, or a script trap.
      const host = argument === null || argument === undefined || error.message === 'trap' || error instanceof TypeError;
      if (!host) { unexpected += 1; console.error(`${name} threw`, error); }
    }
    calls += 1;
    if (name === 'shutdown' || name === 'initialize') {
      native.initialize({ bufferSize: 256, deviceId });
      for (let i = 0; i < 100 && !native.getRuntimeInfo().streamOpen; i += 1) await sleep(50);
      native.loadTrack({ deckId: 'keeper', track: { path: good } });
      native.play({ deckId: 'keeper' });
      lastPosition = -1;
      lastCheck = Date.now();
    }
    if (Date.now() - lastCheck > 1000) {
      const state = native.getDeckState({ deckId: 'keeper' });
      const ended = state.positionSeconds >= state.durationSeconds - 1.5;
      if (ended) {
        native.seek({ deckId: 'keeper', seconds: 0 });
        native.play({ deckId: 'keeper' });
      } else if (!state.playing || state.positionSeconds === lastPosition) {
        keeperStalls += 1;
        console.error('playing deck stalled', state.playing, state.positionSeconds, state.lastError,
          native.getRuntimeInfo().streamHealth);
        native.loadTrack({ deckId: 'keeper', track: { path: good } });
        native.play({ deckId: 'keeper' });
      }
      lastPosition = ended ? -1 : state.positionSeconds;
      lastCheck = Date.now();
      await sleep(1);
    }
  }
  await Promise.all(pending);
  const info = native.getRuntimeInfo();
  console.log(`bad-input: ${calls} calls in ${seconds} s, ${pending.length} promises settled, ` +
    `${unexpected} unexpected throws or rejections, ${keeperStalls} stalls of the playing deck, stream ${info.streamHealth}`);
  check(unexpected === 0, 'unexpected throws or rejections');
  check(keeperStalls === 0, 'the playing deck stalled');
  native.shutdown();
  fs.rmSync(dir, { recursive: true, force: true });
  await server.stop();
}

main().catch((error) => { console.error(error); process.exit(1); });
