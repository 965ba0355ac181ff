#pragma once
#include <mutex>

namespace velmora {

// Serialises PortAudio's initialisation count and device queries between the
// engine, device enumeration and the thread that closes an abandoned stream.
// Taken after the engine lock, never the other way round. Never destroyed, so
// a detached closer may still use it during process exit.
inline std::mutex& portAudioLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

}  // namespace velmora
