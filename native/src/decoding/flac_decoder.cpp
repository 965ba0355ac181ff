#include "decoding/flac_decoder.hpp"

#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "decoding/sample_bounds.hpp"

namespace velmora {

namespace {

struct DecoderDelete {
    void operator()(FLAC__StreamDecoder* decoder) const { FLAC__stream_decoder_delete(decoder); }
};

struct Sink {
    std::uint64_t fileBytes = 0;
    std::shared_ptr<PcmBuffer> buffer;
    std::uint64_t statedFrames = 0;  // 0: not stated
    unsigned channels = 0;
    unsigned sampleRate = 0;
    BlockEnergyBuilder energy;
    bool failed = false;
};

void onMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata, void* user) {
    auto* sink = static_cast<Sink*>(user);
    if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO || sink->channels != 0) return;
    const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
    sink->channels = info.channels;
    sink->sampleRate = info.sample_rate;
    sink->statedFrames = info.total_samples;
    sink->buffer->channels = static_cast<std::int32_t>(info.channels);
    sink->buffer->sampleRate = static_cast<std::int32_t>(info.sample_rate);
    sink->energy =
        BlockEnergyBuilder(sink->buffer->channels, blockEnergyFrames(sink->buffer->sampleRate));
    // A damaged header can state any length: believed only as far as the
    // file could hold it, as libsndfile's path does.
    const std::uint64_t plausible =
        std::max<std::uint64_t>(sink->fileBytes, 1) * kMaxSamplesPerFileByte;
    const std::uint64_t stated = info.total_samples * info.channels;
    if (stated > 0 && stated <= plausible) {
        try {  // nothing may unwind through libFLAC; the vectors grow anyway
            sink->buffer->samples.reserve(stated);
            sink->energy.reserve(info.total_samples);
        } catch (const std::bad_alloc&) {
        }
    }
}

void onError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* user) {
    static_cast<Sink*>(user)->failed = true;
}

// libsndfile's scale: a sample of b bits over 2^(b-1), so 16-bit -32768 is -1.
// The scale is a power of two, so the one rounding is that of the integer to
// float, whatever the precision of the product.
void appendFrame(Sink& sink, const FLAC__Frame& frame, const FLAC__int32* const channelData[]) {
    const float scale =
        1.0f / static_cast<float>(std::uint64_t{1} << (frame.header.bits_per_sample - 1));
    std::vector<float>& samples = sink.buffer->samples;
    const std::size_t frames = frame.header.blocksize, channels = sink.channels;
    const std::size_t at = samples.size();
    samples.resize(at + frames * channels);
    float* out = samples.data() + at;
    if (channels == 2) {
        const FLAC__int32* left = channelData[0];
        const FLAC__int32* right = channelData[1];
        for (std::size_t i = 0; i < frames; ++i) {
            out[2 * i] = static_cast<float>(left[i]) * scale;
            out[2 * i + 1] = static_cast<float>(right[i]) * scale;
        }
    } else {
        for (std::size_t c = 0; c < channels; ++c)
            for (std::size_t i = 0; i < frames; ++i)
                out[i * channels + c] = static_cast<float>(channelData[c][i]) * scale;
    }
    // A damaged frame can hold samples wider than its header's bit depth.
    boundDecodedSamples(out, frames * channels);
    sink.energy.update(samples.data(), samples.size() / channels);
}

FLAC__StreamDecoderWriteStatus onFrame(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                       const FLAC__int32* const channelData[], void* user) {
    auto* sink = static_cast<Sink*>(user);
    const FLAC__FrameHeader& header = frame->header;
    sink->failed = sink->failed || sink->channels == 0 || header.channels != sink->channels ||
                   header.sample_rate != sink->sampleRate || header.bits_per_sample < 4 ||
                   header.bits_per_sample > 32;
    if (!sink->failed) {
        try {
            appendFrame(*sink, *frame, channelData);
        } catch (const std::bad_alloc&) {
            sink->failed = true;
        }
    }
    return sink->failed ? FLAC__STREAM_DECODER_WRITE_STATUS_ABORT
                        : FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

}  // namespace

PcmBufferPtr decodeFlacStream(const std::string& path, std::uint64_t fileBytes) {
    std::unique_ptr<FLAC__StreamDecoder, DecoderDelete> decoder(FLAC__stream_decoder_new());
    if (!decoder) return nullptr;
    Sink sink;
    sink.fileBytes = fileBytes;
    sink.buffer = std::make_shared<PcmBuffer>();
    if (FLAC__stream_decoder_init_file(decoder.get(), path.c_str(), onFrame, onMetadata, onError,
                                       &sink) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
        return nullptr;
    const bool decoded =
        FLAC__stream_decoder_process_until_end_of_stream(decoder.get()) &&
        FLAC__stream_decoder_get_state(decoder.get()) == FLAC__STREAM_DECODER_END_OF_STREAM;
    FLAC__stream_decoder_finish(decoder.get());
    PcmBuffer& buffer = *sink.buffer;
    const std::uint64_t frames = buffer.frameCount();
    // A stream shorter or longer than its header states is left to libsndfile,
    // whose handling of it callers already see.
    if (!decoded || sink.failed || frames == 0 ||
        (sink.statedFrames != 0 && frames != sink.statedFrames))
        return nullptr;
    buffer.energy = sink.energy.take();
    return sink.buffer;
}

}  // namespace velmora
