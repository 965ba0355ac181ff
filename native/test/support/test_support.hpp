#pragma once
// Helpers shared by the C++ tests: temporary folders, generated audio files,
// running the command-line tools that encode fixtures.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace velmora::test {

// A fresh folder under the system temp dir, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Interleaved samples of `frames` frames; `generator(frame, channel)`.
std::vector<float> makeSamples(std::uint64_t frames, int channels,
                               const std::function<float(std::uint64_t, int)>& generator);
std::vector<float> makeSine(std::uint64_t frames, int channels, int sampleRate, double frequency,
                            double amplitude);

// Writes an audio file through libsndfile: `format` is a libsndfile subtype
// (SF_FORMAT_FLOAT, ...) for a WAV file, or a whole format. False on failure.
bool writeWav(const std::string& path, const std::vector<float>& samples, int channels,
              int sampleRate, int subtype);

// Runs a shell command with its output discarded; returns its exit status.
int runQuiet(const std::string& command);

}  // namespace velmora::test
