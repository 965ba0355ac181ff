'use strict';
// First check of the Windows module, run by scripts/windows.sh under Wine in
// a Windows node.exe (or a copy of it under another name):
//   node.exe smoke.js MODULE
// Prints one JSON line (the host, its Node version, the functions, the
// devices) and exits with 1 when the module does not load, its functions are
// not the engine's in order, or getDevices returns no array.
const FUNCTIONS = ['initialize', 'shutdown', 'getDevices', 'createDeck', 'deleteDeck',
  'assignDeckOutput', 'loadTrack', 'getRuntimeInfo', 'play', 'pause', 'stop', 'seek',
  'setDeckVolume', 'setTrackGain', 'updateTrack', 'fadeTo', 'getDeckState', 'prepareTrack',
  'analyzeWaveform', 'analyzeTrim'];

const report = { host: process.execPath, node: process.version, failures: [] };
try {
  const native = require(process.argv[2]);
  report.functions = Object.getOwnPropertyNames(native);
  if (JSON.stringify(report.functions) !== JSON.stringify(FUNCTIONS) ||
      !FUNCTIONS.every((name) => typeof native[name] === 'function')) {
    report.failures.push("the functions are not the engine's, in order");
  }
  const devices = native.getDevices();
  if (!Array.isArray(devices)) report.failures.push('getDevices returned no array');
  report.devices = (devices || []).map(({ id, name, hostApiName, channels, isDefault }) =>
    ({ id, name, hostApiName, channels, isDefault }));
  native.shutdown();
} catch (error) {
  report.failures.push(`${error.code || error.name}: ${error.message}`);
}
console.log(JSON.stringify(report));
process.exitCode = report.failures.length === 0 ? 0 : 1;
