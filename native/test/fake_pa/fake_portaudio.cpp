#include "fake_portaudio.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "platform/asio.hpp"

namespace fakepa {
namespace {

struct Stream {
    PaStreamCallback* callback = nullptr;
    void* userData = nullptr;
    std::atomic<int> active{0};
    std::atomic<int> stopped{1};
    PaStreamInfo info{};
};

Machine current;
std::atomic<int> initCount{0};
std::atomic<int> initCalls{0};
std::atomic<bool> serverDown{false};
// Like PortAudio, the device list is the one found by the initialisation
// that took the count from zero.
std::atomic<bool> listedNothing{false};
// Every stream open (an abandoned one may still be closing); openStream is
// the latest.
std::mutex streamsMutex;
std::vector<Stream*> streams;
Stream* openStream = nullptr;
OpenedStream opened;
int opens = 0;
std::atomic<int> closes{0};
std::atomic<int> callsInside{0};
std::atomic<int> overlaps{0};

// Marks a call that must not run beside another.
struct SerialCall {
    SerialCall() {
        if (callsInside.fetch_add(1) > 0) overlaps.fetch_add(1);
    }
    ~SerialCall() { callsInside.fetch_sub(1); }
};

Stream* find(PaStream* stream) {
    std::lock_guard lock(streamsMutex);
    const auto it = std::find(streams.begin(), streams.end(), static_cast<Stream*>(stream));
    return it == streams.end() ? nullptr : *it;
}

void stopNow(Stream* stream) {
    if (stream->active != 1 && stream->stopped != 1 && !current.survivesServerDeath && current.lostStreamStopMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(current.lostStreamStopMs));
    stream->active = 0;
    stream->stopped = 1;
}
std::vector<PaDeviceInfo> deviceInfos;
std::vector<PaHostApiInfo> hostInfos;

int asioQuery(int index, long* minSize, long* maxSize, long* preferred, long* granularity) {
    if (index < 0 || index >= static_cast<int>(current.devices.size())) return paInvalidDevice;
    const Device& device = current.devices[static_cast<std::size_t>(index)];
    if (device.asioResult != paNoError) return device.asioResult;
    *minSize = device.asioMin;
    *maxSize = device.asioMax;
    *preferred = device.asioPreferred;
    *granularity = device.asioGranularity;
    return paNoError;
}

bool rateAccepted(const Device& device, double rate) {
    const int r = static_cast<int>(std::lround(rate));
    if (device.onlyRate) return r == *device.onlyRate;
    return device.refusedRates.count(r) == 0;
}

}  // namespace

void reset(const Machine& machine) {
    {
        std::lock_guard lock(streamsMutex);
        for (Stream* stream : streams) delete stream;
        streams.clear();
        openStream = nullptr;
    }
    current = machine;
    for (std::atomic<int>* counter : {&initCount, &initCalls, &closes, &overlaps}) *counter = 0;
    serverDown = listedNothing = false;
    opened = {};
    opens = 0;
    velmora::platform::setAsioBufferSizeQuery(&asioQuery);
}

Machine& machine() { return current; }
int initializeCount() { return initCount; }
int initializeCalls() { return initCalls; }
void setServerDown(bool down) { serverDown = down; }
bool streamExists() { return openStream != nullptr; }
const OpenedStream& lastOpened() { return opened; }
int openCount() { return opens; }
int closeCount() { return closes; }
int overlappingCalls() { return overlaps; }

int runCallback(float* output, unsigned long frames, PaStreamCallbackFlags flags,
                const PaStreamCallbackTimeInfo* time) {
    if (openStream == nullptr) return -1;
    return openStream->callback(nullptr, output, frames, time, flags, openStream->userData);
}

void setStreamState(int active, int stopped) {
    if (openStream == nullptr) return;
    openStream->active = active;
    openStream->stopped = stopped;
}

}  // namespace fakepa

using namespace fakepa;

