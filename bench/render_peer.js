'use strict';
// The render peer: node-web-audio-api mixing 64 stereo 44.1 kHz sources on a
// 48 kHz offline context, each through a gain node with a fade running.
// Prints {"nsPerDeckFrame": ...}, best of three renders.
const { OfflineAudioContext } = require('node-web-audio-api');

const decks = Number(process.env.VELMORA_PEER_DECKS || 64);
const seconds = 5;
const rate = 48000;

async function renderOnce() {
  const context = new OfflineAudioContext(2, seconds * rate, rate);
  const buffers = [];
  for (let t = 0; t < 8; ++t) {
    const buffer = context.createBuffer(2, 44100 * (seconds + 1), 44100);
    const left = buffer.getChannelData(0);
    const right = buffer.getChannelData(1);
    const w = (2 * Math.PI * (220 + 55 * t)) / 44100;
    for (let f = 0; f < left.length; ++f) {
      left[f] = 0.2 * Math.sin(w * f);
      right[f] = -left[f];
    }
    buffers.push(buffer);
  }
  for (let d = 0; d < decks; ++d) {
    const source = context.createBufferSource();
    source.buffer = buffers[d % buffers.length];
    const gain = context.createGain();
    gain.gain.setValueAtTime(1, 0);
    gain.gain.linearRampToValueAtTime(0.2, seconds);
    source.connect(gain).connect(context.destination);
    source.start(0);
  }
  const start = process.hrtime.bigint();
  await context.startRendering();
  return Number(process.hrtime.bigint() - start);
}

(async () => {
  let best = Infinity;
  for (let round = 0; round < 3; ++round) best = Math.min(best, await renderOnce());
  console.log(JSON.stringify({ nsPerDeckFrame: best / (decks * seconds * rate) }));
})();
