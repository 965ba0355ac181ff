'use strict';
// Loads the native engine and re-exports its functions: the prebuilt
// module for this platform when the package carries one and it loads, else
// the one compiled at install (build/Release).
const fs = require('fs');
const path = require('path');

const FILE = 'velmora_audio_native.node';
const platform = `${process.platform}-${process.arch}`;
const candidates = [
  path.join(__dirname, 'prebuilds', platform, FILE),
  path.join(__dirname, 'build', 'Release', FILE),
];

function load() {
  const failures = [];
  for (const file of candidates) {
    if (!fs.existsSync(file)) continue;
    try {
      return require(file);
    } catch (error) {
      failures.push(`${path.relative(__dirname, file)}: ${error.message}`);
    }
  }
  const error = new Error(
    `velmora-audio has no native module that loads on ${platform}` +
      (failures.length ? ` (${failures.join('; ')})` : '') +
      '. Prebuilt modules cover linux-x64 (glibc 2.35 or later) and win32-x64; elsewhere the module is' +
      ' compiled at install, which needs a C++20 compiler, CMake, pkg-config and the development files of' +
      ' PortAudio, libsndfile, libFLAC, soxr and FFmpeg (Debian: build-essential cmake pkg-config' +
      ' portaudio19-dev libsndfile1-dev libflac-dev libsoxr-dev libavformat-dev libavcodec-dev' +
      ' libswresample-dev libasound2-dev libjack-jackd2-dev): install them, then run `npm rebuild velmora-audio`.',
  );
  error.code = 'VELMORA_NO_NATIVE_MODULE';
  throw error;
}

module.exports = load();
