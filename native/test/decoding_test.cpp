#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <latch>
#include <limits>
#include <thread>
#include <tuple>

#include "analysis/waveform.hpp"
#include "decoding/decode_chain.hpp"
#include "decoding/library_decoder.hpp"
#include "decoding/media_framework_decoder.hpp"
#include "decoding/resampling_reader.hpp"
#include "decoding/streaming_source.hpp"
#include "platform/file_system.hpp"
#include "support/test_support.hpp"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using test::runQuiet;
using test::TempDir;

constexpr double kToneHz = 1000.0;
constexpr double kToneAmplitude = 0.5;
constexpr double kToneSeconds = 0.5;

PcmBufferPtr decodePath(TrackCache& cache, const std::string& path, std::string& message,
                        bool forPlayback = false) {
    TrackDescriptor track;
    track.path = path;
    return decodeTrack(cache, track, forPlayback, message);
}

// RMS and zero-crossing frequency of one channel, over the middle half so
// that encoder delay and fades at the ends do not count.
struct ToneMeasure {
    double rms = 0.0;
    double frequency = 0.0;
};

ToneMeasure measureTone(const PcmBuffer& buffer, int channel, double from = 0.25,
                        double to = 0.75) {
    const std::uint64_t frames = buffer.frameCount();
    const auto begin = std::uint64_t(frames * from), end = std::uint64_t(frames * to);
    double sumSquares = 0.0;
    int crossings = 0;
    float previous = buffer.samples[begin * buffer.channels + channel];
    for (std::uint64_t f = begin; f < end; ++f) {
        const float s = buffer.samples[f * buffer.channels + channel];
        sumSquares += double(s) * s;
        if ((previous < 0.0f) != (s < 0.0f)) ++crossings;
        previous = s;
    }
    const double seconds = double(end - begin) / buffer.sampleRate;
    return {std::sqrt(sumSquares / double(end - begin)), crossings / 2.0 / seconds};
}

// Decoders sum the block energy as chunks arrive; it must be that of the
// samples as they end up, or trim on a cached track would differ.
void expectEnergyOfTheSamples(const PcmBuffer& buffer) {
    const BlockEnergy expected =
        computeBlockEnergy(buffer.samples.data(), buffer.frameCount(), buffer.channels,
                           blockEnergyFrames(buffer.sampleRate));
    EXPECT_EQ(buffer.energy.blockFrames, expected.blockFrames);
    EXPECT_TRUE(buffer.energy.covers(buffer.frameCount()));
    EXPECT_EQ(buffer.energy.sums, expected.sums);
}

// Fixtures shared by the suite: a 1 kHz tone encoded in every format we take.
class DecodingFormats : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        for (const auto& [name, rate, channels] :
             {std::tuple{"stereo44", 44100, 2}, std::tuple{"mono48", 48000, 1}}) {
            const auto tone = test::makeSine(std::uint64_t(rate * kToneSeconds), channels, rate,
                                             kToneHz, kToneAmplitude);
            const std::string base = dir_->file(name);
            ASSERT_TRUE(test::writeWav(base + ".wav", tone, channels, rate, SF_FORMAT_PCM_16));
            const std::string in = "'" + base + ".wav' ";
            const std::pair<const char*, std::string> encoders[] = {
                {".flac", "flac -s -f " + in + "-o '" + base + ".flac'"},
                {".ogg", "oggenc -Q " + in + "-o '" + base + ".ogg'"},
                {".opus", "opusenc --quiet " + in + "'" + base + ".opus'"},
                {".mp3", "lame --silent " + in + "'" + base + ".mp3'"},
                {".m4a", "ffmpeg -v quiet -y -i " + in + "-c:a aac '" + base + ".m4a'"},
                {"-alac.m4a", "ffmpeg -v quiet -y -i " + in + "-c:a alac '" + base + "-alac.m4a'"},
                {".wma", "ffmpeg -v quiet -y -i " + in + "-c:a wmav2 '" + base + ".wma'"},
            };
            for (const auto& [suffix, command] : encoders)
                ASSERT_EQ(runQuiet(command), 0) << "could not make " << base << suffix;
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static TempDir* dir_;
};
TempDir* DecodingFormats::dir_ = nullptr;

