// The analyses: trim detection over raw PCM with arbitrary parameters
// (NaN, infinities and huge values included), with and without block energy,
// and the waveform overview of the same samples written as a WAV file.

#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "analysis/trim.hpp"
#include "analysis/waveform.hpp"
#include "fuzz_files.hpp"

using namespace velmora;

namespace {

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    template <typename T>
    T take() {
        T value{};
        if (size >= sizeof(T)) {
            std::memcpy(&value, data, sizeof(T));
            data += sizeof(T);
            size -= sizeof(T);
        }
        return value;
    }
};

bool finiteResult(const TrimResult& r) {
    return std::isfinite(r.cueInSeconds) && std::isfinite(r.cueOutSeconds) && std::isfinite(r.durationSeconds);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const auto rateChoice = in.take<std::uint8_t>();
    const auto channels = static_cast<int>(in.take<std::uint8_t>() % 9);
    const double windowMs = in.take<double>();
    const double preRoll = in.take<double>();
    const double postRoll = in.take<double>();
    const std::int32_t maxPoints = in.take<std::int32_t>();
    const auto blockFrames = static_cast<std::uint32_t>(1 + in.take<std::uint8_t>());
    static const int kRates[] = {0, 1, 8000, 22050, 44100, 48000, 96000, 192000};
    const int rate = kRates[rateChoice % 8];

    auto pcm = std::make_shared<PcmBuffer>();
    pcm->sampleRate = rate;
    pcm->channels = channels;
    const std::size_t frames = channels > 0 ? in.size / sizeof(float) / static_cast<std::size_t>(channels) : 0;
    pcm->samples.resize(frames * static_cast<std::size_t>(channels));
    if (!pcm->samples.empty()) std::memcpy(pcm->samples.data(), in.data, pcm->samples.size() * sizeof(float));

    const TrimResult trim = detectTrim(pcm, windowMs, preRoll, postRoll);
    if (trim.ok) {
        if (!finiteResult(trim) || trim.cueInSeconds < 0.0 || trim.cueOutSeconds > trim.durationSeconds + 1e-9 ||
            trim.cueInSeconds > trim.cueOutSeconds + 1e-9)
            __builtin_trap();
    }
    // Block energy, as a decoder attaches it, must not change the outcome.
    auto summarised = std::make_shared<PcmBuffer>(*pcm);
    summarised->energy = computeBlockEnergy(summarised->samples.data(), summarised->frameCount(),
                                            channels, blockFrames);
    const TrimResult fromEnergy = detectTrim(summarised, windowMs, preRoll, postRoll);
    if (fromEnergy.ok != trim.ok || fromEnergy.message != trim.message ||
        std::memcmp(&fromEnergy.cueInSeconds, &trim.cueInSeconds, sizeof(double)) != 0 ||
        std::memcmp(&fromEnergy.cueOutSeconds, &trim.cueOutSeconds, sizeof(double)) != 0 ||
        std::memcmp(&fromEnergy.durationSeconds, &trim.durationSeconds, sizeof(double)) != 0)
        __builtin_trap();
    const TrimResult none = detectTrim(nullptr, windowMs, preRoll, postRoll);
    if (none.ok) __builtin_trap();

    if (rate >= 8000 && channels > 0) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        const std::string path = fuzz::scratchDir() + "/analysis.wav";
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        if (file == nullptr) return 0;
        sf_writef_float(file, pcm->samples.data(), static_cast<sf_count_t>(frames));
        sf_close(file);
        TrackDescriptor track;
        track.path = path;
        const WaveformResult waveform = computeWaveform(48000, track, maxPoints % 5000);
        if (waveform.ok && static_cast<std::int64_t>(waveform.peaks.size()) > kMaxWaveformPoints) __builtin_trap();
        for (const WaveformPeak& peak : waveform.peaks)
            if (std::isnan(peak.min) || std::isnan(peak.max) || std::isnan(peak.avg) || std::isnan(peak.amp)) {
                // NaN samples in may give NaN peaks out; anything else may not.
                bool nanInput = false;
                for (float s : pcm->samples) nanInput = nanInput || std::isnan(s);
                if (!nanInput) __builtin_trap();
            }
    }
    return 0;
}
