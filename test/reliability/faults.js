'use strict';
// Device loss and return. During 4-deck playback the private JACK server is
// killed (SIGKILL, then SIGTERM) and restarted under the same name, `--cycles`
// times each, in one process. Each time the loss must show within 500 ms, the
// engine must reach the restarted server by itself and be heard again
// (recorded), deck positions must go on, and no script call may take over
// 100 ms; fd count, thread count and resident memory must stay flat. Then the
// server stays away for `--quiet` seconds: the engine retries without
// flooding the log or growing, and plays as soon as it is back. Every script
// call is timed, initialize too, during the outage and after the return.
//
// The engine runs in a child process whose standard output (the engine's
// log) this process reads.
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { sleep, args, check } = require('./common');

const opts = args({ cycles: 5, quiet: 10, child: false });
const DECKS = ['a', 'b', 'c', 'd'];
const root = path.resolve(__dirname, '../..');

// RMS of each channel of a WAV as jack_rec writes it (32-bit float or PCM),
// over its last `tailFrames` frames: jack_rec connects its ports one by one
// after it starts recording, so the later channels begin late.
function channelLevels(file, tailFrames) {
  const data = fs.readFileSync(file);
  let format = null;
  for (let at = 12; at + 8 <= data.length;) {
    const id = data.toString('ascii', at, at + 4);
    const size = data.readUInt32LE(at + 4);
    const body = at + 8;
    if (id === 'fmt ') {
      let tag = data.readUInt16LE(body);
      if (tag === 0xfffe) tag = data.readUInt16LE(body + 24);
      format = { float: tag === 3, channels: data.readUInt16LE(body + 2), bytes: data.readUInt16LE(body + 14) / 8 };
    } else if (id === 'data' && format) {
      const { channels, bytes } = format;
      const total = Math.floor(Math.min(size, data.length - body) / (bytes * channels));
      const frames = Math.min(total, tailFrames);
      const sums = new Array(channels).fill(0);
      for (let i = (total - frames) * channels; i < total * channels; i += 1) {
        const offset = body + i * bytes;
        const value = format.float ? data.readFloatLE(offset)
          : bytes === 2 ? data.readInt16LE(offset) / 32768 : data.readInt32LE(offset) / 2147483648;
        sums[i % channels] += value * value;
      }
      return sums.map((sum) => Math.sqrt(sum / Math.max(frames, 1)));
    }
    at = body + size + (size % 2);
  }
  throw new Error(`not a WAV file: ${file}`);
}

function processFigures() {
  global.gc();
  return {
    fds: fs.readdirSync('/proc/self/fd').length,
    threads: fs.readdirSync('/proc/self/task').length,
    rssMb: process.memoryUsage().rss / 1048576,
  };
}

