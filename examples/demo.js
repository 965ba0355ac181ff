'use strict';
// Two decks, a crossfade and a live display of positions, meters and stream
// health.
//
//   node examples/demo.js [--seconds N] [fileA fileB]
//
// The engine logs diagnostics on the process's standard output (fd 1), every
// ~50 ms while it retries a missing device. To keep that off the display, the
// demo runs in two processes: this one starts itself again as a child whose
// fd 1 is a pipe (the engine's log, saved to a file and summarised at the end)
// and whose fd 3 is our own stdout, where the display is drawn.
const { spawn, spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const tty = require('tty');
const { reclaimDeadServers } = require('../scripts/jack-registry');

const DISPLAY_FD = 3;


// ---------------------------------------------------------------- relay ---

function runRelay() {
  const workDir = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-demo-'));
  const logPath = path.join(workDir, 'engine.log');
  const log = fs.openSync(logPath, 'w');
  const child = spawn(process.execPath, [__filename, ...process.argv.slice(2)], {
    stdio: ['inherit', log, 'inherit', 1],
    env: { ...process.env, VELMORA_DEMO_CHILD: '1', VELMORA_DEMO_DIR: workDir },
  });
  fs.closeSync(log);
  // In a terminal Ctrl-C reaches the child directly; forwarding covers a
  // signal sent to this process alone. The child ignores repeats.
  const forward = (signal) => () => {
    if (child.exitCode === null) child.kill(signal);
  };
  process.on('SIGINT', forward('SIGINT'));
  process.on('SIGTERM', forward('SIGTERM'));
  child.on('exit', (code, signal) => {
    process.stdout.write(summariseLog(logPath));
    fs.rmSync(workDir, { recursive: true, force: true });
    if (signal) process.kill(process.pid, signal);
    process.exitCode = code === null ? 1 : code;
  });
}

function summariseLog(logPath) {
  let text = '';
  try {
    text = fs.readFileSync(logPath, 'utf8');
  } catch {
    return '';
  }
  const lines = text.split('\n').filter((line) => line.length > 0);
  if (lines.length === 0) return 'Engine log: empty.\n';
  const counts = new Map();
  for (const line of lines) counts.set(line, (counts.get(line) || 0) + 1);
  let out = `Engine log (its standard output, kept off the display): ${lines.length} line(s)\n`;
  for (const [line, count] of counts) out += `  ${count} × ${line}\n`;
  return out;
}

// -------------------------------------------------------------- display ---

const displayIsTty = process.env.VELMORA_DEMO_CHILD === '1' ? tty.isatty(DISPLAY_FD) : false;
const useColour = displayIsTty && !process.env.NO_COLOR;

function writeDisplay(text) {
  const fd = process.env.VELMORA_DEMO_CHILD === '1' ? DISPLAY_FD : 1;
  const bytes = Buffer.from(text);
  let offset = 0;
  while (offset < bytes.length) {
    try {
      offset += fs.writeSync(fd, bytes, offset);
    } catch (error) {
      if (error.code !== 'EAGAIN') throw error;
    }
  }
}

function displayColumns() {
  if (!displayIsTty) return 100;
  const stream = new tty.WriteStream(DISPLAY_FD);
  const columns = stream.columns || 100;
  stream.destroy();
  return Math.max(60, Math.min(columns, 160));
}

const paint = (code) => (text) => (useColour ? `\x1b[${code}m${text}\x1b[0m` : text);
const dim = paint('2');
const bold = paint('1');
const green = paint('32');
const yellow = paint('33');
const red = paint('31');
const cyan = paint('36');

function healthColour(health) {
  if (health === 'ok') return green(health);
  if (health === 'warning') return yellow(health);
  if (health === 'error') return red(health);
  return dim(health);
}

function formatTime(seconds) {
  const safe = Math.max(0, seconds || 0);
  const minutes = Math.floor(safe / 60);
  return `${minutes}:${(safe - minutes * 60).toFixed(1).padStart(4, '0')}`;
}

function bar(fraction, width) {
  const clamped = Math.max(0, Math.min(1, fraction || 0));
  const eighths = Math.round(clamped * width * 8);
  const full = Math.floor(eighths / 8);
  const partial = eighths % 8;
  const blocks = ' ▏▎▍▌▋▊▉';
  let out = '█'.repeat(full);
  if (full < width) out += partial ? blocks[partial] : '';
  return out.padEnd(width, displayIsTty ? '·' : '.');
}

// A bar chart of the waveform's amplitude with the trim points marked.
function drawWaveform(label, waveform, trim, width) {
  const rows = 4;
  const levels = ' ▁▂▃▄▅▆▇█';
  const columns = new Array(width).fill(0);
  const peaks = waveform.peaks;
  for (let c = 0; c < width; c++) {
    const from = Math.floor((c * peaks.length) / width);
    const to = Math.max(from + 1, Math.floor(((c + 1) * peaks.length) / width));
    for (let i = from; i < to && i < peaks.length; i++) columns[c] = Math.max(columns[c], peaks[i].amp);
  }
  const duration = waveform.durationSeconds || trim.durationSeconds || 1;
  const inColumn = Math.min(width - 1, Math.floor((trim.cueInSeconds / duration) * width));
  const outColumn = Math.min(width - 1, Math.floor((trim.cueOutSeconds / duration) * width));
  const lines = [`${bold(label)}  ${formatTime(duration)}, ${waveform.sampleRate} Hz, ${waveform.channels} ch`];
  for (let r = rows - 1; r >= 0; r--) {
    let line = '';
    for (let c = 0; c < width; c++) {
      const height = columns[c] * rows * 8 - r * 8;
      const glyph = height <= 0 ? ' ' : levels[Math.min(8, Math.max(1, Math.round(height)))];
      const outside = c < inColumn || c > outColumn;
      if (c === inColumn || c === outColumn) line += yellow(glyph === ' ' ? '│' : glyph);
      else line += outside ? dim(glyph) : cyan(glyph);
    }
    lines.push(`  ${line}`);
  }
  const marks = new Array(width).fill(' ');
  marks[inColumn] = '▲';
  marks[outColumn] = '▲';
  lines.push(`  ${yellow(marks.join(''))}`);
  const inText = `cue-in ${trim.cueInSeconds.toFixed(2)} s`;
  const outText = `cue-out ${trim.cueOutSeconds.toFixed(2)} s`;
  const gap = Math.max(1, width - inText.length - outText.length);
  lines.push(`  ${inText}${' '.repeat(gap)}${outText}`);
  return lines.join('\n') + '\n';
}

// ----------------------------------------------------------------- demo ---

function parseArguments(argv) {
  const options = { seconds: Number(process.env.VELMORA_DEMO_SECONDS) || 0, files: [] };
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--seconds') options.seconds = Number(argv[++i]);
    else if (argv[i].startsWith('--seconds=')) options.seconds = Number(argv[i].slice(10));
    else options.files.push(argv[i]);
  }
  if (!(options.seconds > 0)) options.seconds = 0;
  return options;
}

