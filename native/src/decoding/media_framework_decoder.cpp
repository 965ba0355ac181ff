#include "decoding/media_framework_decoder.hpp"

#include <algorithm>
#include <new>

#include "decoding/media_audio_decoder.hpp"
#include "decoding/sample_bounds.hpp"

namespace velmora {

PcmBufferPtr decodeWithMediaFramework(const std::string& path, std::string& message) {
    MediaAudioDecoder decoder;
    if (!decoder.open(path, message)) return nullptr;

    std::vector<float> samples;
    // Size the buffer from the container's duration when it states one.
    // The header is only a hint: a damaged one can claim hours in a few bytes,
    // so the reservation never exceeds what the file's size could plausibly
    // decode to (the vector still grows past it for real audio).
    if (const std::uint64_t claimed = decoder.statedSamplesHint(); claimed > 0) {
        const std::int64_t fileBytes = decoder.fileBytes();
        const std::uint64_t plausible =
            fileBytes > 0 ? static_cast<std::uint64_t>(fileBytes) * kMaxSamplesPerFileByte : 0;
        try {
            samples.reserve(std::min<std::uint64_t>({claimed, plausible, std::uint64_t{1} << 28}));
        } catch (const std::bad_alloc&) {
        }
    }

    BlockEnergyBuilder energy;
    std::size_t checked = 0;
    while (decoder.decodeMore(samples, message)) {
        if (checked == 0)
            energy =
                BlockEnergyBuilder(decoder.channels(), blockEnergyFrames(decoder.sampleRate()));
        // Bounded and summed while the frame just decoded is still in cache.
        boundDecodedSamples(samples.data() + checked, samples.size() - checked);
        checked = samples.size();
        energy.update(samples.data(),
                      samples.size() / static_cast<std::size_t>(decoder.channels()));
    }
    if (!message.empty()) return nullptr;

    auto buffer = std::make_shared<PcmBuffer>();
    buffer->sampleRate = decoder.sampleRate();
    buffer->channels = decoder.channels();
    buffer->samples = std::move(samples);
    buffer->energy = energy.take();
    std::vector<float>& kept = buffer->samples;
    if (kept.capacity() - kept.size() > kept.size() / 16 + 65536) kept.shrink_to_fit();
    return buffer;
}

}  // namespace velmora
