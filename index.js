'use strict';
// Loads the native engine and re-exports its twenty functions.
const path = require('path');

module.exports = require(path.join(__dirname, 'build', 'Release', 'velmora_audio_native.node'));