function prepareTracks(options) {
  if (options.files.length > 0) {
    const files = options.files.length === 1 ? [options.files[0], options.files[0]] : options.files.slice(0, 2);
    return files.map((file, i) => ({ id: `track-${i + 1}`, path: path.resolve(file), name: path.basename(file) }));
  }
  const { writeTrack } = require('./synth');
  const folder = process.env.VELMORA_DEMO_DIR || fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-demo-'));
  const musicSeconds = options.seconds ? Math.max(3, Math.min(24, options.seconds * 0.6)) : 24;
  return [
    { name: 'Tone study in A', root: 0 },
    { name: 'Tone study in D', root: 5 },
  ].map((spec, i) => {
    const file = path.join(folder, `tone-${i + 1}.wav`);
    writeTrack(file, { musicSeconds, root: spec.root, tempo: i === 0 ? 120 : 96 });
    return { id: `tone-${i + 1}`, path: file, name: spec.name };
  });
}

async function analyse(engine, tracks) {
  const jobs = [];
  const done = tracks.map(() => ({ trim: false, waveform: false }));
  let spinner = 0;
  const progressLine = () => {
    const parts = tracks.map((t, i) => `${t.name}: trim ${done[i].trim ? '✓' : '…'} waveform ${done[i].waveform ? '✓' : '…'}`);
    return `Analysing ${'⠋⠙⠹⠸⠼⠴⠦⠧⠇⠏'[spinner++ % 10]} ${parts.join('   ')}`;
  };
  const timer = displayIsTty ? setInterval(() => writeDisplay(`\r\x1b[2K${progressLine()}`), 80) : null;
  tracks.forEach((track, i) => {
    const report = (kind) => (result) => {
      done[i][kind] = true;
      if (!displayIsTty) writeDisplay(`analysed ${kind} of ${track.name}: ${result.ok ? 'ok' : result.message}\n`);
      return result;
    };
    jobs.push(engine.analyzeTrim({ track }).then(report('trim')));
    jobs.push(engine.analyzeWaveform({ track, options: { maxPoints: 600 } }).then(report('waveform')));
  });
  const results = await Promise.all(jobs);
  if (timer) {
    clearInterval(timer);
    writeDisplay(`\r\x1b[2K${progressLine().replace(/^Analysing ./, 'Analysed ')}\n`);
  }
  return tracks.map((_, i) => ({ trim: results[i * 2], waveform: results[i * 2 + 1] }));
}

