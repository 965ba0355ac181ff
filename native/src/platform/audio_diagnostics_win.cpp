#include "platform/audio_diagnostics.hpp"

namespace velmora::platform {

// Windows' host APIs print nothing of their own.
void quietAudioLibraryDiagnostics() {}

}  // namespace velmora::platform
