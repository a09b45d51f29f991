// Float to 16-bit sample conversion, eight samples per step.
#ifndef ORV_VLKDEC_DECODER_CONVERT_H
#define ORV_VLKDEC_DECODER_CONVERT_H

#include <cstdint>

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(ORV_DISABLE_SIMD)
#define ORV_CONVERT_SSE2 1
#else
#define ORV_CONVERT_SSE2 0
#endif

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

#if ORV_CONVERT_SSE2
void convert_mono_sse2(const float* in, float scale, int16_t* out,
                       uint32_t count);
void convert_interleaved_sse2(const float* left, const float* right,
                              float scale, int16_t* out, uint32_t frames);
#endif

// The variant the decoder uses: SSE2 where available (part of the x86-64
// baseline, so no run-time check), otherwise the portable code.
inline void convert_mono(const float* in, float scale, int16_t* out,
                         uint32_t count) {
#if ORV_CONVERT_SSE2
  convert_mono_sse2(in, scale, out, count);
#else
  convert_mono_portable(in, scale, out, count);
#endif
}

inline void convert_interleaved(const float* left, const float* right,
                                float scale, int16_t* out, uint32_t frames) {
#if ORV_CONVERT_SSE2
  convert_interleaved_sse2(left, right, scale, out, frames);
#else
  convert_interleaved_portable(left, right, scale, out, frames);
#endif
}

}  // namespace orv::vlkdec

#endif
