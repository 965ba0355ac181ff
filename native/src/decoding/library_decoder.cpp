#include "decoding/library_decoder.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "decoding/flac_decoder.hpp"
#include "decoding/messages.hpp"
#include "decoding/sample_bounds.hpp"
#include "platform/file_system.hpp"

namespace velmora {

namespace {

constexpr sf_count_t kChunkFrames = 4096;
// A stated length is read in chunks that are still in cache when their block
// energy is summed.
constexpr sf_count_t kCachedChunkFrames = 16384;

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

// A read-only file in memory for libsndfile's virtual I/O.
struct MemoryFile {
    const std::vector<unsigned char>* bytes = nullptr;
    sf_count_t position = 0;

    sf_count_t size() const { return static_cast<sf_count_t>(bytes->size()); }
};

sf_count_t memoryLength(void* user) {
    return static_cast<MemoryFile*>(user)->size();
}

sf_count_t memorySeek(sf_count_t offset, int whence, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    sf_count_t target = offset;
    if (whence == SEEK_CUR) target += file->position;
    if (whence == SEEK_END) target += file->size();
    if (target < 0 || target > file->size()) return -1;
    file->position = target;
    return target;
}

sf_count_t memoryRead(void* destination, sf_count_t count, void* user) {
    auto* file = static_cast<MemoryFile*>(user);
    const sf_count_t available = std::max<sf_count_t>(0, file->size() - file->position);
    const sf_count_t n = std::clamp<sf_count_t>(count, 0, available);
    if (n > 0) std::memcpy(destination, file->bytes->data() + file->position, n);
    file->position += n;
    return n;
}

sf_count_t memoryWrite(const void*, sf_count_t, void*) {
    return 0;
}

sf_count_t memoryTell(void* user) {
    return static_cast<MemoryFile*>(user)->position;
}

bool isOggExtension(const std::string& extension) {
    return extension == "ogg" || extension == "oga" || extension == "vorbis";
}

// libsndfile scales integer samples into [-1, 1): only float data and
// decoders that produce floats can hold values to bound.
bool holdsIntegerSamples(const SF_INFO& info) {
    switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW:
            return true;
        default:
            return false;
    }
}

// `fileBytes` bounds how far a stated length is believed: a damaged header can
// claim more frames than its file could hold, and sizing the buffer from it
// would ask for absurd memory. Beyond the bound the length counts as unknown
// and the buffer grows with what really decodes.
PcmBufferPtr readDecodedFrames(SNDFILE* file, const SF_INFO& info, std::uint64_t fileBytes, std::string& message) {
    if (info.samplerate <= 0 || info.channels <= 0) {
        message = messages::kLibraryInvalidFormat;
        return nullptr;
    }
    auto buffer = std::make_shared<PcmBuffer>();
    buffer->sampleRate = info.samplerate;
    buffer->channels = info.channels;
    const auto channels = static_cast<std::size_t>(info.channels);
    std::vector<float>& samples = buffer->samples;
    sf_count_t framesRead = 0;
    const bool believable =
        info.frames > 0 && static_cast<std::uint64_t>(info.frames) <=
                               std::max<std::uint64_t>(fileBytes, 1) * kMaxSamplesPerFileByte / channels;

    BlockEnergyBuilder energy(info.channels, blockEnergyFrames(info.samplerate));
    const bool bounded = holdsIntegerSamples(info);

    if (believable) {
        // Room for the probe past the stated length, so that reading on does
        // not move the whole track.
        samples.reserve((static_cast<std::size_t>(info.frames) + kChunkFrames) * channels);
        energy.reserve(static_cast<std::uint64_t>(info.frames));
        while (framesRead < info.frames) {
            const sf_count_t wanted = std::min(kCachedChunkFrames, info.frames - framesRead);
            // Grown chunk by chunk: zeroing the whole track first would be one
            // more pass over memory.
            const auto offset = static_cast<std::size_t>(framesRead) * channels;
            samples.resize(offset + static_cast<std::size_t>(wanted) * channels);
            const sf_count_t got =
                std::max<sf_count_t>(0, sf_readf_float(file, samples.data() + offset, wanted));
            if (!bounded)
                boundDecodedSamples(samples.data() + offset,
                                    static_cast<std::size_t>(got) * channels);
            framesRead += got;
            energy.update(samples.data(), static_cast<std::uint64_t>(framesRead));
            if (got < wanted) break;
        }
        samples.resize(static_cast<std::size_t>(framesRead) * channels);
    }
    // The length is unknown, or only an estimate for compressed formats:
    // read on until the decoder has nothing more.
    if (!believable || framesRead == info.frames) {
        for (;;) {
            const std::size_t offset = samples.size();
            samples.resize(offset + static_cast<std::size_t>(kChunkFrames) * channels);
            const sf_count_t got = std::max<sf_count_t>(
                0, sf_readf_float(file, samples.data() + offset, kChunkFrames));
            samples.resize(offset + static_cast<std::size_t>(got) * channels);
            if (!bounded)
                boundDecodedSamples(samples.data() + offset,
                                    static_cast<std::size_t>(got) * channels);
            framesRead += got;
            energy.update(samples.data(), samples.size() / channels);
            if (got < kChunkFrames) break;
        }
    }
    // A copy of the whole track only pays when much of it is slack.
    if (samples.capacity() - samples.size() > samples.size() / 16 + 2 * kChunkFrames * channels)
        samples.shrink_to_fit();

    if (sf_error(file) != SF_ERR_NO_ERROR) {
        message = std::string(messages::kLibraryReadFailed) + sf_strerror(file);
        return nullptr;
    }
    if (framesRead == 0) {
        message = messages::kLibraryZeroFrames;
        return nullptr;
    }
    buffer->energy = energy.take();
    return buffer;
}

}  // namespace