// Where the machine has no output device, a private dummy JACK server gives
// the engine one, so the decks really play. It is started only after the
// engine's threads are stopped (the environment changes under no reader) and
// killed when the demo ends.
function jackAvailable() {
  return spawnSync('sh', ['-c', 'command -v jackd && command -v jack_lsp'], { stdio: 'ignore' }).status === 0;
}

async function startPrivateJack() {
  const name = `velmora-demo-${process.pid}`;
  process.env.JACK_DEFAULT_SERVER = name;
  process.env.JACK_NO_START_SERVER = '1';
  reclaimDeadServers();
  // Real-time scheduling where the machine grants it: without it a loaded
  // machine makes the server miss its periods, and the demo would show xruns
  // that are not the engine's.
  const realtime = spawnSync('chrt', ['-f', '1', 'true'], { stdio: 'ignore' }).status === 0;
  // setpriv: the server ends with the demo, even if the demo crashes.
  const server = spawn('setpriv', ['--pdeathsig', 'TERM', 'jackd', ...(realtime ? ['-R', '-P', '70'] : ['--no-realtime']),
    '-d', 'dummy', '-r', '48000', '-p', '256'], {
    stdio: 'ignore',
    env: process.env,
  });
  process.on('exit', () => {
    if (server.exitCode === null) server.kill('SIGTERM');
  });
  for (let i = 0; i < 100; i += 1) {
    if (spawnSync('jack_lsp', { env: process.env, stdio: 'ignore' }).status === 0) return server;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  server.kill('SIGKILL');
  return null;
}

async function stopPrivateJack(server) {
  if (!server || server.exitCode !== null) return;
  const exited = new Promise((resolve) => server.once('exit', resolve));
  server.kill('SIGTERM');
  const timer = setTimeout(() => server.kill('SIGKILL'), 2000);
  await exited;
  clearTimeout(timer);
}

function meterLine(meter, width) {
  const half = Math.max(6, Math.floor(width / 2) - 4);
  return `L ${bar(meter.peakL, half)}  R ${bar(meter.peakR, half)}`;
}

function deckLines(label, state, width, phase) {
  const end = state.track && state.track.cueOut > 0 ? state.track.cueOut : state.durationSeconds;
  const status = state.playing ? green('▶ playing') : state.paused ? yellow('‖ paused ') : dim('■ stopped');
  const name = state.track ? state.track.name : '(empty)';
  const times = `${formatTime(state.positionSeconds)} / ${formatTime(end)}`;
  const barWidth = Math.max(10, width - times.length - 8);
  return [
    `${bold(`Deck ${label}`)}  ${status}  ${name}  vol ${state.deckVolume.toFixed(2)}  ${dim(phase || '')}`,
    `  ${bar(state.positionSeconds / (end || 1), barWidth)}  ${times}`,
    `  ${meterLine(state.meter, barWidth + times.length + 2)}`,
  ];
}

function statusLine(info) {
  return (
    `Stream ${healthColour(info.streamHealth)}  ${info.sampleRate} Hz × ${info.bufferSize}  ` +
    `load ${info.audioThreadLoadPercent.toFixed(1)} % (avg ${info.avgCallbackMs.toFixed(2)} / ` +
    `budget ${info.callbackBudgetMs.toFixed(2)} ms)  xruns ${info.xrunCount}  overloads ${info.callbackOverloadCount}`
  );
}

function plainLine(elapsed, states, info) {
  const deck = (label, s) =>
    `${label} ${s.playing ? 'playing' : 'stopped'} ${formatTime(s.positionSeconds)}/${formatTime(s.durationSeconds)} ` +
    `vol ${s.deckVolume.toFixed(2)} peak ${Math.max(s.meter.peakL, s.meter.peakR).toFixed(2)}`;
  return (
    `t=${elapsed.toFixed(1)}s  ${deck('A', states.A)} | ${deck('B', states.B)} | health ${info.streamHealth} ` +
    `load ${info.audioThreadLoadPercent.toFixed(1)}% xruns ${info.xrunCount}\n`
  );
}

function printRuntimeInfo(info) {
  let out = '\nFinal runtime information:\n';
  for (const [key, value] of Object.entries(info)) out += `  ${key.padEnd(24)} ${JSON.stringify(value)}\n`;
  writeDisplay(out);
}

async function runDemo() {
  const options = parseArguments(process.argv.slice(2));
  let stopReason = null;
  const onSignal = () => {
    if (!stopReason) stopReason = 'interrupted';
  };
  process.on('SIGINT', onSignal);
  process.on('SIGTERM', onSignal);

  const engine = require('..');
  const width = displayColumns() - 4;
  writeDisplay(bold('Velmora audio engine demo') + dim('  (Ctrl-C to stop)') + '\n\n');

  const devices = engine.getDevices();
  writeDisplay(`Output devices (${devices.length}):\n`);
  for (const device of devices) {
    writeDisplay(`  ${device.isDefault ? '*' : ' '} [${device.id}] ${device.name}  ${device.channels} ch\n`);
  }
  engine.initialize({ deviceId: 'default' });
  let info = engine.getRuntimeInfo();
  let privateJack = null;
  if (!info.streamOpen && jackAvailable()) {
    writeDisplay(yellow(`No output device (${info.lastError || info.streamHealth}): starting a private dummy JACK server to play into.\n`));
    engine.shutdown();
    privateJack = await startPrivateJack();
    engine.initialize({ deviceId: 'default' });
    for (let i = 0; i < 40 && !engine.getRuntimeInfo().streamOpen; i += 1) await new Promise((r) => setTimeout(r, 50));
    info = engine.getRuntimeInfo();
  }
  if (info.streamOpen) {
    writeDisplay(`Playing on ${info.activeDeviceName || info.activeDeviceId} (${info.activeHostApiName}).\n`);
  } else {
    writeDisplay(yellow(`No output stream (${info.lastError || info.streamHealth}): decks cannot play; the engine keeps retrying.\n`));
  }
  writeDisplay('\n');

  const tracks = prepareTracks(options);
  const analyses = await analyse(engine, tracks);
  writeDisplay('\n');
  const labels = ['A', 'B'];
  analyses.forEach(({ trim, waveform }, i) => {
    if (!trim.ok || !waveform.ok) throw new Error(`cannot analyse ${tracks[i].path}: ${trim.message || waveform.message}`);
    writeDisplay(drawWaveform(`Deck ${labels[i]}: ${tracks[i].name}`, waveform, trim, width) + '\n');
  });
  if (stopReason) return finish(engine, stopReason, privateJack);

  const loaded = {};
  labels.forEach((label, i) => {
    const { trim } = analyses[i];
    engine.createDeck({ deckId: label });
    const state = engine.loadTrack({
      deckId: label,
      track: { ...tracks[i], duration: trim.durationSeconds, cueIn: trim.cueInSeconds, cueOut: trim.cueOutSeconds },
    });
    if (!state.loaded) throw new Error(`deck ${label} could not load ${tracks[i].path}: ${state.lastError}`);
    loaded[label] = state;
  });

  const durationA = analyses[0].trim.cueOutSeconds - analyses[0].trim.cueInSeconds;
  const durationB = analyses[1].trim.cueOutSeconds - analyses[1].trim.cueInSeconds;
  // With --seconds the crossfade comes early enough for the run to show both decks.
  const fadeSeconds = Math.min(6, durationA / 3, options.seconds ? options.seconds / 4 : Infinity);
  const crossfadeAt = options.seconds
    ? Math.min(options.seconds * 0.4, durationA - fadeSeconds)
    : Math.max(0, durationA - fadeSeconds);
  const limitSeconds = options.seconds || crossfadeAt + durationB + 2;

  const first = engine.play({ deckId: 'A' });
  const refused = first.playing ? null : first.lastError;

  const startMs = Date.now();
  let phase = { A: 'on air', B: 'cued' };
  let crossfaded = false;
  let drawnLines = 0;
  let lastPlain = -1;

  const redraw = (elapsed, states) => {
    if (!displayIsTty) {
      const second = Math.floor(elapsed);
      if (second !== lastPlain) {
        if (lastPlain < 0 && refused) writeDisplay(`play refused: ${refused}\n`);
        lastPlain = second;
        writeDisplay(plainLine(elapsed, states, info));
      }
      return;
    }
    const lines = [];
    if (refused) lines.push(red(`play refused: ${refused}`));
    lines.push(...deckLines('A', states.A, width, phase.A), ...deckLines('B', states.B, width, phase.B));
    lines.push(statusLine(info), dim(`elapsed ${formatTime(elapsed)} of ${formatTime(limitSeconds)}`));
    let out = drawnLines ? `\x1b[${drawnLines}A` : '\x1b[?25l';
    for (const line of lines) out += `\r\x1b[2K${line}\n`;
    writeDisplay(out);
    drawnLines = lines.length;
  };

  await new Promise((resolve) => {
    const tick = () => {
      const nowMs = Date.now();
      const elapsed = (nowMs - startMs) / 1000;
      info = engine.getRuntimeInfo();
      const states = { A: engine.getDeckState({ deckId: 'A' }), B: engine.getDeckState({ deckId: 'B' }) };

      if (!crossfaded && elapsed >= crossfadeAt) {
        crossfaded = true;
        const fadeMs = Math.round(fadeSeconds * 1000);
        engine.setDeckVolume({ deckId: 'B', volume: 0 });
        engine.play({ deckId: 'B' });
        engine.fadeTo({ deckId: 'B', durationMs: fadeMs, targetVolume: 1 });
        engine.fadeTo({ deckId: 'A', durationMs: fadeMs, targetVolume: 0 });
        phase = { A: `fading out over ${fadeSeconds.toFixed(1)} s`, B: `fading in over ${fadeSeconds.toFixed(1)} s` };
      } else if (crossfaded && elapsed >= crossfadeAt + fadeSeconds && states.A.playing) {
        engine.stop({ deckId: 'A' });
        phase = { A: 'done', B: 'on air' };
      }

      redraw(elapsed, states);
      const finishedB = (crossfaded && !states.B.playing && elapsed > crossfadeAt + 0.5) || (refused && elapsed > 3);
      if (finishedB && !stopReason) stopReason = 'end of deck B';
      if (elapsed >= limitSeconds && !stopReason) stopReason = `--seconds ${options.seconds || limitSeconds}`;
      if (stopReason) {
        clearInterval(timer);
        resolve();
      }
    };
    const timer = setInterval(tick, displayIsTty ? 100 : 250);
    tick();
  });
  if (displayIsTty) writeDisplay('\x1b[?25h');
  return finish(engine, stopReason, privateJack);
}

async function finish(engine, reason, privateJack) {
  writeDisplay(`\nStopping (${reason}).\n`);
  const info = engine.getRuntimeInfo();
  engine.shutdown();
  await stopPrivateJack(privateJack);
  printRuntimeInfo(info);
}

// Leave the cursor visible whatever happens.
process.on('exit', () => {
  if (process.env.VELMORA_DEMO_CHILD === '1' && displayIsTty) {
    try {
      fs.writeSync(DISPLAY_FD, '\x1b[?25h');
    } catch {
      // the terminal is gone
    }
  }
});

if (process.env.VELMORA_DEMO_CHILD === '1') {
  runDemo().catch((error) => {
    writeDisplay(`demo failed: ${error && error.stack ? error.stack : error}\n`);
    process.exitCode = 1;
  });
} else {
  runRelay();
}
