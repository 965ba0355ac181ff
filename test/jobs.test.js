'use strict';
// Background jobs: every promise resolves with ok/message in the declared
// shape, the script thread stays free.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { native, near, assertKeys } = require('./helpers/engine.js');
const { writeFloatWav, writeGarbage, missingPath } = require('./helpers/wav.js');

after(() => native.shutdown());

const wav = writeFloatWav('job.wav', { seconds: 2 });
const garbage = writeGarbage('job-garbage.wav');

test('every job settles with ok and a message in its shape, never rejects, whatever the descriptor', async () => {
  const cases = [
    // descriptor, whether prepareTrack succeeds, whether the analyses do
    [{ path: missingPath('long.wav'), duration: 600 }, true, false], // streamed: prepareTrack opens nothing
    [{ path: wav }, true, true],
    [{ path: missingPath() }, false, false],
    [{ path: garbage }, false, false],
    [{ path: '' }, false, false],
    [null, false, false],
    [undefined, false, false],
  ];
  const jobs = [['prepareTrack', 'PrepareResult'], ['analyzeWaveform', 'WaveformResult'], ['analyzeTrim', 'TrimResult']];
  for (const [track, prepared, analysed] of cases) {
    const request = track === undefined ? {} : { track };
    for (const [job, shape] of jobs) {
      const result = await native[job](request);
      const label = `${job} ${JSON.stringify(track)}: ${result.message}`;
      const ok = job === 'prepareTrack' ? prepared : analysed;
      assert.deepEqual([result.ok, result.message === ''], [ok, ok], label);
      assertKeys(result, shape, label);
      for (const peak of result.peaks ?? []) assertKeys(peak, 'WaveformPeak');
      if (job === 'analyzeWaveform' && !ok) {
        assert.deepEqual([result.message, result.peaks], ['analyzeWaveform: cannot open file', []], label);
      }
    }
  }
});

test('a trimmed or prepared track is loaded from the cache without decoding again', async () => {
  for (const job of ['analyzeTrim', 'prepareTrack']) {
    const file = writeFloatWav(`${job}.wav`, { seconds: 1 });
    assert.equal((await native[job]({ track: { path: file } })).ok, true);
    fs.rmSync(file);
    const s = native.loadTrack({ deckId: job, track: { path: file } });
    assert.deepEqual([s.loaded, s.lastError], [true, ''], job);
    near(s.durationSeconds, 1);
  }
});

test('analyses in flight settle independently while the script thread answers; defaults apply', async () => {
  const long = writeFloatWav('long.wav', { seconds: 20 });
  let settled = 0;
  const jobs = [
    native.analyzeWaveform({ track: { path: long }, options: { maxPoints: 300 } }),
    native.analyzeWaveform({ track: { path: long } }),
    native.analyzeTrim({ track: { path: long } }),
    native.analyzeWaveform({ track: { path: missingPath() } }),
  ].map((promise) => promise.then((value) => { settled += 1; return value; }));
  assert.equal(settled, 0, 'nothing settles before the calling code yields');
  while (settled < jobs.length) {
    assert.equal(native.getRuntimeInfo().activeDeviceId, 'default');
    await new Promise((resolve) => setImmediate(resolve));
  }
  const [short, waveform, trim, missing] = await Promise.all(jobs);
  assert.deepEqual([short.ok, short.peaks.length, waveform.ok, waveform.peaks.length, waveform.channels],
    [true, 300, true, 1200, 2]);
  assert.deepEqual([trim.ok, trim.message, missing.ok], [true, '', false]);
  near(waveform.durationSeconds, 20, 0.01);
  near(trim.durationSeconds, 20, 0.01);
  assert.ok(trim.cueInSeconds < trim.cueOutSeconds);
});
