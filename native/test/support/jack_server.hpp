#pragma once
// A private JACK dummy server for integration tests. The server name is
// random per instance and exported through JACK_DEFAULT_SERVER, with
// JACK_NO_START_SERVER=1 so the JACK library never starts one by itself.

#include <sys/types.h>

#include <string>
#include <vector>

namespace velmora::test {

class JackServer {
public:
    explicit JackServer(int periodFrames = 256);
    ~JackServer();  // always stops the server
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;

    // Waits until the server answers, at most 10 s. `realtime` runs the
    // server (and so its clients' process threads) with SCHED_FIFO where the
    // machine allows it, for runs that load every core.
    bool start(bool realtime = false);
    void stop();   // SIGTERM, then SIGKILL after 2 s
    bool running() const { return pid_ > 0; }
    const std::string& name() const { return name_; }

    // Records the given ports for `seconds` into a WAV file with jack_rec.
    bool record(const std::vector<std::string>& ports, double seconds, const std::string& path) const;
    std::vector<std::string> ports() const;

private:
    std::string name_;
    int period_;
    pid_t pid_ = -1;
};

// Reads a WAV file: interleaved samples, channel count.
bool readWav(const std::string& path, std::vector<float>& samples, int& channels, int& sampleRate);

}  // namespace velmora::test
