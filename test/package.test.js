'use strict';
// The packed tarball, installed into a fresh project, loads and drives a
// deck. By default this clone is packed as it is, and installing compiles the
// module with the system libraries (~1 min). With VELMORA_PREBUILT_TARBALL
// (scripts/prebuilds.sh --test) the published package is installed with no
// compiler reachable, and its prebuilt modules are checked as well: the Linux
// one's libraries, playing without libjack, the Windows one under Wine.
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
const prebuilt = process.env.VELMORA_PREBUILT_TARBALL;
const needsPrebuilt = prebuilt ? false : 'the prebuilt package only (scripts/prebuilds.sh --test)';
const MODULE = 'velmora_audio_native.node';

// A PATH with everything in node's directory, /usr/bin and /bin but
// compilers and build tools.
const BUILD_TOOLS = /^(cc|c\+\+|cpp|gcc|g\+\+|c89|c99|ld|ld\..*|cmake|ccmake|ctest|make|gmake|ninja|clang.*|.*-(gcc|g\+\+|cc|c\+\+|ld)(-[0-9.]+)?|(gcc|g\+\+|cpp)-[0-9.]+)$/;
function pathWithoutCompilers(folder) {
  const bin = path.join(folder, 'bin');
  fs.mkdirSync(bin);
  for (const directory of [path.dirname(process.execPath), '/usr/local/bin', '/usr/bin', '/bin']) {
    if (!fs.existsSync(directory)) continue;
    for (const name of fs.readdirSync(directory)) {
      if (BUILD_TOOLS.test(name) || fs.existsSync(path.join(bin, name))) continue;
      fs.symlinkSync(path.join(directory, name), path.join(bin, name));
    }
  }
  return bin;
}

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

  let tarball;
  let files;
  if (prebuilt) {
    tarball = prebuilt;
    files = execFileSync('tar', ['-tzf', tarball], { encoding: 'utf8' }).trim().split('\n')
      .map((file) => file.replace(/^package\//, '')).filter((file) => !file.endsWith('/'));
  } else {
    const [packed] = JSON.parse(npm(['pack', '--json', '--pack-destination', folder], root));
    tarball = path.join(folder, packed.filename);
    files = packed.files.map((file) => file.path);
  }

  await t.test('holds only what a consumer builds and loads', () => {
    const needed = ['index.js', 'index.mjs', 'install.js', 'CMakeLists.txt', 'package.json', 'native/src/binding/module.cpp'];
    if (prebuilt) needed.push(`prebuilds/linux-x64/${MODULE}`, `prebuilds/win32-x64/${MODULE}`);
    for (const file of needed) assert.ok(files.includes(file), `missing ${file}`);
    const unwanted = files.filter((file) => !/^(index\.(js|mjs|d\.ts)|install\.js|CMakeLists\.txt|package\.json|README\.md|LICENSE|native\/src\/.*|prebuilds\/(linux|win32)-x64\/velmora_audio_native\.node)$/.test(file));
    assert.deepEqual(unwanted, []);
    t.diagnostic(`tarball: ${fs.statSync(tarball).size} bytes`);
  });

  const consumer = path.join(folder, 'consumer');
  fs.mkdirSync(consumer);
  fs.writeFileSync(path.join(consumer, 'package.json'), JSON.stringify({ name: 'consumer', version: '1.0.0', private: true }));
  const installed = path.join(consumer, 'node_modules', pkg.name);
  if (prebuilt) {
    const bin = pathWithoutCompilers(folder);
    const env = { ...process.env, PATH: bin };
    const found = spawnSync('sh', ['-c', 'command -v cc c++ gcc g++ cmake make'], { env, encoding: 'utf8' });
    assert.equal(found.stdout, '', 'a compiler is reachable');
    const started = Date.now();
    execFileSync('npm', ['install', '--prefer-offline', '--no-audit', '--no-fund', tarball],
      { cwd: consumer, env, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
    t.diagnostic(`installed with no compiler in ${((Date.now() - started) / 1000).toFixed(1)} s`);
    assert.equal(fs.existsSync(path.join(installed, 'build')), false, 'the install compiled');
  } else {
    npm(['install', '--prefer-offline', '--no-audit', '--no-fund', tarball], consumer);
  }

  await t.test('the installed module loads with require() and drives a deck', () => {
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

  // Plays a track on deck A for half a second once the stream is open, on
  // the device `initialize` picks; reports the host APIs listed and the states.
  const playTrack = (name, initialize, run) => {
    const trackPath = path.join(folder, name);
    writeTrack(trackPath, { musicSeconds: 4 });
    const { apis, played, later } = JSON.parse(run(`
      const engine = require(${JSON.stringify(pkg.name)});
      const devices = engine.getDevices();
      const apis = [...new Set(devices.map((d) => d.hostApiName))];
      ${initialize}
      engine.loadTrack({ deckId: 'A', track: { path: ${JSON.stringify(trackPath)} } });
      const deadline = Date.now() + 3000;
      const start = () => {
        if (!engine.getRuntimeInfo().streamOpen && Date.now() < deadline) return setTimeout(start, 20);
        const played = engine.play({ deckId: 'A' });
        setTimeout(() => {
          const later = engine.getDeckState({ deckId: 'A' });
          engine.shutdown();
          process.stderr.write(JSON.stringify({ apis, played, later }));
        }, 500);
      };
      start();
    `));
    assert.equal(played.playing, true, played.lastError);
    assert.ok(later.positionSeconds > 0.3, `position ${later.positionSeconds}`);
    return apis;
  };

  await t.test('plays a deck on a device', { skip: jackAvailable ? false : 'jackd2 is not installed' }, async () => {
    const server = new JackServer();
    await server.start();
    try {
      playTrack('play.wav', `engine.initialize({ deviceId: devices.find((d) => d.hostApiName === 'JACK Audio Connection Kit').id });`,
        (script) => runNode(['-e', script], consumer, server.env()));
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

  await t.test('the Linux module needs only glibc and ALSA', { skip: needsPrebuilt }, () => {
    const module = path.join(installed, 'prebuilds', 'linux-x64', MODULE);
    const needed = [...execFileSync('readelf', ['-d', module], { encoding: 'utf8' }).matchAll(/\(NEEDED\).*\[(.+)\]/g)]
      .map((match) => match[1]);
    const outside = needed.filter((name) => !/^(lib[cm]\.so\.6|libdl\.so\.2|libpthread\.so\.0|librt\.so\.1|ld-linux-x86-64\.so\.2|libasound\.so\.2)$/.test(name));
    assert.deepEqual(outside, []);
    const versions = [...execFileSync('objdump', ['-T', module], { encoding: 'utf8' }).matchAll(/\bGLIBC_(\d+)\.(\d+)/g)]
      .map((match) => [Number(match[1]), Number(match[2])]).sort((a, b) => a[0] - b[0] || a[1] - b[1]);
    t.diagnostic(`linux-x64: ${fs.statSync(module).size} bytes, needs ${needed.join(' ')}, glibc ${versions.at(-1).join('.')} or later`);
  });

  // libjack is made unloadable for one process: in its own mount namespace
  // (in a user namespace, so no privilege is needed), every libjack.so.0 the
  // loader knows is covered by /dev/null. ALSA's only
  // device is a null PCM, which plays without a sound card.
  // Some containers allow no user namespace: the check cannot run there.
  const namespaces = spawnSync('unshare', ['--map-root-user', '--mount', 'true']).status === 0;
  await t.test('without libjack, it loads and plays through ALSA',
    { skip: needsPrebuilt || (!namespaces && 'unshare --map-root-user --mount is not permitted here') }, () => {
    const libraries = execFileSync('ldconfig', ['-p'], { encoding: 'utf8' }).split('\n')
      .filter((line) => line.includes('libjack.so.0 ')).map((line) => fs.realpathSync(line.split('=> ')[1].trim()));
    const alsaConfig = path.join(folder, 'alsa-null.conf');
    fs.writeFileSync(alsaConfig, 'pcm.!default { type null }\n');
    const hide = libraries.map((library) => `mount --bind /dev/null '${library}' && `).join('');
    const initialize = `if (require('fs').readFileSync('/proc/self/maps', 'utf8').includes('libjack')) throw new Error('libjack loaded');
      engine.initialize({});`;
    const apis = playTrack('alsa.wav', initialize, (script) => {
      const run = spawnSync('unshare', ['--map-root-user', '--mount', 'sh', '-c', `${hide}exec "$0" -e "$1"`, process.execPath, script], {
        cwd: consumer, encoding: 'utf8', stdio: ['ignore', 'ignore', 'pipe'],
        env: { ...process.env, ALSA_CONFIG_PATH: alsaConfig, JACK_NO_START_SERVER: '1' },
      });
      assert.equal(run.status, 0, run.stderr);
      return run.stderr;
    });
    assert.deepEqual(apis, ['ALSA']);
  });

  // scripts/windows.sh leaves node.exe and a Wine prefix in its cache.
  const windowsCache = process.env.VELMORA_WINDOWS_CACHE || path.join(os.homedir(), '.cache', 'velmora-windows');
  const nodeExe = fs.existsSync(windowsCache) &&
    fs.readdirSync(windowsCache).filter((name) => /^node-[\d.]+$/.test(name)).sort().map((name) => path.join(windowsCache, name, 'node.exe')).at(-1);
  const wine = spawnSync('sh', ['-c', 'command -v wine64 || ls /usr/lib/wine/wine64'], { encoding: 'utf8' }).stdout.trim();
  const noWine = needsPrebuilt || (nodeExe && wine && fs.existsSync(path.join(windowsCache, 'wine-prefix', '.velmora-win10')) ? false
    : 'Wine and node.exe come from scripts/windows.sh');
  await t.test('the Windows node.exe loads the installed package under Wine', { skip: noWine, timeout: 300000 }, () => {
    const out = path.join(folder, 'wine.out');
    const windowsPath = (file) => `Z:${file.replaceAll('/', '\\')}`;
    const env = { ...process.env, WINEPREFIX: path.join(windowsCache, 'wine-prefix'), WINEARCH: 'win64', WINEDEBUG: '-all',
      WINEDLLOVERRIDES: 'mscoree,mshtml=' };
    delete env.DISPLAY;
    // node.exe fails with EBADF when its output is a pipe: it writes to a file.
    const run = spawnSync('sh', ['-c', '"$0" "$1" "$2" "$3" </dev/null >"$4" 2>&1', wine, nodeExe,
      windowsPath(path.join(root, 'test', 'windows', 'smoke.js')), windowsPath(installed), out], { env, timeout: 240000 });
    spawnSync('wineserver', ['-k'], { env });
    const report = fs.readFileSync(out, 'utf8');
    assert.equal(run.status, 0, report);
    const { failures, devices } = JSON.parse(report.trim().split('\n').at(-1));
    assert.deepEqual(failures, []);
    t.diagnostic(`win32-x64 under Wine: ${devices.length} devices`);
  });
});
