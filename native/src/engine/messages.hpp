#pragma once
// Every text the output engine shows: runtime errors, device list entries
// and log lines. Kept word for word, the French ones too: callers match them.

#include <cstdint>
#include <string>

namespace velmora::messages {

// Runtime and deck lastError.
inline constexpr char kNoOutputDevice[] = "No output device available.";
inline constexpr char kInvalidOutputDevice[] = "Invalid output device.";
inline constexpr char kInvalidHostApi[] = "Invalid host API.";
inline constexpr char kNotAsioDevice[] = "Selected device is not an ASIO device.";
inline constexpr char kTooFewOutputs[] = "Device has less than 2 output channels.";
inline constexpr char kStreamNoLongerActive[] = "Le driver audio a ouvert le flux mais il n'est plus actif.";
inline std::string routingBeyondDevice(std::int64_t requested, std::int32_t available) {
    return "Requested " + std::to_string(requested) + " output channels, but the device exposes only " +
           std::to_string(available) + ".";
}

// Device list entries when PortAudio or every device is missing.
inline constexpr char kPortAudioUnavailable[] = "PortAudio indisponible";
inline constexpr char kInternalFallbackOutput[] = "Sortie standard (fallback interne)";
inline constexpr char kUnnamedHost[] = "Host";
inline constexpr char kUnnamedDevice[] = "Périphérique";

// Log formats, each with its newline.
inline constexpr char kLogMessage[] = "%s\n";
inline constexpr char kLogMessageAsIs[] = "%s";  // a line formatted earlier, newline included
inline constexpr char kLogInitializeError[] = "Pa_Initialize ERROR: %s\n";
inline constexpr char kLogFormatError[] = "Pa_IsFormatSupported ERROR: %s\n";
inline constexpr char kLogOpenError[] = "Pa_OpenStream ERROR: %s\n";
inline constexpr char kLogStartError[] = "Pa_StartStream ERROR: %s\n";
inline constexpr char kLogAsioFallback[] = "[ASIO] Device re-resolved by fallback: index %d -> \"%s\"\n";
inline constexpr char kLogOpening[] =
    "Opening backend=%s deviceId=%s deviceIndex=%d hostApi=%s deviceName=%s maxOut=%d sampleRate=%d "
    "buffer=%d mode=%s\n";
inline constexpr char kLogStarted[] = "Pa_StartStream OK (callback stream, backend=%s)\n";
inline constexpr char kLogStreamStopped[] = "Output stream stopped by its driver; reopening.\n";
inline constexpr char kLogStreamSilent[] = "Output stream silent for %lld ms; reopening.\n";
inline constexpr char kLogDropped[] = "%llu log lines dropped: standard output was not being read.\n";

}  // namespace velmora::messages
