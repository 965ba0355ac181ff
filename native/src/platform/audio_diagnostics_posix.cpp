#include "platform/audio_diagnostics.hpp"

#include <dlfcn.h>

#include <mutex>

namespace velmora::platform {
namespace {

void silentAlsaHandler(const char*, int, const char*, int, const char*, ...) {}
void silentJackHandler(const char*) {}

using AlsaHandler = void (*)(const char*, int, const char*, int, const char*, ...);
using AlsaSetHandler = int (*)(AlsaHandler);
using JackSetFunction = void (*)(void (*)(const char*));

}  // namespace

void quietAudioLibraryDiagnostics() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Looked up at run time: the libraries come with PortAudio, not with us.
        if (auto set = reinterpret_cast<AlsaSetHandler>(dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler")))
            set(silentAlsaHandler);
        if (auto set = reinterpret_cast<JackSetFunction>(dlsym(RTLD_DEFAULT, "jack_set_error_function")))
            set(silentJackHandler);
        if (auto set = reinterpret_cast<JackSetFunction>(dlsym(RTLD_DEFAULT, "jack_set_info_function")))
            set(silentJackHandler);
    });
}

}  // namespace velmora::platform