async function child() {
  const { JackServer, enginePorts, record } = require('../helpers/jack');
  const { writeFloatWav, fixtureDir } = require('../helpers/wav');
  const report = (message) => process.send(message);
  const server = new JackServer();
  await server.start(256, { realtime: true });
  const native = require(root);
  const jack = native.getDevices({}).find((d) => d.hostApiName.includes('JACK'));
  const config = { deviceId: jack.id, bufferSize: 256 };

  let slowest = 0;
  let slowestCall = '';
  const timed = (fn) => {
    const start = process.hrtime.bigint();
    const result = fn();
    const ms = Number(process.hrtime.bigint() - start) / 1e6;
    if (ms > slowest) [slowest, slowestCall] = [ms, fn.toString().replace(/^.*native\.(\w+).*$/s, '$1')];
    return result;
  };
  const until = async (predicate, ms) => {
    const start = Date.now();
    while (Date.now() - start < ms) {
      if (predicate()) return Date.now() - start;
      await sleep(5);
    }
    return predicate() ? Date.now() - start : null;
  };
  // Open and running; "warning" counts too (a loaded machine's xrun).
  const playing = () => {
    const info = timed(() => native.getRuntimeInfo());
    return info.streamOpen && info.streamActive && (info.streamHealth === 'ok' || info.streamHealth === 'warning');
  };
  const positions = () => DECKS.map((deckId) => timed(() => native.getDeckState({ deckId })).positionSeconds);
  // Every deck on its own channel pair, so that the recording shows each one.
  const heard = async (name) => {
    const ports = enginePorts(server).slice(0, 2 * DECKS.length);
    if (ports.length !== 2 * DECKS.length) return false;
    const { started, done } = record(server, ports, 1.0, path.join(fixtureDir(), name));
    await started;
    return channelLevels(await done, 12000).map((rms) => Number(rms.toFixed(3)));
  };
  const loud = (levels) => Array.isArray(levels) && levels.every((rms) => rms > 0.1);

  timed(() => native.initialize(config));
  if ((await until(playing, 5000)) === null) throw new Error('no stream on the JACK dummy device');
  // Long enough for every cycle: streamed (its stated duration), so small in memory.
  const file = writeFloatWav('faults.wav', { sampleRate: 8000, channels: 1, seconds: 600, amplitude: 0.5 });
  DECKS.forEach((deckId, i) => {
    native.assignDeckOutput({ deckId, assignment: { channelOffset: 2 * i, channelCount: 2 } });
    native.loadTrack({ deckId, track: { path: file, duration: 600 } });
    native.play({ deckId });
  });
  await until(playing, 2000);

  for (const signal of ['SIGKILL', 'SIGTERM']) {
    for (let cycle = 0; cycle < opts.cycles; cycle += 1) {
      await sleep(300);
      slowest = 0;
      const figures = processFigures();
      const before = positions();
      const killedAt = Date.now();
      const exited = new Promise((resolve) => server.process.once('exit', resolve));
      server.process.kill(signal);
      const detectMs = await until(() => !timed(() => native.getRuntimeInfo()).streamOpen, 2000);
      await exited;
      server.process = null;
      server.removeStaleFiles();
      // While the server is away: initialize answers at once with the open's error.
      const returned = timed(() => native.initialize(config));
      const during = timed(() => native.getRuntimeInfo());
      const initializeOk = returned.deviceId === jack.id && !during.streamOpen && during.lastError !== '';
      const startAt = Date.now();
      await server.start();
      const readyAt = Date.now();
      const soundMs = await until(playing, 5000);
      const wallSeconds = (Date.now() - killedAt) / 1000;
      const after = positions();
      // Decks go on from where they were: never back, never ahead of the
      // wall clock, and held still only while the stream was open but not yet
      // called back (a restarted server starts its cycle late, later still
      // on a loaded machine).
      const kept = after.every((p, i) => p >= before[i] && p <= before[i] + wallSeconds + 0.05 &&
        p >= before[i] + wallSeconds - 3);
      const health = timed(() => native.getRuntimeInfo()).streamHealth;
      const levels = soundMs !== null && await heard(`${signal}-${cycle}.wav`);
      // With the server back, initialize closes and reopens the stream on the
      // script thread, as it does on any live device: reported, not bounded.
      const callStart = Date.now();
      native.initialize(config);
      const reopenMs = Date.now() - callStart;
      await until(playing, 2000);
      report({
        type: 'cycle', signal, cycle, detectMs, soundMs, startMs: readyAt - startAt, initializeOk, kept,
        audible: loud(levels), levels, health, slowest, slowestCall, reopenMs, ...figures, before, after,
      });
    }
  }

  // The server stays away: the engine keeps retrying, quietly.
  await sleep(300);
  server.process.kill('SIGKILL');
  await until(() => !timed(() => native.getRuntimeInfo()).streamOpen, 2000);
  server.process = null;
  server.removeStaleFiles();
  // Measured from when the stream and its client are gone, and the retries
  // have backed off.
  await sleep(2000);
  slowest = 0;
  const start = processFigures();
  report({ type: 'quiet-start' });
  const quietEnd = Date.now() + opts.quiet * 1000;
  while (Date.now() < quietEnd) {
    timed(() => native.getRuntimeInfo());
    await sleep(100);
  }
  const end = processFigures();
  report({ type: 'quiet-end' });
  await server.start();
  const soundMs = await until(playing, 5000);
  report({ type: 'quiet', start, end, soundMs, slowest, audible: soundMs !== null && loud(await heard('quiet.wav')) });
  native.shutdown();
  // The engine's thread closes its JACK client just after shutdown; libjack
  // can hang in that close when the server stops at the same moment.
  await sleep(1000);
  await server.stop();
}

