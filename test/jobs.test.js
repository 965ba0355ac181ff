'use strict';
// Background jobs: every promise resolves with ok/message, the script thread stays free.
const { test, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { native, near } = require('./helpers/engine.js');
const { writeFloatWav, writeGarbage, missingPath } = require('./helpers/wav.js');

after(() => native.shutdown());

const wav = writeFloatWav('job.wav', { seconds: 2, silenceHeadSeconds: 0.5, silenceTailSeconds: 0.5 });
const garbage = writeGarbage('job-garbage.wav');

test('prepareTrack settles ok/message for every kind of descriptor', async () => {
  const cases = [
    [{ path: missingPath('long.wav'), duration: 600 }, true], // streamed: the file is not opened
    [{ path: wav }, true],
    [{ path: missingPath() }, false],
    [{ path: garbage }, false],
    [null, false],
    [undefined, false],
  ];
  for (const [track, ok] of cases) {
    const request = track === undefined ? {} : { track };
    const result = await native.prepareTrack(request);
    assert.equal(result.ok, ok, JSON.stringify(track));
    if (ok) assert.equal(result.message, '');
    else assert.ok(result.message.length > 0, JSON.stringify(track));
  }
});

test('analyses resolve, never reject, for missing and undecodable files', async () => {
  for (const path of [missingPath(), garbage, '']) {
    const waveform = await native.analyzeWaveform({ track: { path } });
    assert.deepEqual([waveform.ok, waveform.message, waveform.peaks], [false, 'analyzeWaveform: cannot open file', []], path);
    const trim = await native.analyzeTrim({ track: { path } });
    assert.equal(trim.ok, false, path);
    assert.ok(trim.message.length > 0, path);
  }
});

test('analyses of a decodable file use their defaults', async () => {
  const waveform = await native.analyzeWaveform({ track: { path: wav } });
  assert.equal(waveform.ok, true);
  assert.equal(waveform.peaks.length, 1200);
  assert.equal(waveform.channels, 2);
  near(waveform.durationSeconds, 2, 0.01);
  const trim = await native.analyzeTrim({ track: { path: wav } });
  assert.deepEqual([trim.ok, trim.message], [true, '']);
  near(trim.durationSeconds, 2, 0.01);
  assert.ok(trim.cueInSeconds < trim.cueOutSeconds);
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

test('three analyses in flight settle independently while the script thread answers', async () => {
  const long = writeFloatWav('long.wav', { seconds: 20 });
  let settled = 0;
  const count = (promise) => promise.then((value) => { settled += 1; return value; });
  const jobs = [
    count(native.analyzeWaveform({ track: { path: long }, options: { maxPoints: 300 } })),
    count(native.analyzeTrim({ track: { path: long } })),
    count(native.analyzeWaveform({ track: { path: missingPath() } })),
  ];
  assert.equal(settled, 0, 'nothing settles before the calling code yields');
  while (settled < jobs.length) {
    assert.equal(native.getRuntimeInfo().activeDeviceId, 'default');
    await new Promise((resolve) => setImmediate(resolve));
  }
  const [waveform, trim, missing] = await Promise.all(jobs);
  assert.deepEqual([waveform.ok, waveform.peaks.length, trim.ok, missing.ok], [true, 300, true, false]);
});
