#pragma once
// A scripted PortAudio: tests describe a machine (host APIs, devices, refused
// rates, failing calls, ASIO buffer sizes) and drive the stream callback.

#include <portaudio.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fakepa {

struct HostApi {
    PaHostApiTypeId type = paALSA;
    std::optional<std::string> name = "ALSA";
    bool infoMissing = false;
};

struct Device {
    std::optional<std::string> name = "Device";
    int hostApi = 0;
    int maxOutputChannels = 2;
    double defaultLowOutputLatency = 0.005;
    double defaultHighOutputLatency = 0.02;
    double defaultSampleRate = 48000.0;
    std::set<int> refusedRates;   // every other rate is accepted
    std::optional<int> onlyRate;  // when set, the one accepted rate
    bool infoMissing = false;
    // ASIO buffer-size query: PaError result and values.
    int asioResult = paNoError;
    long asioMin = 64, asioMax = 2048, asioPreferred = 256, asioGranularity = -1;
};

struct Machine {
    std::vector<HostApi> hostApis{HostApi{}};
    std::vector<Device> devices;
    PaDeviceIndex defaultOutput = paNoDevice;
    PaError initializeError = paNoError;
    PaError openError = paNoError;
    bool openReturnsNullStream = false;
    PaError startError = paNoError;
    double streamOutputLatency = 0.012;
    // Runs at the start of every Pa_Initialize (a slow or stuck device probe).
    std::function<void()> initializeHook;
    // Runs at the start of every Pa_Terminate (a client close that hangs).
    std::function<void()> terminateHook;
    // Stopping a stream whose driver is gone (neither active nor stopped)
    // waits this long, as a dead server makes the system's PortAudio wait;
    // our patched build returns at once and says so.
    int lostStreamStopMs = 0;
    bool survivesServerDeath = true;
};

struct OpenedStream {
    PaStreamParameters output{};
    double sampleRate = 0.0;
    unsigned long framesPerBuffer = 0;
    PaStreamFlags flags = 0;
};

// Installs a machine, clears all state and routes the ASIO query here.
void reset(const Machine& machine);
Machine& machine();

// What the engine did.
int initializeCount();  // current PortAudio initialisation count
int initializeCalls();  // every Pa_Initialize since the reset
bool streamExists();
const OpenedStream& lastOpened();
int openCount();
int closeCount();
// PortAudio calls that ran while another one was under way, not counting
// those on one stream's transport and state (stop, abort, is-active...),
// which PortAudio's hosts guard themselves.
int overlappingCalls();

// The latest stream opened: drive one callback, or change what PortAudio reports.
int runCallback(float* output, unsigned long frames, PaStreamCallbackFlags flags,
                const PaStreamCallbackTimeInfo* time);
void setStreamState(int active, int stopped);
// A server that is down: initialisations then find no device at all.
void setServerDown(bool down);

}  // namespace fakepa
