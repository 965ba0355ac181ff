// The JACK functions PortAudio calls, resolved from libjack.so.0 at run time:
// the prebuilt module carries no link to JACK, so it loads on a machine
// without it, where PortAudio's JACK host just fails to start (no client).
// Linked into the module only when its dependencies are static.
#include <jack/jack.h>

#include <dlfcn.h>

namespace {

#define VELMORA_JACK_FUNCTIONS(X)                                                                 \
    X(jack_activate) X(jack_client_close) X(jack_client_name_size) X(jack_client_open)             \
    X(jack_connect) X(jack_deactivate) X(jack_frame_time) X(jack_get_buffer_size)                  \
    X(jack_get_client_name) X(jack_get_ports) X(jack_get_sample_rate) X(jack_on_shutdown)          \
    X(jack_port_by_name) X(jack_port_connected) X(jack_port_disconnect) X(jack_port_get_buffer)    \
    X(jack_port_get_latency) X(jack_port_name) X(jack_port_name_size) X(jack_port_register)        \
    X(jack_port_unregister) X(jack_set_error_function) X(jack_set_process_callback)                \
    X(jack_set_sample_rate_callback) X(jack_set_xrun_callback)

// jack_port_get_latency is deprecated, and PortAudio 19.6 calls it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
struct Jack {
#define VELMORA_JACK_POINTER(name) decltype(&::name) name = nullptr;
    VELMORA_JACK_FUNCTIONS(VELMORA_JACK_POINTER)
#undef VELMORA_JACK_POINTER
    // Not in every JACK: optional.
    decltype(&::jack_set_info_function) jack_set_info_function = nullptr;

    Jack() {
        // Kept loaded for the life of the process, as a linked library would be.
        void* library = dlopen("libjack.so.0", RTLD_NOW | RTLD_LOCAL);
        if (!library) return;
#define VELMORA_JACK_RESOLVE(name) name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name));
        VELMORA_JACK_FUNCTIONS(VELMORA_JACK_RESOLVE)
#undef VELMORA_JACK_RESOLVE
        jack_set_info_function =
            reinterpret_cast<decltype(&::jack_set_info_function)>(dlsym(library, "jack_set_info_function"));
        // A partial library is no library: every call below may then assume all.
        bool complete = true;
#define VELMORA_JACK_CHECK(name) complete = complete && name;
        VELMORA_JACK_FUNCTIONS(VELMORA_JACK_CHECK)
#undef VELMORA_JACK_CHECK
        if (complete) return;
#define VELMORA_JACK_CLEAR(name) name = nullptr;
        VELMORA_JACK_FUNCTIONS(VELMORA_JACK_CLEAR)
#undef VELMORA_JACK_CLEAR
    }
};
#pragma GCC diagnostic pop

// Resolved on the first call, which is PortAudio's initialisation on a
// script thread: the process callback only reads the table.
const Jack& jack() {
    static const Jack table;
    return table;
}

}  // namespace

// Without libjack: no client, so PortAudio's JACK host reports no server.
extern "C" jack_client_t* jack_client_open(const char* name, jack_options_t options, jack_status_t* status, ...) {
    if (jack().jack_client_open) return jack().jack_client_open(name, options, status);
    if (status) *status = static_cast<jack_status_t>(JackFailure | JackServerFailed);
    return nullptr;
}

// Called before any client exists, or only with one: answered with JACK's
// own limits or nothing when the library is absent.
extern "C" int jack_client_name_size(void) {
    return jack().jack_client_name_size ? jack().jack_client_name_size() : 64;
}
extern "C" int jack_port_name_size(void) {
    return jack().jack_port_name_size ? jack().jack_port_name_size() : 320;
}
extern "C" void jack_set_error_function(void (*function)(const char*)) {
    if (jack().jack_set_error_function) jack().jack_set_error_function(function);
}
extern "C" void jack_set_info_function(void (*function)(const char*)) {
    if (jack().jack_set_info_function) jack().jack_set_info_function(function);
}

// The rest take a client or a port, which exist only when the library does.
#define VELMORA_JACK_FORWARD(name, result, parameters, arguments) \
    extern "C" result name parameters { return jack().name arguments; }
VELMORA_JACK_FORWARD(jack_activate, int, (jack_client_t* client), (client))
VELMORA_JACK_FORWARD(jack_client_close, int, (jack_client_t* client), (client))
VELMORA_JACK_FORWARD(jack_connect, int, (jack_client_t* client, const char* source, const char* destination),
                     (client, source, destination))
VELMORA_JACK_FORWARD(jack_deactivate, int, (jack_client_t* client), (client))
VELMORA_JACK_FORWARD(jack_frame_time, jack_nframes_t, (const jack_client_t* client), (client))
VELMORA_JACK_FORWARD(jack_get_buffer_size, jack_nframes_t, (jack_client_t* client), (client))
VELMORA_JACK_FORWARD(jack_get_client_name, char*, (jack_client_t* client), (client))
VELMORA_JACK_FORWARD(jack_get_ports, const char**,
                     (jack_client_t* client, const char* name, const char* type, unsigned long flags),
                     (client, name, type, flags))
VELMORA_JACK_FORWARD(jack_get_sample_rate, jack_nframes_t, (jack_client_t* client), (client))
VELMORA_JACK_FORWARD(jack_on_shutdown, void, (jack_client_t* client, JackShutdownCallback callback, void* argument),
                     (client, callback, argument))
VELMORA_JACK_FORWARD(jack_port_by_name, jack_port_t*, (jack_client_t* client, const char* name), (client, name))
VELMORA_JACK_FORWARD(jack_port_connected, int, (const jack_port_t* port), (port))
VELMORA_JACK_FORWARD(jack_port_disconnect, int, (jack_client_t* client, jack_port_t* port), (client, port))
VELMORA_JACK_FORWARD(jack_port_get_buffer, void*, (jack_port_t* port, jack_nframes_t frames), (port, frames))
VELMORA_JACK_FORWARD(jack_port_get_latency, jack_nframes_t, (jack_port_t* port), (port))
VELMORA_JACK_FORWARD(jack_port_name, const char*, (const jack_port_t* port), (port))
VELMORA_JACK_FORWARD(jack_port_register, jack_port_t*,
                     (jack_client_t* client, const char* name, const char* type, unsigned long flags,
                      unsigned long size),
                     (client, name, type, flags, size))
VELMORA_JACK_FORWARD(jack_port_unregister, int, (jack_client_t* client, jack_port_t* port), (client, port))
VELMORA_JACK_FORWARD(jack_set_process_callback, int, (jack_client_t* client, JackProcessCallback callback, void* argument),
                     (client, callback, argument))
VELMORA_JACK_FORWARD(jack_set_sample_rate_callback, int,
                     (jack_client_t* client, JackSampleRateCallback callback, void* argument),
                     (client, callback, argument))
VELMORA_JACK_FORWARD(jack_set_xrun_callback, int, (jack_client_t* client, JackXRunCallback callback, void* argument),
                     (client, callback, argument))
#undef VELMORA_JACK_FORWARD