// Every format decodes whole to the tone, by the decoder that takes it, and
// streams too: a seek lands on the frame the reader would have reached by
// reading (within the slack where the container stamps packets in ms).
TEST_F(DecodingFormats, EveryFormatDecodesAndStreamsToTheToneByTheRightDecoder) {
    struct Case {
        const char* suffix;
        bool library;           // libsndfile decodes it; otherwise only FFmpeg does
        bool lossless;          // samples match the 16-bit source within 1 LSB
        int fixedRate = 0;      // a codec with one output rate
        std::int64_t slack = 0;  // frames a seek may miss by: packets stamped in ms
    };
    const Case cases[] = {
        {".wav", true, true},       {".flac", true, true},
        {".ogg", true, false},      {".opus", true, false, 48000},
        {".mp3", true, false},      {".m4a", false, false},
        {"-alac.m4a", false, true}, {".wma", false, false, 0, 48},
    };
    for (const auto& [name, rate, channels] :
         {std::tuple{"stereo44", 44100, 2}, std::tuple{"mono48", 48000, 1}}) {
        std::string sourceMessage;
        const auto source = decodeWithLibrary(dir_->file(name) + ".wav", sourceMessage);
        ASSERT_NE(source, nullptr) << sourceMessage;
        for (const Case& c : cases) {
            const std::string path = dir_->file(name) + c.suffix;
            SCOPED_TRACE(path);
            std::string libraryMessage;
            EXPECT_EQ(decodeWithLibrary(path, libraryMessage) != nullptr, c.library)
                << libraryMessage;

            TrackCache cache;
            std::string message = "stale";
            const auto buffer = decodePath(cache, path, message);
            ASSERT_NE(buffer, nullptr) << message;
            EXPECT_EQ(message, "");
            EXPECT_EQ(buffer->sampleRate, c.fixedRate ? c.fixedRate : rate);
            EXPECT_EQ(buffer->channels, channels);
            EXPECT_NEAR(buffer->durationSeconds(), kToneSeconds, 0.06);
            expectEnergyOfTheSamples(*buffer);

            if (c.lossless) {
                ASSERT_EQ(buffer->samples.size(), source->samples.size());
                for (std::size_t i = 0; i < source->samples.size(); ++i)
                    ASSERT_NEAR(buffer->samples[i], source->samples[i], 1.0 / 32768) << i;
            }
            for (int ch = 0; ch < channels; ++ch) {
                const ToneMeasure tone = measureTone(*buffer, ch);
                EXPECT_NEAR(tone.rms, kToneAmplitude / std::sqrt(2.0), 0.03);
                EXPECT_NEAR(tone.frequency, kToneHz, 10.0);
            }
            if (rate != 48000) continue;

            ResamplingReader reader;
            ASSERT_TRUE(reader.open(path, 48000));
            PcmBuffer whole;
            whole.sampleRate = 48000;
            whole.channels = 1;
            whole.samples.resize(48000 * 2);
            whole.samples.resize(reader.read(whole.samples.data(), whole.samples.size()));
            EXPECT_NEAR(whole.durationSeconds(), kToneSeconds, 0.06);
            EXPECT_NEAR(measureTone(whole, 0).frequency, kToneHz, 10.0);
            EXPECT_NEAR(measureTone(whole, 0).rms, kToneAmplitude / std::sqrt(2.0), 0.03);
            for (const std::int64_t frame : {12000, 3000, 0}) {
                ASSERT_TRUE(reader.seek(std::uint64_t(frame)));
                std::vector<float> after(2400);
                ASSERT_EQ(reader.read(after.data(), after.size()), after.size());
                double error = 1.0;
                for (std::int64_t shift = -c.slack; shift <= c.slack; ++shift) {
                    double worst = 0.0;
                    const std::int64_t first = std::max<std::int64_t>(0, -frame - shift);
                    for (std::int64_t i = first; i < std::int64_t(after.size()); ++i)
                        worst = std::max(worst, double(std::fabs(after[std::size_t(i)] -
                                                                 whole.samples[std::size_t(frame + shift + i)])));
                    error = std::min(error, worst);
                }
                EXPECT_LT(error, 2e-3) << "after a seek to " << frame;
            }
        }
    }
}

