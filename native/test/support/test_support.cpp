#include "support/test_support.hpp"

#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <random>

namespace velmora::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<float> makeSamples(std::uint64_t frames, int channels,
                               const std::function<float(std::uint64_t, int)>& generator) {
    std::vector<float> samples(frames * static_cast<std::uint64_t>(channels));
    for (std::uint64_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) samples[f * channels + c] = generator(f, c);
    return samples;
}

std::vector<float> makeSine(std::uint64_t frames, int channels, int sampleRate, double frequency,
                            double amplitude) {
    return makeSamples(frames, channels, [&](std::uint64_t f, int) {
        return static_cast<float>(amplitude *
                                  std::sin(2.0 * std::numbers::pi * frequency * f / sampleRate));
    });
}

bool writeWav(const std::string& path, const std::vector<float>& samples, int channels,
              int sampleRate, int subtype) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = (subtype & SF_FORMAT_TYPEMASK ? 0 : SF_FORMAT_WAV) | subtype;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) return false;
    const sf_count_t frames = static_cast<sf_count_t>(samples.size() / channels);
    const sf_count_t written = sf_writef_float(file, samples.data(), frames);
    sf_close(file);
    return written == frames;
}

int runQuiet(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace velmora::test
