'use strict';
// loadTrack of a 5-minute track after prepareTrack, against loading it
// an unprepared copy of it. Usage: node bench/prepared_load.js FILE COPY
const native = require('..');

const [file, copy] = process.argv.slice(2);
function timeLoad(deckId, path) {
  const start = process.hrtime.bigint();
  const state = native.loadTrack({ deckId, track: { path } });
  if (!state.loaded) throw new Error(state.lastError);
  return Number(process.hrtime.bigint() - start) / 1e6;
}

(async () => {
  native.initialize({});
  const unprepared = timeLoad('cold', copy);
  await native.prepareTrack({ track: { path: file } });
  const prepared = timeLoad('warm', file);
  native.shutdown();
  console.log(JSON.stringify({ preparedMs: prepared, unpreparedMs: unprepared }));
})();
