'use strict';
// 16 decks on the JACK dummy device while the script issues control
// operations as fast as it can and 8 background analyses stay in flight.
// Between a deck's seeks (or loads, stops, deletes, updates that may move it)
// its position never goes backwards, and every deck moves forwards; the
// analyses all complete. How many operations a second: bench/control_rate.js.
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
  // Seconds each deck moved forwards between two reads: frozen decks never
  // go back, so a run where nothing plays must fail here.
  const advanced = new Map(decks.map((d) => [d, 0]));
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
      } else if (last.get(deckId) >= 0) {
        advanced.set(deckId, advanced.get(deckId) + state.positionSeconds - last.get(deckId));
      }
      if (!(op === 0 || moved || op === 6)) last.set(deckId, state.positionSeconds);
    }
    await new Promise((resolve) => setImmediate(resolve));
  }
  const info = native.getRuntimeInfo();
  const loadXruns = info.xrunCount - xrunsAtStart;
  for (let i = 0; i < 3000 && inFlight > 0; i += 1) await sleep(20);
  const rate = operations / seconds;
  const least = Math.min(...advanced.values());
  const total = [...advanced.values()].reduce((a, b) => a + b, 0);
  console.log(`stress: ${seconds} s, ${operations} operations (${Math.round(rate)}/s), ${analyses} analyses ` +
    `(${analysisFailures} failed, ${inFlight} unsettled), ${regressions} position regressions, decks advanced ` +
    `${total.toFixed(1)} s in all (the least ${least.toFixed(2)} s), ` +
    `${loadXruns} xruns, stream ${info.streamHealth}`);
  // Xruns are reported only: on a shared machine they are mostly the
  // machine's; bench/callback_soak.cpp measures the callback under load.
  check(operations > 0, 'the control loop never ran');
  check(regressions === 0, 'positions went backwards between seeks');
  // Decks play about half the time (pauses, loads and the end of a track
  // stop them): a tenth of the run is far from a deck that stalls.
  check(least >= seconds / 10, 'a deck did not advance');
  check(inFlight === 0 && analyses >= 8, 'analyses did not complete');
  check(analysisFailures === 0, 'analyses failed');
  check(info.streamOpen, 'stream closed under load');
  native.shutdown();
  await server.stop();
}

main().catch((error) => { console.error(error); process.exit(1); });