async function parent() {
  const started = Date.now();
  // ALSA hidden, as in the C++ JACK tests: its JACK plugin would open JACK
  // clients of its own during every device scan.
  const env = { ...process.env, ALSA_CONFIG_PATH: path.join(root, 'test/helpers/alsa-no-devices.conf') };
  const engine = spawn(process.execPath, ['--expose-gc', __filename, '--child', '--cycles', String(opts.cycles),
    '--quiet', String(opts.quiet)], { stdio: ['ignore', 'pipe', 'inherit', 'ipc'], env });
  const cycles = [];
  let quiet = null;
  let inQuiet = false;
  let quietLines = [];
  let pending = '';
  engine.stdout.on('data', (chunk) => {
    pending += chunk;
    const lines = pending.split('\n');
    pending = lines.pop();
    if (inQuiet) quietLines.push(...lines);
  });
  engine.on('message', (message) => {
    if (message.type === 'cycle') cycles.push(message);
    if (message.type === 'quiet-start') { inQuiet = true; quietLines = []; }
    if (message.type === 'quiet-end') inQuiet = false;
    if (message.type === 'quiet') quiet = message;
  });
  const code = await new Promise((resolve) => engine.on('exit', resolve));
  check(code === 0, `the engine's process exited with ${code}`);

  const ms = (value) => (value === null ? 'none' : String(value));
  // start ms: the server's start-up, from its launch until it lists its ports.
  console.log('signal   cycle  loss ms  start ms  sound ms  slowest ms  fds  threads  rss MB  slowest call   reopen ms');
  for (const c of cycles) {
    console.log(`${c.signal.padEnd(8)} ${String(c.cycle).padStart(5)} ${ms(c.detectMs).padStart(8)} ` +
      `${String(c.startMs).padStart(9)} ${ms(c.soundMs).padStart(9)} ${c.slowest.toFixed(1).padStart(11)} ` +
      `${String(c.fds).padStart(4)} ${String(c.threads).padStart(8)} ${c.rssMb.toFixed(1).padStart(7)}  ` +
      `${c.slowestCall.padEnd(14)} ${String(c.reopenMs).padStart(9)}` +
      `${c.audible ? '' : `  not heard: ${JSON.stringify(c.levels)}`}`);
  }
  for (const signal of ['SIGKILL', 'SIGTERM']) {
    const runs = cycles.filter((c) => c.signal === signal);
    const count = (key) => runs.filter((c) => c[key]).length;
    const worst = (key) => Math.max(...runs.map((c) => c[key] ?? Infinity));
    const sorted = (values) => values.sort((a, b) => a - b);
    const sounds = sorted(runs.map((c) => c.soundMs ?? Infinity));
    const launches = sorted(runs.map((c) => (c.soundMs ?? Infinity) + c.startMs));
    const first = runs[Math.min(1, runs.length - 1)];
    const last = runs[runs.length - 1];
    console.log(`faults ${signal}: ${runs.length} cycles: loss seen within 500 ms ` +
      `${runs.filter((c) => c.detectMs !== null && c.detectMs <= 500).length}/${runs.length} (worst ${worst('detectMs')} ms), ` +
      `heard again ${count('audible')}/${runs.length}, sound after the server was ready median ` +
      `${sounds[Math.floor(sounds.length / 2)]} ms worst ${sounds[sounds.length - 1]} ms (after its launch ` +
      `${launches[Math.floor(launches.length / 2)]} / ${launches[launches.length - 1]} ms), positions kept ` +
      `${count('kept')}/${runs.length}, initialize answered ${count('initializeOk')}/${runs.length}, health ok ` +
      `${runs.filter((c) => c.health === 'ok').length}/${runs.length}, ` +
      `slowest script call ${worst('slowest').toFixed(1)} ms, initialize on the returned server (a reopen) ` +
      `median ${sorted(runs.map((c) => c.reopenMs))[Math.floor(runs.length / 2)]} ms worst ${worst('reopenMs')} ms, ` +
      `from cycle 1 to ${last.cycle}: fds ${first.fds} -> ` +
      `${last.fds}, threads ${first.threads} -> ${last.threads}, rss ${first.rssMb.toFixed(1)} -> ` +
      `${last.rssMb.toFixed(1)} MB`);
    check(runs.length === opts.cycles, `${signal}: ${runs.length} of ${opts.cycles} cycles ran`);
    check(runs.every((c) => c.detectMs !== null && c.detectMs <= 500), `${signal}: loss not seen within 500 ms`);
    check(count('audible') === runs.length, `${signal}: not heard again after a restart`);
    // Generous: a loaded machine starts the server's clients slowly.
    check(runs.every((c) => c.soundMs !== null && c.soundMs <= 3000), `${signal}: sound took over 3 s`);
    check(count('kept') === runs.length, `${signal}: positions not kept ` +
      JSON.stringify(runs.filter((c) => !c.kept).map((c) => [c.before, c.after])));
    check(count('initializeOk') === runs.length, `${signal}: initialize during the outage`);
    check(worst('slowest') <= 100, `${signal}: a script call took ${worst('slowest').toFixed(1)} ms`);
    // Measured from the second cycle, after the first one's allocations settled.
    check(last.fds <= first.fds, `${signal}: fds grew ${first.fds} -> ${last.fds}`);
    check(last.threads <= first.threads, `${signal}: threads grew ${first.threads} -> ${last.threads}`);
    check(last.rssMb - first.rssMb <= 16, `${signal}: resident memory grew ${(last.rssMb - first.rssMb).toFixed(1)} MB`);
  }
  if (check(quiet !== null, 'the outage phase did not finish')) {
    console.log(`faults: server away ${opts.quiet} s: ${quietLines.length} log lines` +
      `${quietLines.length ? ` (${JSON.stringify(quietLines.slice(0, 3))})` : ''}, rss ` +
      `${quiet.start.rssMb.toFixed(1)} -> ${quiet.end.rssMb.toFixed(1)} MB, fds ${quiet.start.fds} -> ` +
      `${quiet.end.fds}, threads ${quiet.start.threads} -> ${quiet.end.threads}, slowest script call ` +
      `${quiet.slowest.toFixed(1)} ms, sound ${ms(quiet.soundMs)} ms after the server came back` +
      `${quiet.audible ? '' : ' (not heard)'}`);
    check(quietLines.length <= 1, `${quietLines.length} log lines while the server was away`);
    check(quiet.end.rssMb - quiet.start.rssMb <= 8, 'resident memory grew while the server was away');
    check(quiet.end.fds <= quiet.start.fds && quiet.end.threads <= quiet.start.threads, 'fds or threads grew');
    check(quiet.slowest <= 100, `a script call took ${quiet.slowest.toFixed(1)} ms`);
    check(quiet.audible, 'not heard after the long outage');
  }
  console.log(`faults: ${((Date.now() - started) / 1000).toFixed(0)} s`);
}

(opts.child ? child() : parent()).catch((error) => { console.error(error); process.exit(1); });
