'use strict';
// A private JACK dummy server for script tests. Its name is random per run and
// exported through JACK_DEFAULT_SERVER (with JACK_NO_START_SERVER=1) before
// the engine first touches PortAudio; its output stays out of the test output.
const { spawn, spawnSync } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const { reclaimDeadServers } = require('../../scripts/jack-registry');

const available = spawnSync('sh', ['-c', 'command -v jackd && command -v jack_lsp']).status === 0;

function configureEnvironment(name) {
  process.env.JACK_DEFAULT_SERVER = name;
  process.env.JACK_NO_START_SERVER = '1';
}

class JackServer {
  constructor() {
    this.name = `velmora${crypto.randomBytes(5).toString('hex')}`;
    this.process = null;
    configureEnvironment(this.name);
  }

  env() {
    return { ...process.env, JACK_DEFAULT_SERVER: this.name, JACK_NO_START_SERVER: '1' };
  }

  ready() {
    const out = spawnSync('jack_lsp', { env: this.env(), encoding: 'utf8' });
    return out.status === 0 && out.stdout.includes('system:playback_1');
  }

  // `realtime` runs the server (and its clients' process threads) with
  // SCHED_FIFO where the machine allows it: without it a loaded machine
  // makes it miss periods. A server that does not come up (a loaded machine,
  // files left by a killed one) is retried twice.
  async start(period = 256, { realtime = this.realtime ?? true } = {}) {
    if (this.process) return;
    this.realtime = realtime;
    for (let attempt = 0; attempt < 3; attempt += 1) {
      reclaimDeadServers();
      if (await this.launch(period, realtime)) return;
      this.removeStaleFiles();
      await new Promise((resolve) => setTimeout(resolve, 300));
    }
    throw new Error('jackd did not start');
  }

  async launch(period, realtime) {
    const fifo = realtime && spawnSync('chrt', ['-f', '1', 'true']).status === 0;
    const mode = fifo ? ['-R', '-P', '70'] : ['--no-realtime'];
    // setpriv makes the server end with this process even when it crashes.
    const child = spawn('setpriv', ['--pdeathsig', 'TERM', 'jackd', ...mode, '-d', 'dummy', '-r', '48000',
      '-p', String(period), '-P', '16'], { env: this.env(), stdio: 'ignore' });
    this.process = child;
    // Never leave a server behind, whatever way this process ends; SIGTERM
    // lets it leave JACK's server registry on its way out.
    const onExit = () => {
      if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
    };
    process.on('exit', onExit);
    child.once('exit', () => process.removeListener('exit', onExit));
    const deadline = Date.now() + 10000;
    while (Date.now() < deadline && child.exitCode === null && child.signalCode === null) {
      if (this.ready()) return true;
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    await this.stop();
    return false;
  }

  // A killed server leaves its sockets and shared memory behind.
  removeStaleFiles() {
    const uid = process.getuid();
    for (const dir of [`/tmp/jack-${uid}/${this.name}`, `/dev/shm/jack-${uid}/${this.name}`]) {
      fs.rmSync(dir, { recursive: true, force: true });
    }
    for (const entry of fs.readdirSync('/dev/shm')) {
      if (entry.includes(this.name)) fs.rmSync(`/dev/shm/${entry}`, { force: true });
    }
  }

  // The engine's JACK device: tests name it by its id rather than trust
  // what "default" is on the machine (a desktop's is ALSA's).
  device(native) {
    const device = native.getDevices().find((d) => d.hostApiName === 'JACK Audio Connection Kit');
    if (!device) throw new Error(`no JACK device in ${JSON.stringify(native.getDevices())}`);
    return device;
  }

  async stop() {
    const child = this.process;
    if (!child) return;
    this.process = null;
    if (child.exitCode !== null || child.signalCode !== null) return;
    const exited = new Promise((resolve) => child.once('exit', resolve));
    child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), 2000);
    await exited;
    clearTimeout(timer);
  }
}

module.exports = { JackServer, available };

// The engine's output ports, in channel order ("...:out_0", "...:out_1", ...).
function enginePorts(server) {
  const out = spawnSync('jack_lsp', { env: server.env(), encoding: 'utf8' });
  return out.stdout.split('\n').filter((p) => /:out_\d+$/.test(p))
    .sort((a, b) => Number(a.split('_').pop()) - Number(b.split('_').pop()));
}

// Records `seconds` from `ports` with jack_rec into `file` (a WAV). Resolves
// `{ started, done }`: `started` once the recorder is connected to every port,
// `done` with the file when the recording ends.
function record(server, ports, seconds, file) {
  const child = spawn('jack_rec', ['-f', file, '-d', String(seconds), '-b', '32', ...ports],
    { env: server.env(), stdio: 'ignore' });
  let exited = false;
  // jack_rec can hang on a loaded machine: a failed recording, not a stuck run.
  const timer = setTimeout(() => child.kill('SIGKILL'), (seconds + 20) * 1000);
  const done = new Promise((resolve, reject) => {
    child.on('exit', (code) => {
      clearTimeout(timer);
      exited = true;
      if (code === 0) resolve(file);
      else reject(new Error(`jack_rec exited ${code}`));
    });
  });
  const started = (async () => {
    // A recorder that already finished was connected (or done says why not).
    for (let i = 0; i < 100 && !exited; i += 1) {
      const out = spawnSync('jack_lsp', ['-c', ports[0]], { env: server.env(), encoding: 'utf8' });
      if (out.stdout.includes('jackrec')) return;
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
    if (!exited) throw new Error('jack_rec did not connect');
  })();
  return { started, done };
}

module.exports.enginePorts = enginePorts;
module.exports.record = record;
