'use strict';
// The JACK server killed and restarted during 4-deck playback. With PortAudio
// 19.6's JACK host API a stream cannot be reopened in the same process after
// its server died, so this checks what holds: the loss shows in
// getRuntimeInfo within 500 ms, no script call blocks longer than 100 ms,
// initialize keeps the deck positions (within one buffer) and the decks go on
// advancing on the silent clock.
const { writeFloatWav } = require('../helpers/wav');
const { sleep, args, engineOnJack, check } = require('./common');

async function main() {
  const { cycles } = args({ cycles: 5 });
  const { server, native } = await engineOnJack();
  const file = writeFloatWav('faults.wav', { seconds: 120 });
  const decks = ['a', 'b', 'c', 'd'];
  for (const deckId of decks) {
    native.loadTrack({ deckId, track: { path: file } });
    native.play({ deckId });
  }
  let slowest = 0;
  const timed = (fn) => {
    const start = process.hrtime.bigint();
    const result = fn();
    slowest = Math.max(slowest, Number(process.hrtime.bigint() - start) / 1e6);
    return result;
  };
  const buffer = 256 / 48000;
  let detections = 0;
  let kept = 0;
  let advancing = 0;
  let worstDetectMs = 0;
  for (let cycle = 0; cycle < cycles; cycle += 1) {
    await sleep(500);
    const child = server.process;
    const killedAt = Date.now();
    child.kill('SIGKILL');
    let detectedMs = null;
    while (Date.now() - killedAt < 2000) {
      const info = timed(() => native.getRuntimeInfo());
      if (!info.streamOpen || info.streamHealth !== 'ok') { detectedMs = Date.now() - killedAt; break; }
      await sleep(5);
    }
    if (detectedMs !== null && detectedMs <= 500) detections += 1;
    worstDetectMs = Math.max(worstDetectMs, detectedMs ?? Infinity);
    server.process = null;
    server.removeStaleFiles();
    await server.start();
    // initialize itself moves no deck: positions just after it are those just
    // before it, plus what the silent clock played meanwhile.
    const before = decks.map((deckId) => native.getDeckState({ deckId }).positionSeconds);
    const initStart = process.hrtime.bigint();
    timed(() => native.initialize({ bufferSize: 256 }));
    const after = decks.map((deckId) => native.getDeckState({ deckId }).positionSeconds);
    const elapsed = Number(process.hrtime.bigint() - initStart) / 1e9;
    if (after.every((p, i) => p >= before[i] - buffer && p <= before[i] + elapsed + 2 * buffer)) kept += 1;
    else console.error(`cycle ${cycle}: positions ${before} -> ${after} over ${elapsed.toFixed(3)} s`);
    for (const deckId of decks) timed(() => native.play({ deckId }));
    await sleep(300);
    const later = decks.map((deckId) => timed(() => native.getDeckState({ deckId })).positionSeconds);
    if (later.every((p, i) => p > after[i])) advancing += 1;
  }
  const info = native.getRuntimeInfo();
  console.log(`faults: ${cycles} server kills: loss seen within 500 ms ${detections}/${cycles} (worst ${worstDetectMs} ms), ` +
    `positions kept ${kept}/${cycles}, decks advancing after initialize ${advancing}/${cycles}, ` +
    `slowest script call ${slowest.toFixed(1)} ms, final health ${info.streamHealth} (${info.lastError})`);
  check(detections === cycles, 'loss not reported within 500 ms');
  check(slowest <= 100, `a script call blocked ${slowest.toFixed(1)} ms`);
  check(kept === cycles, 'positions not kept across initialize');
  check(advancing === cycles, 'decks stopped advancing after initialize');
  native.shutdown();
  await server.stop();
}

main().catch((error) => { console.error(error); process.exit(1); });
