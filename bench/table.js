'use strict';
// Prints the benchmark table from the outputs scripts/bench.sh collected.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const dir = process.argv[2];
const read = (name) => fs.readFileSync(path.join(dir, name), 'utf8');
const json = (name) => JSON.parse(read(name));
const rows = [];
const row = (figure, ours, peerName, peer, ratio, goal, met) =>
  rows.push([figure, ours, peerName, peer, ratio, goal, met ? 'met' : 'missed']);
const f = (x, digits = 2) => Number(x).toFixed(digits);

const render = json('render.json').benchmarks;
const perDeck = render.find((b) => b.name === 'MixRender/64').per_deck_frame * 1e9;
const empty = render.find((b) => b.name === 'MixRender/0').cpu_time;
const peer = json('render_peer.json').nsPerDeckFrame;
const avx2 = /\bavx2\b/.test(fs.readFileSync('/proc/cpuinfo', 'utf8'));
row('Mix render, 64 decks, ns per deck-frame', f(perDeck), 'node-web-audio-api offline, 64 sources + gain nodes',
  f(peer), f(perDeck / peer, 3) + 'x', '<= 0.1x; <= 1.0 ns with AVX2',
  perDeck / peer <= 0.1 && (!avx2 || perDeck <= 1.0));
row('Render with no decks, us per buffer', f(empty, 3), '(callback overhead)', '-', '-', '<= 1 us', empty <= 1.0);

const decode = json('decode.json').benchmarks;
const ms = (name) => {
  const runs = decode.filter((b) => b.run_type === 'iteration' && b.name.startsWith(name + '/'));
  return runs.length ? Math.min(...runs.map((b) => b.real_time)) : undefined;
};
for (const [label, file] of [['WAV', 'track.wav'], ['FLAC', 'track.flac'], ['MP3 CBR', 'track-cbr.mp3'],
  ['MP3 VBR', 'track-vbr.mp3'], ['Ogg Vorbis', 'track.ogg'], ['Opus', 'track.opus']]) {
  const ours = ms(`decodeTrack/${file}`);
  const peers = ['libsndfile', 'ffmpeg', 'codec']
    .map((p) => [p, ms(`${p}/${file}`)]).filter(([, t]) => t !== undefined);
  const [bestName, best] = peers.reduce((a, b) => (b[1] < a[1] ? b : a));
  const speed = best / ours;
  row(`decodeTrack ${label} (10 min), ms`, f(ours, 0), `fastest: ${bestName === 'codec' ? 'codec library' : bestName}`,
    f(best, 0), f(speed) + 'x speed', '>= 0.95x', speed >= 0.95);
}

const prepared = json('prepared.json');
row('loadTrack after prepareTrack (5 min FLAC), ms', f(prepared.preparedMs, 3), 'unprepared load',
  f(prepared.unpreparedMs, 1), f(prepared.preparedMs / prepared.unpreparedMs, 5) + 'x', '< 1 ms', prepared.preparedMs < 1);

for (const line of read('analysis.txt').split('\n')) {
  const m = line.match(/^(\w+)\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)x\s+([\d.]+)\s+([\d.]+)\s+([\d.]+)%/);
  if (!m) continue;
  const [, format, decodeS, waveS, ratio, , trimMs, trimShare] = m;
  const limit = format === 'wav' ? 1.5 : 1.05;
  row(`analyzeWaveform ${format} (1 h), s`, f(waveS), 'plain decode, same decoder', f(decodeS), ratio + 'x',
    `<= ${limit}x`, Number(ratio) <= limit);
  row(`analyzeTrim ${format}, cached, ms`, f(trimMs), 'its decode', f(Number(decodeS) * 1000, 0), trimShare + '%',
    '<= 1 %', Number(trimShare) <= 1);
}

const streaming = json('streaming.json');
row('Streaming deck load (2 h FLAC), ms', f(streaming.streamedMs), 'decoded 1-minute deck', f(streaming.decodedMs),
  f(streaming.streamedMs / streaming.decodedMs) + 'x', '< 20 ms', streaming.streamedMs < 20);
row('Streaming deck audio memory, MiB', f(streaming.ringMiB), 'decoded 1-minute deck (resident growth)',
  f(streaming.decodedGrowthMiB), f(streaming.ringMiB / Math.max(streaming.decodedGrowthMiB, 1e-9)) + 'x',
  '< 2 MiB', streaming.ringMiB < 2 && streaming.streamedGrowthMiB < 2);
const retry = json('retry.json');
row('Script call p99.9 while a missing device is retried, us', f(retry.p999Us, 1),
  `(no peer) p50 / p99 / max over ${retry.calls} calls, ${retry.attempts} open attempts`,
  `${f(retry.p50Us, 1)} / ${f(retry.p99Us, 1)} / ${f(retry.maxUs, 1)}`, '-', '< 1000 us', retry.p999Us < 1000);
const controlText = fs.existsSync(path.join(dir, 'control.json')) ? read('control.json').trim() : '';
const control = controlText ? JSON.parse(controlText) : null;
row('Control operations a second, 16 decks on JACK dummy, 8 analyses running', control ? f(control.operationsPerSecond, 0)
  : 'not run', '(no peer) each operation followed by a state read', '-', '-', '>= 5000', control?.operationsPerSecond >= 5000);
row('Seeks read back a second, with volume, fade and gain calls', control ? f(control.seeksPerSecond, 0) : 'not run',
  '(no peer) on a playing deck', '-', '-', '>= 333', control?.seeksPerSecond >= 333);
const soakFigure = 'Callback p99.99 on JACK dummy, 8 decks at 128 frames, 2 analyses running, % of budget';
const soakText = fs.existsSync(path.join(dir, 'callback.json')) ? read('callback.json').trim() : '';
if (soakText) {
  const soak = JSON.parse(soakText);
  row(soakFigure, f(soak.p9999BudgetPercent), `(no peer) max and xruns over ${f(soak.seconds, 0)} s`,
    `max ${f(soak.maxMs, 3)} ms (${f(soak.maxMs / soak.budgetMs * 100, 1)} %), ${soak.xruns} xruns`,
    `${f(soak.p9999Ms, 3)} of ${f(soak.budgetMs, 3)} ms`, '<= 15 %, 0 xruns',
    soak.p9999BudgetPercent <= 15 && soak.xruns === 0);
} else {
  row(soakFigure, 'not run', '-', '-', '-', '<= 15 %, 0 xruns', false);
}

const cpu = (fs.readFileSync('/proc/cpuinfo', 'utf8').match(/model name\s*:\s*(.*)/) || [])[1] || os.cpus()[0].model;
console.log(`${new Date().toISOString().slice(0, 10)}, ${cpu}, ${os.cpus().length} cores${avx2 ? ', AVX2+FMA' : ''}`);
console.log('');
console.log('| Figure | Ours | Peer | Peer figure | Ratio | Goal | |');
console.log('|---|---|---|---|---|---|---|');
for (const r of rows) console.log(`| ${r.join(' | ')} |`);
