// Device enumeration: a fresh list from PortAudio on every call.

#include <portaudio.h>

#include <algorithm>
#include <string>

#include "engine/audio_engine.hpp"
#include "engine/messages.hpp"
#include "engine/portaudio_lock.hpp"
#include "platform/asio.hpp"

namespace velmora {
namespace {

constexpr double kProbeRates[] = {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0};

DeviceInfo syntheticEntry(std::string id, std::string name, std::string backend) {
    DeviceInfo info;
    info.id = std::move(id);
    info.name = std::move(name);
    info.channels = 2;
    info.isDefault = true;
    info.backend = std::move(backend);
    info.defaultSampleRate = 48000.0;
    return info;
}

}  // namespace

std::vector<DeviceInfo> AudioEngine::enumerateDevices(const std::string& backend) {
    const bool asio = isAsioBackend(backend);
    std::lock_guard portAudio(portAudioLock());
    if (Pa_Initialize() != paNoError)
        return {syntheticEntry(asio ? "asio-unavailable" : "default", messages::kPortAudioUnavailable, backend)};

    std::vector<DeviceInfo> devices;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    const PaDeviceIndex defaultOutput = Pa_GetDefaultOutputDevice();
    for (PaDeviceIndex index = 0; index < count; ++index) {
        const PaDeviceInfo* device = Pa_GetDeviceInfo(index);
        if (device == nullptr || device->maxOutputChannels < 1) continue;
        const PaHostApiInfo* host = Pa_GetHostApiInfo(device->hostApi);
        if (host == nullptr) continue;
        const bool deviceIsAsio = host->type == paASIO;
        if (deviceIsAsio != asio) continue;

        DeviceInfo info;
        info.id = std::to_string(index);
        info.hostApiName = host->name != nullptr ? host->name : "";
        info.name = (host->name != nullptr ? std::string(host->name) : std::string(messages::kUnnamedHost)) + " - " +
                    (device->name != nullptr ? std::string(device->name) : std::string(messages::kUnnamedDevice));
        info.channels = std::max(device->maxOutputChannels, 2);
        info.isDefault = index == defaultOutput;
        info.backend = asio ? "asio" : "standard";
        info.isAsio = deviceIsAsio;
        info.defaultSampleRate = device->defaultSampleRate;
        info.defaultLowOutputLatencyMs = std::max(0.0, device->defaultLowOutputLatency * 1000.0);
        info.defaultHighOutputLatencyMs = std::max(0.0, device->defaultHighOutputLatency * 1000.0);
        if (deviceIsAsio) {
            long minSize = 0, maxSize = 0, preferred = 0, granularity = 0;
            if (platform::asioGetAvailableBufferSizes(index, &minSize, &maxSize, &preferred, &granularity) == 0) {
                info.asioMinBufferSize = static_cast<std::int32_t>(std::max(minSize, 0L));
                info.asioMaxBufferSize = static_cast<std::int32_t>(std::max(maxSize, 0L));
                info.asioPreferredBufferSize = static_cast<std::int32_t>(std::max(preferred, 0L));
                info.asioGranularity = static_cast<std::int32_t>(granularity);
            }
        }
        PaStreamParameters output{};
        output.device = index;
        output.channelCount = std::max(info.channels, 1);
        output.sampleFormat = paFloat32;
        output.suggestedLatency = 0.0;
        output.hostApiSpecificStreamInfo = nullptr;
        for (const double rate : kProbeRates)
            if (Pa_IsFormatSupported(nullptr, &output, rate) == paNoError)
                info.supportedSampleRates.push_back(static_cast<std::int32_t>(rate));
        devices.push_back(std::move(info));
    }
    Pa_Terminate();

    if (devices.empty() && !asio)
        devices.push_back(syntheticEntry("default", messages::kInternalFallbackOutput, "standard"));
    return devices;
}

}  // namespace velmora