TEST_F(DecodingFormats, FallbackDecoderKeepsTheFirstFramesLayoutWhenTheStreamChanges) {
    // Raw MP3 frames: 0.5 s of 44.1 kHz stereo, then 0.5 s of 48 kHz mono.
    const std::string first = dir_->file("raw44.mp3"), second = dir_->file("raw48.mp3");
    const std::string mixed = dir_->file("mixed.mp3");
    ASSERT_EQ(runQuiet("lame --silent -t '" + dir_->file("stereo44.wav") + "' '" + first + "'"), 0);
    ASSERT_EQ(runQuiet("lame --silent -t '" + dir_->file("mono48.wav") + "' '" + second + "'"), 0);
    {
        std::ofstream out(mixed, std::ios::binary);
        for (const std::string& part : {first, second})
            out << std::ifstream(part, std::ios::binary).rdbuf();
    }
    std::string message;
    const auto buffer = decodeWithMediaFramework(mixed, message);
    ASSERT_NE(buffer, nullptr) << message;
    EXPECT_EQ(buffer->sampleRate, 44100);
    EXPECT_EQ(buffer->channels, 2);
    EXPECT_NEAR(buffer->durationSeconds(), 2 * kToneSeconds, 0.1);
    for (int ch = 0; ch < 2; ++ch) {
        EXPECT_NEAR(measureTone(*buffer, ch, 0.1, 0.4).frequency, kToneHz, 10.0);
        EXPECT_NEAR(measureTone(*buffer, ch, 0.6, 0.9).frequency, kToneHz, 10.0);
        EXPECT_GT(measureTone(*buffer, ch, 0.6, 0.9).rms, 0.2);
    }
}

// What libsndfile itself reads from a file, as float; empty when it reports
// an error on the way.
std::vector<float> readWithLibsndfile(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return {};
    std::vector<float> samples, chunk(4096 * std::size_t(info.channels));
    while (sf_count_t got = sf_readf_float(file, chunk.data(), 4096))
        samples.insert(samples.end(), chunk.begin(), chunk.begin() + got * info.channels);
    if (sf_error(file) != SF_ERR_NO_ERROR) samples.clear();
    sf_close(file);
    return samples;
}

