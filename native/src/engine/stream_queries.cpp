#include "engine/stream_queries.hpp"

#include <portaudio.h>

namespace velmora {

StreamStatus queryStreamStatus(void* stream) {
    StreamStatus status;
    PaStream* pa = stream;
    status.active = Pa_IsStreamActive(pa);
    status.stopped = Pa_IsStreamStopped(pa);
    status.cpuLoad = Pa_GetStreamCpuLoad(pa);
    if (status.active < 0) status.activeErrorText = Pa_GetErrorText(status.active);
    if (status.stopped < 0) status.stoppedErrorText = Pa_GetErrorText(status.stopped);
    return status;
}

}  // namespace velmora
