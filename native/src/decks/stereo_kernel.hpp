#pragma once
// The stereo kernel: a block of a stereo track whose frames all have both
// neighbours, under a constant gain or a fade running through the whole
// block, rendered eight frames at a time.
//  - positions are 32.32 fixed point, the same to the sample as the double
//    positions pos0 + i x step. A frame whose fraction lies within 2^-16 of a
//    whole frame could round to the other side in double; its group goes out
//    of line and such frames take the double position's index.
//  - interpolation and gains are float; the fade is evaluated per frame from
//    the frames left (cubicGainAt).
//  - levels are those of the frame values (constant gain: the caller scales
//    them once per block) or of the gained values (fade).
// Built for 128-bit vectors (the portable path) and for 256-bit ones where the
// CPU has AVX2; both give the same samples and levels to the bit.

#include <cstdint>

namespace velmora {

// Frame values of one block and the gains the kernel applies.
struct StereoBlock {
    const float* samples = nullptr;
    double pos0 = 0.0;  // frame k of the block sits at pos0 + (first + k) x step
    double step = 1.0;
    std::uint32_t first = 0;
    std::uint32_t frames = 0;
    bool fade = false;
    float gain = 1.0f;  // constant gain
    // Fade: gain = fadeGainEnd + fadeGainCubic x left^3, `left` counting the
    // frames left of the fade (from fadeRemaining at the first frame).
    float fadeRemaining = 0.0f;
    float fadeGainEnd = 0.0f;
    float fadeGainCubic = 0.0f;
    float* pairOut = nullptr;  // adds onto channels 0 and 1 of a 2-channel block; else
    float* lr = nullptr;       // stores the frame values here
    float* lrGain = nullptr;   // and, with a fade, each sample's gain here
};

// Peak and sum of squares per channel: of the frame values under a constant
// gain, of the gained values under a fade.
struct StereoLevels {
    double peak[2] = {0.0, 0.0};
    double sum[2] = {0.0, 0.0};
};

// Audio thread. Arithmetic only. `wide` takes the AVX2 build, which the
// caller asks for only where kCpuHasAvx2 holds.
void renderStereoBlock(const StereoBlock& block, StereoLevels& levels, bool wide) noexcept;

}  // namespace velmora
