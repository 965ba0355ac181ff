#pragma once
// A private JACK dummy server for integration tests. The server name is
// random per instance and exported through JACK_DEFAULT_SERVER, with
// JACK_NO_START_SERVER=1 so the JACK library never starts one by itself.

#include <sys/types.h>

#include <string>
#include <vector>

namespace velmora {
class AudioEngine;
}

namespace velmora::test {

class JackServer {
public:
    explicit JackServer(int periodFrames = 256);
    ~JackServer();  // always stops the server
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // Waits until the server answers, at most 10 s. `realtime` runs the
    // server (and so its clients' process threads) with SCHED_FIFO where the
    // machine allows it: without it a loaded machine makes it miss periods.
    bool start(bool realtime = true);
    void stop();   // SIGTERM, then SIGKILL after 2 s

    // Records the given ports for `seconds` into a WAV file with jack_rec.
    bool record(const std::vector<std::string>& ports, double seconds, const std::string& path) const;
    std::vector<std::string> ports() const;

private:
    int period_;
    pid_t pid_ = -1;
};

// The id of the JACK device in the engine's list ("" when none is listed):
// tests name it rather than trust what "default" is on the machine.
std::string jackDeviceId(AudioEngine& engine);

// While it lives ALSA sees no device, so that with no JACK server running
// nothing opens. PortAudio reads the environment on the engine's threads:
// none may run when it ends.
class HiddenDevices {
public:
    HiddenDevices();
    ~HiddenDevices();
    HiddenDevices(const HiddenDevices&) = delete;
    HiddenDevices& operator=(const HiddenDevices&) = delete;

private:
    std::string saved_;
    bool wasSet_ = false;
};

// Reads a WAV file: interleaved samples, channel count.
bool readWav(const std::string& path, std::vector<float>& samples, int& channels, int& sampleRate);

}  // namespace velmora::test
