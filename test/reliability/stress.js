'use strict';
// 16 decks on the JACK dummy device while the script issues control
// operations as fast as it can (at least 5,000 a second) and 8 background
// analyses stay in flight. Between a deck's seeks (or loads, stops, deletes,
// updates that may move it) its position never goes backwards.
const { writeFloatWav } = require('../helpers/wav');
const { sleep, args, engineOnJack, check } = require('./common');

async function main() {
  const { seconds } = args({ seconds: 120 });
  const { server, native } = await engineOnJack();
  const files = [
    writeFloatWav('stress-a.wav', { seconds: 40, sampleRate: 44100 }),
    writeFloatWav('stress-b.wav', { seconds: 40, sampleRate: 48000, channels: 1 }),
  ];
  const decks = Array.from({ length: 16 }, (_, i) => `deck${i}`);
  const track = (i, streamed) => ({ id: `t${i}`, path: files[i % 2], name: 'x', duration: streamed ? 600 : 0, cueIn: 0 });
  const last = new Map();
  const load = (deckId, i) => {
    native.loadTrack({ deckId, track: track(i, i % 3 === 0) });
    native.play({ deckId });
    last.set(deckId, -1);
  };
  decks.forEach((d, i) => load(d, i));

  // Baseline xruns with the decks playing and no control load.
  const before = native.getRuntimeInfo().xrunCount;
  await sleep(5000);
  const baseline = native.getRuntimeInfo().xrunCount - before;

  let inFlight = 0;
  let analyses = 0;
  let analysisFailures = 0;
  const startJob = (n) => {
    inFlight += 1;
    const t = track(n, false);
    const job = [() => native.analyzeWaveform({ track: t, options: { maxPoints: 300 } }),
      () => native.analyzeTrim({ track: t }), () => native.prepareTrack({ track: t })][n % 3]();
    job.then((r) => { if (!r.ok) analysisFailures += 1; }, () => { analysisFailures += 1; })
      .finally(() => { inFlight -= 1; analyses += 1; });
  };

  let operations = 0;
  let regressions = 0;
  let n = 0;
  const xrunsAtStart = native.getRuntimeInfo().xrunCount;
  const end = Date.now() + seconds * 1000;
  while (Date.now() < end) {
    while (inFlight < 8) startJob(n++);
    for (let k = 0; k < 200; k += 1) {
      const deckId = decks[(n += 7) % decks.length];
      const op = (n * 31 + k) % 14;
      let moved = false;
      switch (op) {
        case 0: load(deckId, n); break;
        case 1: native.seek({ deckId, seconds: (n % 300) / 10 }); moved = true; break;
        case 2: native.fadeTo({ deckId, durationMs: n % 500, targetVolume: (n % 10) / 10 }); break;
        case 3: native.setDeckVolume({ deckId, volume: (n % 20) / 10 }); break;
        case 4: native.setTrackGain({ deckId, gain: (n % 20) / 10 }); break;
        case 5: native.updateTrack({ deckId, track: { ...track(n, false), cueOut: 30 } }); break;
        case 6: if (n % 40 === 0) { native.deleteDeck({ deckId }); load(deckId, n); } break;
        case 7: native.assignDeckOutput({ deckId, assignment: { channelOffset: 0, channelCount: 2 } }); break;
        case 8: native.getRuntimeInfo(); break;
        case 9: native.pause({ deckId }); break;
        case 10: native.play({ deckId }); break;
        default: break;
      }
      const state = native.getDeckState({ deckId });
      operations += 2;
      if (op === 0 || moved || op === 6) last.set(deckId, -1);
      else if (state.positionSeconds + 1e-9 < last.get(deckId)) {
        regressions += 1;
        if (regressions < 5) console.error(`position of ${deckId} went back: ${last.get(deckId)} -> ${state.positionSeconds} after op ${op}`);
      }
      if (!(op === 0 || moved || op === 6)) last.set(deckId, state.positionSeconds);
    }
    await new Promise((resolve) => setImmediate(resolve));
  }
  const info = native.getRuntimeInfo();
  const loadXruns = info.xrunCount - xrunsAtStart;
  while (inFlight > 0) await sleep(20);
  const rate = operations / seconds;
  console.log(`stress: ${seconds} s, ${operations} operations (${Math.round(rate)}/s), ${analyses} analyses ` +
    `(${analysisFailures} failed), ${regressions} position regressions, xruns: ${baseline} in 5 s idle, ` +
    `${loadXruns} under load, stream ${info.streamHealth}`);
  check(rate >= 5000, `only ${Math.round(rate)} operations a second`);
  check(regressions === 0, 'positions went backwards between seeks');
  check(analysisFailures === 0, 'analyses failed');
  check(info.streamOpen, 'stream closed under load');
  // The dummy device shares two cores with everything else: xruns count
  // against the load only beyond the idle rate.
  check(loadXruns <= Math.max(2, (baseline / 5) * seconds * 2), `${loadXruns} xruns under load`);
  native.shutdown();
  await server.stop();
}

main().catch((error) => { console.error(error); process.exit(1); });
