#pragma once
// Every text the deck operations report in a deck's lastError, besides the
// decoders' (decoding/messages.hpp) and the engine's. Kept word for word:
// callers match them.

namespace velmora::messages {

inline constexpr char kStreamNotOpen[] = "Native output stream is not open.";
inline constexpr char kNoDecodableTrack[] = "No decodable track loaded.";

}  // namespace velmora::messages