TEST(DecodingFlac, SamplesAreLibsndfilesOwnForCleanAndDamagedFiles) {
    TempDir dir;
    const struct {
        int subtype, channels, rate;
    } formats[] = {{SF_FORMAT_PCM_16, 2, 44100}, {SF_FORMAT_PCM_24, 1, 48000},
                   {SF_FORMAT_PCM_S8, 6, 22050}};
    for (const auto& f : formats) {
        SCOPED_TRACE(testing::Message() << f.subtype << ", " << f.channels << " channels");
        // Full-scale noise, both extremes included.
        std::uint64_t state = 12345;
        const auto samples = test::makeSamples(30000, f.channels, [&](std::uint64_t i, int) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            return i < 2 ? (i ? 1.0f : -1.0f) : float(std::int64_t(state >> 48) - 32768) / 32768.0f;
        });
        const std::string clean = dir.file("clean" + std::to_string(f.subtype) + ".flac");
        ASSERT_TRUE(test::writeWav(clean, samples, f.channels, f.rate, SF_FORMAT_FLAC | f.subtype));
        // Cut short, and with bytes overwritten in the middle of the frames.
        const std::string cut = clean + "-cut.flac", damaged = clean + "-damaged.flac";
        fs::copy_file(clean, cut);
        fs::resize_file(cut, fs::file_size(cut) * 2 / 3);
        fs::copy_file(clean, damaged);
        {
            std::fstream bytes(damaged, std::ios::in | std::ios::out | std::ios::binary);
            bytes.seekp(std::streamoff(fs::file_size(damaged) / 2));
            bytes << std::string(64, '\x5a');
        }
        for (const std::string& path : {clean, cut, damaged}) {
            SCOPED_TRACE(path);
            const std::vector<float> expected = readWithLibsndfile(path);
            std::string message;
            const auto buffer = decodeWithLibrary(path, message);
            if (expected.empty()) {
                // libsndfile fails it, and so does the stage, with its message.
                EXPECT_EQ(buffer, nullptr);
                EXPECT_EQ(message.rfind("miniaudio decode read failed: ", 0), 0u) << message;
                continue;
            }
            ASSERT_NE(buffer, nullptr) << message;
            EXPECT_EQ(buffer->channels, f.channels);
            EXPECT_EQ(buffer->sampleRate, f.rate);
            ASSERT_EQ(buffer->samples.size(), expected.size());
            EXPECT_EQ(std::memcmp(buffer->samples.data(), expected.data(), expected.size() * sizeof(float)), 0);
            expectEnergyOfTheSamples(*buffer);
        }
    }
}

TEST_F(DecodingFormats, TruncatedFilesYieldWhatCouldBeDecoded) {
    for (const char* suffix : {".wav", ".flac", ".mp3"}) {
        SCOPED_TRACE(suffix);
        const std::string cut = dir_->file(std::string("cut") + suffix);
        fs::copy_file(dir_->file("stereo44") + suffix, cut);
        // Three quarters: flac's 8 KB of padding fills half of this short file.
        fs::resize_file(cut, fs::file_size(cut) * 3 / 4);
        TrackCache cache;
        std::string message;
        const auto buffer = decodePath(cache, cut, message);
        ASSERT_NE(buffer, nullptr) << message;
        EXPECT_GT(buffer->frameCount(), 5000u);
        EXPECT_LT(buffer->frameCount(), 20000u);
        expectEnergyOfTheSamples(*buffer);
        EXPECT_NEAR(measureTone(*buffer, 0).rms, kToneAmplitude / std::sqrt(2.0), 0.03);
    }
}

TEST(DecodingFiles, FallbackDecoderMessages) {
    TempDir dir;
    std::ofstream(dir.file("text.bin")) << "not audio at all\n";
    ASSERT_EQ(runQuiet("ffmpeg -v quiet -y -f lavfi -i color=c=black:s=16x16:d=0.2 -c:v mjpeg '" +
                       dir.file("video.avi") + "'"),
              0);
    const std::pair<const char*, const char*> cases[] = {
        {"missing.m4a", "media decoder could not open the file: No such file or directory"},
        {"text.bin", "media decoder could not open the file: Invalid data found when processing input"},
        {"video.avi", "media decoder found no audio stream."},
    };
    for (const auto& [name, text] : cases) {
        std::string message;
        EXPECT_EQ(decodeWithMediaFramework(dir.file(name), message), nullptr) << name;
        EXPECT_EQ(message, text);
    }
}

