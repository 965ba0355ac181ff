// Bytes -> file -> the whole-track decode chain, then the streaming path:
// open, refill, seek and refill again, close.

#include <cmath>
#include <cstring>
#include <string>

#include "decoding/decode_chain.hpp"
#include "decoding/streaming_source.hpp"
#include "fuzz_files.hpp"
#include "platform/audio_diagnostics.hpp"

using namespace velmora;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::quietAudioLibraryDiagnostics();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    TrackDescriptor track;
    track.path = fuzz::writeInput(data[0], data + 1, size - 1);
    track.cueIn = (data[0] >> 4) * 0.05;

    TrackCache cache;
    std::string message;
    PcmBufferPtr pcm = decodeTrack(cache, track, true, message);
    if (pcm) {
        // A decoded buffer is whole frames of a positive rate and channel count.
        if (pcm->sampleRate <= 0 || pcm->channels <= 0 ||
            pcm->samples.size() % static_cast<std::size_t>(pcm->channels) != 0)
            __builtin_trap();
        if (!message.empty()) __builtin_trap();
    } else if (message.empty()) {
        __builtin_trap();  // a failure must say why
    }

    StreamingSourcePtr source = openStreamingSource(track, 48000, message);
    if (!source) return 0;
    std::string refillMessage;
    refillStreamingSource(source.get(), StreamingSource::kRefillTargetFrames, refillMessage);
    const double target = size > 2 ? data[size - 1] * 0.01 - 0.2 : 0.0;
    seekStreamingSource(source.get(), target, 256);
    refillStreamingSource(source.get(), StreamingSource::kRefillTargetFrames, refillMessage);
    const std::uint64_t written = source->writeIndex.load();
    const std::uint64_t read = source->readIndex.load();
    if (written < read || written - read > source->ringSamples()) __builtin_trap();
    closeStreamingSource(source.get());
    return 0;
}
