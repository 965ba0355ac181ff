'use strict';
// Script-call throughput against a running render, on a private JACK dummy
// server: the control operations of the stress run (16 decks playing, 8
// analyses in flight) and seeks each read back at once. Prints one JSON line.
//
//   node bench/control_rate.js [--seconds N]
const { JackServer } = require('../test/helpers/jack');
const { writeFloatWav } = require('../test/helpers/wav');

const argument = process.argv.indexOf('--seconds');
const seconds = argument > 0 ? Number(process.argv[argument + 1]) : 10;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function main() {
  const server = new JackServer();
  await server.start(256);
  const native = require('..');
  native.initialize({ bufferSize: 256, deviceId: server.device(native).id });
  for (let i = 0; i < 100 && !native.getRuntimeInfo().streamOpen; i += 1) await sleep(50);
  const files = [writeFloatWav('rate-a.wav', { seconds: 40 }), writeFloatWav('rate-b.wav', { seconds: 40, sampleRate: 48000 })];
  const track = (n) => ({ id: `t${n}`, path: files[n % 2], duration: n % 3 === 0 ? 600 : 0 });
  const decks = Array.from({ length: 16 }, (_, i) => `deck${i}`);
  decks.forEach((deckId, i) => {
    native.loadTrack({ deckId, track: track(i) });
    native.play({ deckId });
  });
  let inFlight = 0;
  const startJob = (n) => {
    inFlight += 1;
    const t = track(n);
    [() => native.analyzeWaveform({ track: t, options: { maxPoints: 300 } }), () => native.analyzeTrim({ track: t }),
      () => native.prepareTrack({ track: t })][n % 3]().finally(() => { inFlight -= 1; });
  };

  // The stress run's mix: each operation followed by a state read.
  let operations = 0;
  let n = 0;
  let end = Date.now() + seconds * 1000;
  while (Date.now() < end) {
    while (inFlight < 8) startJob(n++);
    for (let k = 0; k < 200; k += 1) {
      const deckId = decks[(n += 7) % decks.length];
      switch ((n * 31 + k) % 14) {
        case 0: native.loadTrack({ deckId, track: track(n) }); native.play({ deckId }); break;
        case 1: native.seek({ deckId, seconds: (n % 300) / 10 }); break;
        case 2: native.fadeTo({ deckId, durationMs: n % 500, targetVolume: (n % 10) / 10 }); break;
        case 3: native.setDeckVolume({ deckId, volume: (n % 20) / 10 }); break;
        case 4: native.setTrackGain({ deckId, gain: (n % 20) / 10 }); break;
        case 5: native.updateTrack({ deckId, track: { ...track(n), cueOut: 30 } }); break;
        case 6: if (n % 40 === 0) { native.deleteDeck({ deckId }); native.loadTrack({ deckId, track: track(n) }); } break;
        case 7: native.assignDeckOutput({ deckId, assignment: { channelOffset: 0, channelCount: 2 } }); break;
        case 8: native.getRuntimeInfo(); break;
        case 9: native.pause({ deckId }); break;
        case 10: native.play({ deckId }); break;
        default: break;
      }
      native.getDeckState({ deckId });
      operations += 2;
    }
    await new Promise((resolve) => setImmediate(resolve));
  }
  const controlSeconds = seconds;
  while (inFlight > 0) await sleep(20);

  // Seeks on a playing deck, each read back, with volume, fade and gain calls.
  let seeks = 0;
  end = Date.now() + seconds * 1000;
  while (Date.now() < end) {
    for (let k = 0; k < 100; k += 1) {
      native.seek({ deckId: 'deck1', seconds: (seeks % 200) / 10 });
      native.getDeckState({ deckId: 'deck1' });
      native.setDeckVolume({ deckId: 'deck2', volume: (seeks % 10) / 10 });
      native.fadeTo({ deckId: 'deck1', durationMs: 50, targetVolume: (seeks % 20) / 20 });
      native.setTrackGain({ deckId: 'deck2', gain: 0.5 });
      seeks += 1;
    }
    await new Promise((resolve) => setImmediate(resolve));
  }
  native.shutdown();
  await server.stop();
  console.log(JSON.stringify({ operationsPerSecond: operations / controlSeconds, seeksPerSecond: seeks / seconds, seconds }));
}

main().catch((error) => { console.error(error); process.exit(1); });
