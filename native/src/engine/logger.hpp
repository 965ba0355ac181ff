#pragma once

namespace velmora {

// Diagnostic lines on standard output; each format carries its own newline.
// Never called on the audio thread.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmora
