// Writes what the decode chain makes of each file, to compare the Linux and
// Windows builds sample for sample (scripts/windows.sh):
//   velmora_decode_dump OUT FILE...
// OUT gets, per file, a line "rate channels samples" and the samples as
// little-endian float32. Exits with 1 when a file does not decode.
#include <cstdio>
#include <string>

#include "decoding/decode_chain.hpp"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) return 2;
    int status = 0;
    velmora::TrackCache cache;
    for (int i = 2; i < argc; ++i) {
        velmora::TrackDescriptor track;
        track.path = argv[i];
        std::string message;
        const velmora::PcmBufferPtr buffer = velmora::decodeTrack(cache, track, false, message);
        if (!buffer) {
            std::fprintf(stderr, "%s: %s\n", argv[i], message.c_str());
            status = 1;
            continue;
        }
        std::fprintf(out, "%d %d %zu\n", buffer->sampleRate, buffer->channels,
                     buffer->samples.size());
        std::fwrite(buffer->samples.data(), sizeof(float), buffer->samples.size(), out);
    }
    return std::fclose(out) == 0 ? status : 1;
}