// A track path names one local file and nothing else: not a URL, not stdin,
// not another file (a NUL byte would cut the path); Windows-looking and
// non-ASCII names are file names like any other. Every decoder path agrees,
// a failure says why and is not cached, and FIFOs and devices, which can
// block their opener or never end, are refused unopened.
TEST(DecodingFiles, PathsNameOneFileAndFailuresSayWhy) {
    TempDir dir;
    struct Restore {
        fs::path directory = fs::current_path();
        int input = dup(0);
        ~Restore() {
            dup2(input, 0);
            close(input);
            fs::current_path(directory);
        }
    } restore;
    fs::current_path(dir.path());
    // Stdin at its end, so that a decoder reading it fails at once.
    const int devNull = open("/dev/null", O_RDONLY);
    ASSERT_GE(dup2(devNull, 0), 0);
    close(devNull);
    // A listener any network access would reach.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    const auto tone = test::makeSine(4800, 1, 48000, kToneHz, kToneAmplitude);
    for (const char* name : {"a.wav", "b.wav", "Sïgur – ♪ 日本.wav"})
        ASSERT_TRUE(test::writeWav(name, tone, 1, 48000, SF_FORMAT_PCM_16));
    ASSERT_EQ(runQuiet("oggenc -Q a.wav -o LOUD.OGG"), 0);
    ASSERT_EQ(runQuiet("ffmpeg -v quiet -y -i a.wav -c:a aac -f mp4 file:'C:\\music\\a.m4a'"), 0);
    std::ofstream("empty.wav").flush();
    std::ofstream("text.mp3") << "not audio at all\n";
    std::ofstream("TEXT.OGG") << "not audio at all\n";
    fs::create_directory("folder.wav");
    ASSERT_EQ(mkfifo("pipe.wav", 0600), 0);
    const std::string init = "miniaudio decode init failed: ";
    const std::string missing = init + "System error : No such file or directory.";
    const std::string unrecognised = init + "Format not recognised.";
    const std::string special = init + platform::kNotRegularFileText;
    const struct {
        std::string path;
        std::string message;  // empty: decodes
    } cases[] = {
        {"Sïgur – ♪ 日本.wav", ""}, {"LOUD.OGG", ""}, {"C:\\music\\a.m4a", ""},
        {"pipe:0", missing}, {"-", missing}, {"file:a.wav", missing}, {"concat:a.wav|b.wav", missing},
        {"http://127.0.0.1:" + port + "/a.wav", missing}, {std::string("a.wav\0.m4a", 10), special},
        {"", missing}, {"missing.wav", missing}, {"empty.wav", unrecognised}, {"text.mp3", special},
        {"TEXT.OGG", unrecognised}, {"folder.wav", unrecognised}, {"pipe.wav", special},
        {"/dev/zero", special}, {"/dev/urandom", special},
    };
    auto attempts = std::async(std::launch::async, [&] {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.path);
            TrackCache cache;
            std::string message = "stale", streamMessage;
            TrackDescriptor track;
            track.path = c.path;
            const PcmBufferPtr pcm = decodeTrack(cache, track, true, message);
            EXPECT_EQ(pcm != nullptr, c.message.empty());
            EXPECT_EQ(message, c.message);
            EXPECT_EQ(cache.size(), c.message.empty() ? 1U : 0U);
            if (pcm) {
                EXPECT_NEAR(measureTone(*pcm, 0).frequency, kToneHz, 15.0);
            }
            EXPECT_EQ(openStreamingSource(track, 48000, streamMessage) != nullptr, c.message.empty());
            if (!c.message.empty()) {
                EXPECT_EQ(streamMessage, c.path.empty() ? "Empty track path." : "Streaming decoder init failed.");
            }
            EXPECT_EQ(computeWaveform(48000, track, 64).ok, c.message.empty());
            EXPECT_FALSE(shouldStreamTrack(track));
        }
    });
    const bool finished = attempts.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!finished) {
        // Release a blocked opener so the suite can finish.
        const int fd = open("pipe.wav", O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
    }
    pollfd pending{listener, POLLIN, 0};
    EXPECT_EQ(poll(&pending, 1, 0), 0) << "a decoder connected to the network";
    close(listener);  // resets a connection a decoder may be waiting on
    attempts.wait();
    EXPECT_TRUE(finished) << "a decoder blocked";
}

