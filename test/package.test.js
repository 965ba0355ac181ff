'use strict';
// The packed tarball, installed into a fresh project, builds the module with
// the system libraries and drives a deck. Compiles the module once (~1 min).
const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync, spawnSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { writeTrack } = require('../examples/synth');
const { JackServer, available: jackAvailable } = require('./helpers/jack');

const root = path.join(__dirname, '..');
const pkg = require('../package.json');

test('packed tarball', { timeout: 15 * 60 * 1000 }, async (t) => {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-package-'));
  t.after(() => fs.rmSync(folder, { recursive: true, force: true }));
  // The engine logs on stdout, so scripts report on stderr.
  const runNode = (args, cwd, env = process.env) => {
    const run = spawnSync(process.execPath, args, { cwd, env, encoding: 'utf8', stdio: ['ignore', 'ignore', 'pipe'] });
    assert.equal(run.status, 0, run.stderr);
    return run.stderr;
  };
  const npm = (args, cwd) => execFileSync('npm', args, { cwd, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });

  const [packed] = JSON.parse(npm(['pack', '--json', '--pack-destination', folder], root));
  const tarball = path.join(folder, packed.filename);

  await t.test('holds only what a consumer builds and loads', () => {
    const files = packed.files.map((file) => file.path);
    for (const needed of ['index.js', 'index.mjs', 'CMakeLists.txt', 'package.json', 'native/src/binding/module.cpp'])
      assert.ok(files.includes(needed), `missing ${needed}`);
    const unwanted = files.filter((file) => !/^(index\.(js|mjs|d\.ts)|CMakeLists\.txt|package\.json|README\.md|LICENSE|native\/src\/.*)$/.test(file));
    assert.deepEqual(unwanted, []);
  });

  const consumer = path.join(folder, 'consumer');
  fs.mkdirSync(consumer);
  fs.writeFileSync(path.join(consumer, 'package.json'), JSON.stringify({ name: 'consumer', version: '1.0.0', private: true }));
  npm(['install', '--prefer-offline', '--no-audit', '--no-fund', tarball], consumer);

  await t.test('installs with a built module that require() loads and drives a deck', () => {
    const trackPath = path.join(folder, 'tone.wav');
    writeTrack(trackPath, { musicSeconds: 2 });
    const script = `
      const engine = require(${JSON.stringify(pkg.name)});
      engine.initialize({});
      const loaded = engine.loadTrack({ deckId: 'A', track: { id: 't', path: ${JSON.stringify(trackPath)}, cueIn: 1 } });
      const sought = engine.seek({ deckId: 'A', seconds: 1.5 });
      const faded = engine.fadeTo({ deckId: 'A', durationMs: 0, targetVolume: 0.5 });
      engine.shutdown();
      process.stderr.write(JSON.stringify({ count: Object.keys(engine).length, loaded, sought, faded }));
    `;
    const output = runNode(['-e', script], consumer);
    const { count, loaded, sought, faded } = JSON.parse(output);
    assert.equal(count, 20);
    assert.equal(loaded.loaded, true, loaded.lastError);
    assert.equal(loaded.positionSeconds, 1);
    assert.equal(loaded.durationSeconds, 4);
    assert.equal(sought.positionSeconds, 1.5);
    assert.equal(faded.deckVolume, 0.5);
  });

  await t.test('plays a deck on a device', { skip: jackAvailable ? false : 'jackd2 is not installed' }, async () => {
    const server = new JackServer();
    await server.start();
    try {
      const trackPath = path.join(folder, 'play.wav');
      writeTrack(trackPath, { musicSeconds: 4 });
      const script = `
        const engine = require(${JSON.stringify(pkg.name)});
        const jack = engine.getDevices().find((d) => d.hostApiName === 'JACK Audio Connection Kit');
        engine.initialize({ deviceId: jack.id });
        engine.loadTrack({ deckId: 'A', track: { path: ${JSON.stringify(trackPath)} } });
        const deadline = Date.now() + 3000;
        const start = () => {
          if (!engine.getRuntimeInfo().streamOpen && Date.now() < deadline) return setTimeout(start, 20);
          const played = engine.play({ deckId: 'A' });
          setTimeout(() => {
            const later = engine.getDeckState({ deckId: 'A' });
            engine.shutdown();
            process.stderr.write(JSON.stringify({ played, later }));
          }, 500);
        };
        start();
      `;
      const { played, later } = JSON.parse(runNode(['-e', script], consumer, server.env()));
      assert.equal(played.playing, true, played.lastError);
      assert.ok(later.positionSeconds > 0.3, `position ${later.positionSeconds}`);
    } finally {
      await server.stop();
    }
  });

  await t.test('the ES entry loads from the installed package', () => {
    const output = runNode(
      ['--input-type=module', '-e', `import engine, { getDeckState } from ${JSON.stringify(pkg.name)}; process.stderr.write(String(engine.getDeckState === getDeckState && getDeckState({ deckId: 'Z' }).deckId === 'Z'));`],
      consumer,
    );
    assert.equal(output, 'true');
  });
});
