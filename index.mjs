// ES module entry: the same native module as index.js, as named exports.
import { createRequire } from 'node:module';

const require = createRequire(import.meta.url);
const engine = require('./index.js');

export const {
  initialize,
  shutdown,
  getDevices,
  createDeck,
  deleteDeck,
  assignDeckOutput,
  loadTrack,
  getRuntimeInfo,
  play,
  pause,
  stop,
  seek,
  setDeckVolume,
  setTrackGain,
  updateTrack,
  fadeTo,
  getDeckState,
  prepareTrack,
  analyzeWaveform,
  analyzeTrim,
} = engine;

export default engine;
