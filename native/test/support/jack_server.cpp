#include "support/jack_server.hpp"
#include "support/test_support.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <thread>

#include "engine/audio_engine.hpp"

namespace velmora::test {
namespace {

std::string runCapture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
    return out;
}

}  // namespace

JackServer::JackServer(int periodFrames) : period_(periodFrames) {
    std::random_device random;
    setenv("JACK_DEFAULT_SERVER", ("velmora" + std::to_string(random() % 1000000000u)).c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
}

JackServer::~JackServer() { stop(); }

bool JackServer::start(bool realtime) {
    if (pid_ > 0) return true;
    const std::string period = std::to_string(period_);
    const bool fifo = realtime && runQuiet("chrt -f 1 true") == 0;
    // Servers killed elsewhere keep their slot in JACK's eight-slot registry.
    runQuiet("node '" VELMORA_SOURCE_DIR "/scripts/jack-registry.js' >/dev/null 2>&1");
    pid_ = fork();
    if (pid_ == 0) {
        // The server ends with the test process, even when that one crashes;
        // SIGTERM lets it leave JACK's server registry.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int null = open("/dev/null", O_RDWR);
        for (const int fd : {0, 1, 2}) dup2(null, fd);
        setpgid(0, 0);
        if (fifo)
            execlp("jackd", "jackd", "-R", "-P", "70", "-d", "dummy", "-r", "48000", "-p", period.c_str(), "-P", "16",
                   static_cast<char*>(nullptr));
        else
            execlp("jackd", "jackd", "--no-realtime", "-d", "dummy", "-r", "48000", "-p", period.c_str(), "-P",
                   "16", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid_ < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (runCapture("jack_lsp 2>/dev/null").find("system:playback_1") != std::string::npos) return true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop();
    return false;
}

void JackServer::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (waitpid(pid_, nullptr, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

std::vector<std::string> JackServer::ports() const {
    std::vector<std::string> list;
    std::istringstream out(runCapture("jack_lsp 2>/dev/null"));
    for (std::string port; std::getline(out, port);) list.push_back(port);
    return list;
}

bool JackServer::record(const std::vector<std::string>& ports, double seconds, const std::string& path) const {
    // jack_rec can hang on a loaded machine: bounded, and tried once more if it did.
    std::string command = "timeout -k 2 " + std::to_string(static_cast<int>(seconds) + 20) + " jack_rec -f '" +
                          path + "' -d " + std::to_string(seconds) + " -b 32";
    for (const std::string& port : ports) command += " '" + port + "'";
    command += " >/dev/null 2>&1";
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int status = std::system(command.c_str());
        if (status == 0) return true;
        if (!WIFEXITED(status) || (WEXITSTATUS(status) != 124 && WEXITSTATUS(status) != 137)) return false;
    }
    return false;
}

std::string jackDeviceId(AudioEngine& engine) {
    for (const DeviceInfo& device : engine.enumerateDevices("standard"))
        if (device.hostApiName == "JACK Audio Connection Kit") return device.id;
    return "";
}

HiddenDevices::HiddenDevices() {
    if (const char* value = std::getenv("ALSA_CONFIG_PATH")) {
        saved_ = value;
        wasSet_ = true;
    }
    setenv("ALSA_CONFIG_PATH", VELMORA_SOURCE_DIR "/test/helpers/alsa-no-devices.conf", 1);
}

HiddenDevices::~HiddenDevices() {
    if (wasSet_) setenv("ALSA_CONFIG_PATH", saved_.c_str(), 1);
    else unsetenv("ALSA_CONFIG_PATH");
}

bool readWav(const std::string& path, std::vector<float>& samples, int& channels, int& sampleRate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return false;
    samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    channels = info.channels;
    sampleRate = info.samplerate;
    return true;
}

}  // namespace velmora::test
