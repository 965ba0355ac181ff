'use strict';
// npm's install step: nothing to do when the prebuilt module for this
// platform loads; else the module is compiled from native/src.
const { spawnSync } = require('child_process');
const fs = require('fs');
const path = require('path');

const prebuilt = path.join(__dirname, 'prebuilds', `${process.platform}-${process.arch}`, 'velmora_audio_native.node');

function prebuiltLoads() {
  if (!fs.existsSync(prebuilt)) return false;
  // In a child: a module that loads keeps its engine in the process.
  const check = spawnSync(process.execPath, ['-e', `require(${JSON.stringify(prebuilt)})`], { stdio: 'ignore' });
  return check.status === 0;
}

if (!prebuiltLoads()) {
  if (fs.existsSync(prebuilt)) console.error('velmora-audio: the prebuilt module does not load here; compiling it');
  const cmakeJs = require.resolve('cmake-js/bin/cmake-js');
  const build = spawnSync(process.execPath,
    [cmakeJs, 'compile', '--out', 'build', '--config', 'Release', '--parallel', '2', '--CDVELMORA_TESTS=OFF'],
    { cwd: __dirname, stdio: 'inherit' });
  process.exitCode = build.status ?? 1;
}