// Every decoder path reads samples as full-range float: integers over their
// top value, and NaN, infinities and absurd values in a float file as
// silence or the bound, so that they reach nobody.
TEST(DecodingFiles, EveryPathReadsSamplesAsFiniteFullRangeFloat) {
    TempDir dir;
    struct Case {
        int subtype;
        std::vector<int> raw;  // for libsndfile's int interface (left-justified)
        std::vector<float> written;
        std::vector<double> expected;
    };
    std::vector<Case> cases;
    for (const auto& [subtype, bits] :
         {std::pair{SF_FORMAT_PCM_16, 16}, {SF_FORMAT_PCM_24, 24}, {SF_FORMAT_PCM_32, 32}}) {
        const long long top = 1LL << (bits - 1);
        Case& c = cases.emplace_back(Case{subtype, {}, {}, {}});
        for (const long long v : {-top, -top / 2, -1LL, 0LL, 1LL, top / 2, top - 1}) {
            c.raw.push_back(int(v << (32 - bits)));
            c.expected.push_back(double(v) / double(top));
        }
    }
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    cases.push_back({SF_FORMAT_FLOAT, {}, {0.5f, 1e30f, nan, inf, -inf, -1e30f, 3.5f, -4.5f},
                     {0.5, 4, 0, 0, 0, -4, 3.5, -4}});
    const std::uint64_t frames = 4800;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subtype);
        const std::string path = dir.file("values" + std::to_string(c.subtype) + ".wav");
        SF_INFO info{0, 48000, 1, SF_FORMAT_WAV | c.subtype, 0, 0};
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        const std::size_t period = c.expected.size();
        for (std::uint64_t f = 0; f < frames; ++f)
            ASSERT_EQ(c.raw.empty() ? sf_write_float(file, &c.written[f % period], 1)
                                    : sf_write_int(file, &c.raw[f % period], 1),
                      1);
        sf_close(file);

        std::string message;
        TrackCache cache;
        const PcmBufferPtr library = decodePath(cache, path, message);
        const PcmBufferPtr fallback = decodeWithMediaFramework(path, message);
        auto source = openStreamingSource(TrackDescriptor{"", path, "", 0.0, 0.0, 0.0}, 48000, message);
        ASSERT_TRUE(library && fallback && source);
        ASSERT_TRUE(refillStreamingSource(source.get(), frames, message));
        for (const auto& [name, samples] :
             {std::pair{"library", library->samples}, std::pair{"fallback", fallback->samples},
              std::pair{"streaming", std::vector<float>(source->ring.begin(), source->ring.begin() + frames)}}) {
            SCOPED_TRACE(name);
            ASSERT_EQ(samples.size(), frames);
            EXPECT_EQ(samples[0], c.raw.empty() ? 0.5f : -1.0f);
            for (std::size_t i = 0; i < frames; ++i)
                ASSERT_NEAR(samples[i], c.expected[i % period], c.raw.empty() ? 0.0 : 1e-7) << i;
        }
        for (const PcmBufferPtr& buffer : {library, fallback}) expectEnergyOfTheSamples(*buffer);
    }
}

// Ogg's page checksum: CRC-32 with polynomial 0x04c11db7, unreflected, from 0.
std::uint32_t oggChecksum(const std::string& page) {
    std::uint32_t crc = 0;
    for (const unsigned char byte : page) {
        crc ^= std::uint32_t(byte) << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 0x80000000u ? (crc << 1) ^ 0x04c11db7u : crc << 1;
    }
    return crc;
}

