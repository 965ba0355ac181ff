#include "decoding/decode_chain.hpp"

namespace velmora {

// Placeholder until the decoders land: every decode fails.
bool shouldStreamTrack(const TrackDescriptor& track) { return track.duration >= kStreamMinDurationSeconds; }

PcmBufferPtr decodeTrack(TrackCache&, const TrackDescriptor&, bool, std::string& message) {
    message = "miniaudio decode init failed: decoder unavailable";
    return nullptr;
}

}  // namespace velmora
