#pragma once
// Every text the decoders and the streaming source report. Kept word for
// word, the library's name in the first decoder's texts too: callers match
// them.

namespace velmora::messages {

// The library decoder (libsndfile); its own reason follows the first two.
inline constexpr char kLibraryInitFailed[] = "miniaudio decode init failed: ";
inline constexpr char kLibraryReadFailed[] = "miniaudio decode read failed: ";
inline constexpr char kLibraryInvalidFormat[] = "miniaudio returned an invalid sample rate or channel count.";
inline constexpr char kLibraryZeroFrames[] = "miniaudio decoded zero PCM frames.";
inline constexpr char kLibraryMemoryFallback[] = " | memory fallback: ";

// The media decoder (FFmpeg); FFmpeg's reason follows the texts ending in ": ".
inline constexpr char kMediaOpenFailed[] = "media decoder could not open the file: ";
inline constexpr char kMediaStreamInfoFailed[] = "media decoder could not read the stream info: ";
inline constexpr char kMediaNoAudioStream[] = "media decoder found no audio stream.";
inline constexpr char kMediaNoDecoder[] = "media decoder has no codec for the audio stream.";
inline constexpr char kMediaDecoderInitFailed[] = "media decoder could not open the codec: ";
inline constexpr char kMediaInvalidFormat[] = "media decoder returned an invalid sample rate or channel count.";
inline constexpr char kMediaConvertFailed[] = "media decoder sample conversion failed: ";
inline constexpr char kMediaDecodeFailed[] = "media decoder decode failed: ";
inline constexpr char kMediaZeroFrames[] = "media decoder decoded zero PCM frames.";
inline constexpr char kMediaOutOfMemory[] = "media decoder ran out of memory.";

// The streaming source.
inline constexpr char kEmptyTrackPath[] = "Empty track path.";
inline constexpr char kStreamingInitFailed[] = "Streaming decoder init failed.";
inline constexpr char kRingNotInitialized[] = "Streaming ring buffer is not initialized.";
inline constexpr char kStreamingReadFailed[] = "Streaming read failed.";

// A decode that failed without a reason of its own (loads and analyses).
inline constexpr char kTrackDecodingFailed[] = "Track decoding failed.";

}  // namespace velmora::messages