// Gives every Vorbis data page an empty packet after its first one, with a
// valid checksum: the demuxer passes it on, and the codec refuses it (EINVAL).
void insertEmptyVorbisPackets(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string out;
    std::uint32_t vorbisSerial = 0;
    for (std::size_t at = 0; at + 27 <= bytes.size();) {
        const std::size_t segments = static_cast<unsigned char>(bytes[at + 26]);
        std::string lacing = bytes.substr(at + 27, segments);
        std::size_t body = 0;
        for (const unsigned char l : lacing) body += l;
        std::string page = bytes.substr(at, 27 + segments + body);
        at += page.size();
        std::uint32_t serial = 0, sequence = 0;
        std::memcpy(&serial, page.data() + 14, 4);
        std::memcpy(&sequence, page.data() + 18, 4);
        if (page.compare(27 + segments, 7, "\x01vorbis") == 0) vorbisSerial = serial;
        if (serial == vorbisSerial && sequence >= 2 && segments < 255 && lacing[0] != '\xff') {
            lacing.insert(1, 1, '\0');
            page = page.substr(0, 26) + char(lacing.size()) + lacing + page.substr(27 + segments);
            page.replace(22, 4, 4, '\0');
            const std::uint32_t crc = oggChecksum(page);
            std::memcpy(page.data() + 22, &crc, 4);
        }
        out += page;
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << out;
}

TEST(DecodingFiles, FallbackDecoderSkipsPacketsTheCodecRefuses) {
    TempDir dir;
    const std::string path = dir.file("video-first.ogg");
    ASSERT_EQ(runQuiet("ffmpeg -v quiet -y -f lavfi -i testsrc=size=64x48:rate=10:duration=2 -f lavfi -i "
                       "sine=frequency=1000:sample_rate=44100:duration=2 -map 0:v -map 1:a -c:v libtheora "
                       "-c:a libvorbis '" + path + "'"),
              0);
    insertEmptyVorbisPackets(path);
    std::string message;
    const auto buffer = decodeWithMediaFramework(path, message);
    ASSERT_NE(buffer, nullptr) << message;
    EXPECT_EQ(buffer->channels, 1);
    EXPECT_NEAR(buffer->durationSeconds(), 2.0, 0.05);
    EXPECT_NEAR(measureTone(*buffer, 0).frequency, 1000.0, 10.0);
    TrackCache cache;
    EXPECT_NE(decodePath(cache, path, message), nullptr) << message;
}

TEST(DecodingCache, ServedWhileTheFileIsTheOneDecodedOrCannotBeReached) {
    TempDir dir;
    const std::string path = dir.file("Track.wav");
    ASSERT_TRUE(test::writeWav(path, test::makeSine(1000, 2, 44100, 440, 0.5), 2, 44100, SF_FORMAT_FLOAT));
    TrackCache cache;
    std::string message;
    const auto first = decodePath(cache, path, message);
    ASSERT_NE(first, nullptr) << message;
    EXPECT_EQ(cache.totalBytes(), 2000u * sizeof(float));
    EXPECT_EQ(decodePath(cache, path, message), first);

    // Rewritten at the same path with the same size: decoded again.
    const auto written = fs::last_write_time(path);
    ASSERT_TRUE(test::writeWav(path, test::makeSine(1000, 2, 44100, 880, 0.5), 2, 44100, SF_FORMAT_FLOAT));
    fs::last_write_time(path, written + std::chrono::seconds(2));
    const auto second = decodePath(cache, path, message, true);
    ASSERT_NE(second, nullptr) << message;
    EXPECT_NE(second->samples, first->samples);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache.totalBytes(), 2000u * sizeof(float));

    // Gone, as a share that went away: the decoded audio is still served.
    fs::remove(path);
    EXPECT_EQ(decodePath(cache, path, message, true), second);
    EXPECT_EQ(message, "");
    // Keys are the exact bytes of the path.
    EXPECT_EQ(decodePath(cache, dir.file("track.wav"), message), nullptr);
    EXPECT_EQ(cache.size(), 1u);
}