extern "C" {

int PaJack_SurvivesServerDeath(void) { return current.survivesServerDeath ? 1 : 0; }

PaError Pa_Initialize(void) {
    SerialCall serial;
    ++initCalls;
    if (current.initializeHook) current.initializeHook();
    if (current.initializeError != paNoError) return current.initializeError;
    if (initCount++ == 0) listedNothing = serverDown.load();
    return paNoError;
}

PaError Pa_Terminate(void) {
    SerialCall serial;
    if (current.terminateHook) current.terminateHook();
    if (initCount == 0) return paNotInitialized;
    --initCount;
    return paNoError;
}

const char* Pa_GetErrorText(PaError error) {
    switch (error) {
        case paNoError: return "Success";
        case paNotInitialized: return "PortAudio not initialized";
        case paInvalidSampleRate: return "Invalid sample rate";
        case paInvalidDevice: return "Invalid device";
        case paDeviceUnavailable: return "Device unavailable";
        case paInsufficientMemory: return "Insufficient memory";
        case paInternalError: return "Internal PortAudio error";
        case paUnanticipatedHostError: return "Unanticipated host error";
        case paBadStreamPtr: return "Invalid stream pointer";
        default: return "Illegal error number";
    }
}

PaDeviceIndex Pa_GetDeviceCount(void) {
    SerialCall serial;
    return listedNothing ? 0 : static_cast<PaDeviceIndex>(current.devices.size());
}

PaDeviceIndex Pa_GetDefaultOutputDevice(void) {
    SerialCall serial;
    return listedNothing ? paNoDevice : current.defaultOutput;
}

const PaDeviceInfo* Pa_GetDeviceInfo(PaDeviceIndex index) {
    SerialCall serial;
    if (listedNothing || index < 0 || index >= static_cast<int>(current.devices.size())) return nullptr;
    const Device& device = current.devices[static_cast<std::size_t>(index)];
    if (device.infoMissing) return nullptr;
    deviceInfos.resize(current.devices.size());
    PaDeviceInfo& info = deviceInfos[static_cast<std::size_t>(index)];
    info = {};
    info.structVersion = 2;
    info.name = device.name ? device.name->c_str() : nullptr;
    info.hostApi = device.hostApi;
    info.maxOutputChannels = device.maxOutputChannels;
    info.defaultLowOutputLatency = device.defaultLowOutputLatency;
    info.defaultHighOutputLatency = device.defaultHighOutputLatency;
    info.defaultSampleRate = device.defaultSampleRate;
    return &info;
}

const PaHostApiInfo* Pa_GetHostApiInfo(PaHostApiIndex index) {
    SerialCall serial;
    if (index < 0 || index >= static_cast<int>(current.hostApis.size())) return nullptr;
    const HostApi& host = current.hostApis[static_cast<std::size_t>(index)];
    if (host.infoMissing) return nullptr;
    hostInfos.resize(current.hostApis.size());
    PaHostApiInfo& info = hostInfos[static_cast<std::size_t>(index)];
    info = {};
    info.structVersion = 1;
    info.type = host.type;
    info.name = host.name ? host.name->c_str() : nullptr;
    return &info;
}

PaError Pa_IsFormatSupported(const PaStreamParameters* input, const PaStreamParameters* output,
                             double sampleRate) {
    SerialCall serial;
    if (initCount == 0) return paNotInitialized;
    if (input != nullptr || output == nullptr) return paInvalidDevice;
    if (output->device < 0 || output->device >= static_cast<int>(current.devices.size())) return paInvalidDevice;
    const Device& device = current.devices[static_cast<std::size_t>(output->device)];
    if (output->channelCount > device.maxOutputChannels) return paInvalidChannelCount;
    return rateAccepted(device, sampleRate) ? paNoError : paInvalidSampleRate;
}

PaError Pa_OpenStream(PaStream** stream, const PaStreamParameters*, const PaStreamParameters* output,
                      double sampleRate, unsigned long framesPerBuffer, PaStreamFlags flags,
                      PaStreamCallback* callback, void* userData) {
    SerialCall serial;
    if (initCount == 0) return paNotInitialized;
    ++opens;
    opened.output = *output;
    opened.sampleRate = sampleRate;
    opened.framesPerBuffer = framesPerBuffer;
    opened.flags = flags;
    if (current.openError != paNoError) return current.openError;
    if (current.openReturnsNullStream) {
        *stream = nullptr;
        return paNoError;
    }
    auto* created = new Stream;
    created->callback = callback;
    created->userData = userData;
    created->info.outputLatency = current.streamOutputLatency;
    created->info.sampleRate = sampleRate;
    std::lock_guard lock(streamsMutex);
    streams.push_back(created);
    openStream = created;
    *stream = created;
    return paNoError;
}

PaError Pa_StartStream(PaStream* stream) {
    SerialCall serial;
    Stream* s = find(stream);
    if (s == nullptr) return paBadStreamPtr;
    if (current.startError != paNoError) return current.startError;
    s->active = 1;
    s->stopped = 0;
    return paNoError;
}

PaError Pa_StopStream(PaStream* stream) {
    Stream* s = find(stream);
    if (s == nullptr) return paBadStreamPtr;
    stopNow(s);
    return paNoError;
}

PaError Pa_AbortStream(PaStream* stream) { return Pa_StopStream(stream); }

PaError Pa_CloseStream(PaStream* stream) {
    SerialCall serial;
    Stream* s = find(stream);
    if (s == nullptr) return paBadStreamPtr;
    // Like PortAudio, a close aborts a stream that is not stopped.
    stopNow(s);
    ++closes;
    std::lock_guard lock(streamsMutex);
    streams.erase(std::find(streams.begin(), streams.end(), s));
    if (openStream == s) openStream = streams.empty() ? nullptr : streams.back();
    delete s;
    return paNoError;
}

PaError Pa_IsStreamActive(PaStream* stream) {
    Stream* s = find(stream);
    return s == nullptr ? paBadStreamPtr : s->active.load();
}

PaError Pa_IsStreamStopped(PaStream* stream) {
    Stream* s = find(stream);
    return s == nullptr ? paBadStreamPtr : s->stopped.load();
}

double Pa_GetStreamCpuLoad(PaStream* stream) { return find(stream) != nullptr ? 0.25 : 0.0; }

const PaStreamInfo* Pa_GetStreamInfo(PaStream* stream) {
    SerialCall serial;
    Stream* s = find(stream);
    return s == nullptr ? nullptr : &s->info;
}

}  // extern "C"
