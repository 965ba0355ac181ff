'use strict';
// A private JACK dummy server for script tests. Its name is random per run and
// exported through JACK_DEFAULT_SERVER (with JACK_NO_START_SERVER=1) before
// the engine first touches PortAudio; its output stays out of the test output.
const { spawn, spawnSync } = require('node:child_process');
const crypto = require('node:crypto');

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

  async start(period = 256) {
    if (this.process) return;
    this.process = spawn('jackd', ['--no-realtime', '-d', 'dummy', '-r', '48000', '-p', String(period), '-P', '16'],
      { env: this.env(), stdio: 'ignore' });
    const deadline = Date.now() + 5000;
    while (Date.now() < deadline) {
      if (this.ready()) return;
      await new Promise((resolve) => setTimeout(resolve, 50));
    }
    await this.stop();
    throw new Error('jackd did not start');
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