std::string lowercaseExtension(const std::string& path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos) return {};
    std::string extension = path.substr(dot + 1);
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return extension;
}

std::string libraryFileName(const std::string& path) {
    return path == "-" ? "./-" : path;
}

bool decodesFasterWithMediaFramework(const std::string& extension) {
    return isOggExtension(extension) || extension == "opus" || extension == "mp3";
}

PcmBufferPtr decodeWithLibrary(const std::string& path, std::string& message) {
    const std::string extension = lowercaseExtension(path);
    // libsndfile reads FLAC through libFLAC too, with an integer-to-float pass
    // after it; straight from libFLAC the frames are scaled as they arrive.
    const std::uint64_t fileBytes = platform::fileSize(path).value_or(0);
    if (extension == "flac") {
        if (PcmBufferPtr buffer = decodeFlacStream(path, fileBytes)) {
            message.clear();
            return buffer;
        }
    }
    SF_INFO info{};
    SndfileHandle file(sf_open(libraryFileName(path).c_str(), SFM_READ, &info));
    if (file) return readDecodedFrames(file.get(), info, fileBytes, message);

    const std::string fileError = sf_strerror(nullptr);
    message = messages::kLibraryInitFailed + fileError;
    if (!isOggExtension(extension)) return nullptr;

    const std::vector<unsigned char> bytes = platform::readWholeFile(path);
    if (bytes.empty()) return nullptr;
    SF_VIRTUAL_IO io{&memoryLength, &memorySeek, &memoryRead, &memoryWrite, &memoryTell};
    MemoryFile memory{&bytes, 0};
    info = SF_INFO{};
    // `bytes` and `memory` outlive the handle: it is closed before they go.
    SndfileHandle memoryFile(sf_open_virtual(&io, SFM_READ, &info, &memory));
    if (!memoryFile) {
        const std::string memoryError = sf_strerror(nullptr);
        if (memoryError != fileError) message += messages::kLibraryMemoryFallback + memoryError;
        return nullptr;
    }
    message.clear();
    return readDecodedFrames(memoryFile.get(), info, bytes.size(), message);
}

}  // namespace velmora
