#pragma once
// Every text the analyses report, besides the decoders' (decoding/messages.hpp).
// Kept word for word: callers match them.

namespace velmora::messages {

inline constexpr char kEmptyPcmBuffer[] = "Empty PCM buffer.";
inline constexpr char kWaveformCannotOpen[] = "analyzeWaveform: cannot open file";

}  // namespace velmora::messages
