#pragma once

namespace velmora::platform {

// Keeps the audio libraries under PortAudio (ALSA, JACK) from printing their
// own diagnostics on standard error while the engine probes and retries
// devices; the engine reports device trouble through its own records and log.
// Safe to call many times; does nothing for a library that is not loaded.
void quietAudioLibraryDiagnostics();

}  // namespace velmora::platform
