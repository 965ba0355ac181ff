#include "decoding/fallback_decoder.hpp"

#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <objbase.h>

#include <cstring>
#include <new>
#include <vector>

#include "decoding/block_energy.hpp"
#include "decoding/messages.hpp"
#include "decoding/sample_bounds.hpp"
#include "platform/wide_path_win.hpp"

// Media Foundation's source reader. Its DLLs are looked up at the first
// decode, not imported: Windows editions without the media features (the N
// editions) must still load the module, and only this fallback then fails.
namespace velmora {

namespace {

struct MediaFoundation {
    using Startup = HRESULT(WINAPI*)(ULONG, DWORD);
    using Shutdown = HRESULT(WINAPI*)();
    using CreateMediaType = HRESULT(WINAPI*)(IMFMediaType**);
    using CreateSourceReader = HRESULT(WINAPI*)(LPCWSTR, IMFAttributes*, IMFSourceReader**);
    Startup startup = nullptr;
    Shutdown shutdown = nullptr;
    CreateMediaType createMediaType = nullptr;
    CreateSourceReader createSourceReader = nullptr;

    bool loaded() const {
        return startup && shutdown && createMediaType && createSourceReader;
    }
};

template <typename Function>
Function lookUp(HMODULE library, const char* name) {
    return library ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)))
                   : nullptr;
}

// Loaded once and kept: the DLLs stay mapped for the process's life.
const MediaFoundation& mediaFoundation() {
    static const MediaFoundation functions = [] {
        MediaFoundation found;
        const DWORD systemOnly = LOAD_LIBRARY_SEARCH_SYSTEM32;
        HMODULE platform = LoadLibraryExW(L"mfplat.dll", nullptr, systemOnly);
        HMODULE reader = LoadLibraryExW(L"mfreadwrite.dll", nullptr, systemOnly);
        found.startup = lookUp<MediaFoundation::Startup>(platform, "MFStartup");
        found.shutdown = lookUp<MediaFoundation::Shutdown>(platform, "MFShutdown");
        found.createMediaType = lookUp<MediaFoundation::CreateMediaType>(platform, "MFCreateMediaType");
        found.createSourceReader =
            lookUp<MediaFoundation::CreateSourceReader>(reader, "MFCreateSourceReaderFromURL");
        return found;
    }();
    return functions;
}

template <typename Interface>
void release(Interface*& object) {
    if (object != nullptr) object->Release();
    object = nullptr;
}

constexpr DWORD kFirstAudioStream = static_cast<DWORD>(MF_SOURCE_READER_FIRST_AUDIO_STREAM);

