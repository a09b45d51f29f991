// Float to 16-bit sample conversion, eight samples per step, and the
// crossfade of a block's start with the previous block's tail.
#ifndef ORV_VLKDEC_KERNELS_CONVERT_H
#define ORV_VLKDEC_KERNELS_CONVERT_H

#include <cstdint>

namespace orv::vlkdec {

// Every sample is x * scale in single precision, rounded to an integer
// under the current rounding mode (nearest, ties to even, which the decoder
// never changes) and saturated to -32768..32767. A product beyond the signed
// 32-bit range saturates to the rail of its own sign; a NaN gives -32768.
// `count` and `frames` are multiples of 8. Input and output need no
// particular alignment.

// `count` samples of one channel.
void convert_mono_portable(const float* in, float scale, int16_t* out,
                           uint32_t count);
// `frames` frames of two channels, interleaved: left[i], right[i], ...
void convert_interleaved_portable(const float* left, const float* right,
                                  float scale, int16_t* out, uint32_t frames);

// Blends the first `samples` samples of `out` from `tail` into the new
// signal: out[k] = tail[k] + ((out[k] - tail[k]) * k >> shift), saturated
// to 16 bits, the shift arithmetic.
void crossfade_overlap_portable(int16_t* out, const int16_t* tail,
                                uint32_t samples, uint32_t shift);

}  // namespace orv::vlkdec

#endif
