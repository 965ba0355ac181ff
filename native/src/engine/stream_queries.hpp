#pragma once
#include <string>

namespace velmora {

// PortAudio's view of an open stream (1 yes, 0 no, negative: error code).
struct StreamStatus {
    int active = 0;
    int stopped = 1;
    double cpuLoad = 0.0;
    std::string activeErrorText;
    std::string stoppedErrorText;
};
StreamStatus queryStreamStatus(void* stream);

}  // namespace velmora