// Steps after MFStartup: reader, float output type, the read loop. Null with
// `message` set on failure; the caller shuts Media Foundation down.
PcmBufferPtr readFirstAudioStream(const MediaFoundation& mf, const std::wstring& path,
                                  std::string& message) {
    IMFSourceReader* reader = nullptr;
    IMFMediaType* type = nullptr;
    const auto fail = [&](const char* text) -> PcmBufferPtr {
        message = text;
        release(type);
        release(reader);
        return nullptr;
    };
    if (FAILED(mf.createSourceReader(path.c_str(), nullptr, &reader)) || reader == nullptr)
        return fail(messages::kFoundationReaderFailed);
    if (FAILED(mf.createMediaType(&type)) || type == nullptr)
        return fail(messages::kFoundationMediaTypeFailed);
    if (FAILED(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio)))
        return fail(messages::kFoundationMajorTypeFailed);
    if (FAILED(type->SetGUID(MF_MT_SUBTYPE, MFAudioFormat_Float)))
        return fail(messages::kFoundationSubtypeFailed);
    if (FAILED(reader->SetCurrentMediaType(kFirstAudioStream, nullptr, type)))
        return fail(messages::kFoundationNoFloat);
    release(type);
    if (FAILED(reader->GetCurrentMediaType(kFirstAudioStream, &type)) || type == nullptr)
        return fail(messages::kFoundationOutputTypeFailed);
    UINT32 channels = 0, sampleRate = 0;
    if (FAILED(type->GetUINT32(MF_MT_AUDIO_NUM_CHANNELS, &channels)) || channels == 0)
        return fail(messages::kFoundationInvalidChannels);
    if (FAILED(type->GetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, &sampleRate)) || sampleRate == 0)
        return fail(messages::kFoundationInvalidRate);
    // The engine's buffers hold a signed channel count and rate.
    if (channels > 0x7fffffffu) return fail(messages::kFoundationInvalidChannels);
    if (sampleRate > 0x7fffffffu) return fail(messages::kFoundationInvalidRate);

    std::vector<float> samples;
    for (;;) {
        DWORD flags = 0;
        IMFSample* sample = nullptr;
        if (FAILED(reader->ReadSample(kFirstAudioStream, 0, nullptr, &flags, nullptr, &sample)))
            return fail(messages::kFoundationReadFailed);
        if ((flags & MF_SOURCE_READERF_ENDOFSTREAM) != 0) {
            release(sample);
            break;
        }
        if (sample == nullptr) continue;
        IMFMediaBuffer* buffer = nullptr;
        const HRESULT converted = sample->ConvertToContiguousBuffer(&buffer);
        release(sample);
        if (FAILED(converted) || buffer == nullptr)
            return fail(messages::kFoundationContiguousFailed);
        BYTE* data = nullptr;
        DWORD length = 0;
        if (FAILED(buffer->Lock(&data, nullptr, &length)) || data == nullptr) {
            release(buffer);
            return fail(messages::kFoundationLockFailed);
        }
        // Whole floats only; a trailing partial one is dropped.
        const std::size_t count = length / sizeof(float);
        bool stored = true;
        try {
            const std::size_t at = samples.size();
            samples.resize(at + count);
            std::memcpy(samples.data() + at, data, count * sizeof(float));
        } catch (const std::bad_alloc&) {
            stored = false;
        }
        buffer->Unlock();
        release(buffer);
        if (!stored) return fail(messages::kMediaOutOfMemory);
    }
    if (samples.empty()) return fail(messages::kFoundationZeroFrames);
    release(type);
    release(reader);

    auto decoded = std::make_shared<PcmBuffer>();
    decoded->sampleRate = static_cast<std::int32_t>(sampleRate);
    decoded->channels = static_cast<std::int32_t>(channels);
    // Whole frames, bounded and summed as every other decoder leaves them.
    samples.resize(samples.size() - samples.size() % channels);
    boundDecodedSamples(samples.data(), samples.size());
    decoded->energy = computeBlockEnergy(samples.data(), samples.size() / channels,
                                         decoded->channels, blockEnergyFrames(decoded->sampleRate));
    decoded->samples = std::move(samples);
    return decoded;
}

}  // namespace

PcmBufferPtr decodeWithFallback(const std::string& path, std::string& message) {
    // COM in the multithreaded apartment; a thread already in another
    // apartment still decodes, and its COM is not ended here.
    const bool comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    const auto endCom = [&] {
        if (comStarted) CoUninitialize();
    };
    const std::wstring widePath = platform::toWidePath(path);
    if (widePath.empty()) {
        message = messages::kFoundationPathFailed;
        endCom();
        return nullptr;
    }
    const MediaFoundation& mf = mediaFoundation();
    if (!mf.loaded() || FAILED(mf.startup(MF_VERSION, MFSTARTUP_FULL))) {
        message = messages::kFoundationStartupFailed;
        endCom();
        return nullptr;
    }
    PcmBufferPtr buffer;
    try {
        buffer = readFirstAudioStream(mf, widePath, message);
    } catch (const std::bad_alloc&) {
        message = messages::kMediaOutOfMemory;
    }
    mf.shutdown();
    endCom();
    return buffer;
}

bool fallbackDiffersFromMediaDecoder() {
    return true;
}

}  // namespace velmora