TEST(DecodingCache, TwoThreadsMissingOnePathBothDecodeAndOneEntryRemains) {
    TempDir dir;
    const std::string path = dir.file("shared.wav");
    ASSERT_TRUE(test::writeWav(path, test::makeSine(22050, 2, 44100, 440, 0.5), 2, 44100,
                               SF_FORMAT_PCM_16));
    TrackCache cache;
    PcmBufferPtr results[2];
    std::string messages[2];
    std::latch start(2);
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            results[i] = decodePath(cache, path, messages[i], i == 0);
        });
    for (auto& thread : threads) thread.join();
    ASSERT_NE(results[0], nullptr) << messages[0];
    ASSERT_NE(results[1], nullptr) << messages[1];
    EXPECT_EQ(results[0]->samples, results[1]->samples);
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_EQ(cache.totalBytes(), 44100u * sizeof(float));
}

TEST(StreamDecision, DurationThenFileSizeThenStatedLength) {
    TempDir dir;
    const std::string big = dir.file("big.raw"), small = dir.file("small.raw");
    std::ofstream(big).flush();
    std::ofstream(small).flush();
    fs::resize_file(big, kStreamMinFileBytes);
    fs::resize_file(small, kStreamMinFileBytes - 1);
    fs::create_symlink(big, dir.file("link.raw"));
    fs::create_directory(dir.file("folder"));
    // Small files whose headers state a long track; a raw AAC stream states
    // nothing, and its packets give the estimate.
    const std::string tone =
        "ffmpeg -v quiet -y -f lavfi -i sine=frequency=440:sample_rate=8000:duration=";
    for (const auto& [seconds, options, name] :
         {std::tuple{"481", "-c:a pcm_u8", "long.wav"},
          std::tuple{"481", "-c:a aac -b:a 16k", "long.m4a"},
          std::tuple{"500", "-c:a aac -b:a 16k -f adts", "long.aac"},
          std::tuple{"479", "-c:a aac", "short.m4a"}})
        ASSERT_EQ(runQuiet(tone + seconds + " " + options + " '" + dir.file(name) + "'"), 0)
            << name;
    const struct {
        std::string path;
        double duration;
        bool streams;
    } cases[] = {
        {"", 480.0, true},           {dir.file("missing.wav"), 480.0, true},
        {"", 479.9, false},          {dir.file("missing.wav"), 10.0, false},
        {dir.file("folder"), 10.0, false}, {big, 10.0, true}, {small, 10.0, false},
        {dir.file("link.raw"), 10.0, true},  {dir.file("long.wav"), 0.0, true},
        {dir.file("long.m4a"), 0.0, true},   {dir.file("long.aac"), 0.0, true},
        {dir.file("short.m4a"), 0.0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.duration));
        TrackDescriptor track;
        track.path = c.path;
        track.duration = c.duration;
        EXPECT_EQ(shouldStreamTrack(track), c.streams);
    }
}

// Inputs the fuzzer once failed on (a leak, a header claiming hours in a few
// bytes): each decodes or fails cleanly, without exceptions or huge buffers.
TEST(DecodingRegressions, FuzzerFindingsDecodeOrFailCleanly) {
    const fs::path dir = fs::path(VELMORA_SOURCE_DIR) / "native/fuzz/regressions/decode";
    ASSERT_TRUE(fs::exists(dir));
    int inputs = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        TempDir temp;
        for (const char* extension : {".wav", ".ogg", ".mp3", ".flac", ".m4a"}) {
            const std::string path = temp.file(std::string("input") + extension);
            fs::copy_file(entry.path(), path);
            TrackCache cache;
            std::string message;
            const PcmBufferPtr pcm = decodePath(cache, path, message);
            if (pcm) EXPECT_LT(pcm->samples.capacity(), std::size_t{1} << 24) << entry.path();
            else EXPECT_FALSE(message.empty()) << entry.path();
        }
        ++inputs;
    }
    EXPECT_GE(inputs, 2);
}

}  // namespace
}  // namespace velmora
