// Float to 16-bit sample conversion, eight samples per step.
#ifndef ORV_VLKDEC_DECODER_CONVERT_H
#define ORV_VLKDEC_DECODER_CONVERT_H

#include <cstdint>

#if (defined(__x86_64__) || defined(_M_X64)) && !defined(ORV_DISABLE_SIMD)
#define ORV_CONVERT_SSE2 1
#else
#define ORV_CONVERT_SSE2 0
#endif

// The AVX2 variants exist where the build compiles convert_avx2.cpp with
// -mavx2 (ORV_DECODER_HAVE_AVX2); they run only on processors that report
// AVX2.
#if ORV_CONVERT_SSE2 && defined(ORV_DECODER_HAVE_AVX2)
#define ORV_CONVERT_AVX2 1
#include "transform/cpu_features.h"
#else
#define ORV_CONVERT_AVX2 0
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

#if ORV_CONVERT_AVX2
void convert_mono_avx2(const float* in, float scale, int16_t* out,
                       uint32_t count);
void convert_interleaved_avx2(const float* left, const float* right,
                              float scale, int16_t* out, uint32_t frames);
// crossfade_overlap for fewer than 2^15 samples.
void crossfade_overlap_avx2(int16_t* out, const int16_t* tail, uint32_t samples,
                            uint32_t shift);
#endif

// The variant the decoder uses: AVX2 where the processor has it, else SSE2
// where available (part of the x86-64 baseline, so no run-time check),
// otherwise the portable code.
inline void convert_mono(const float* in, float scale, int16_t* out,
                         uint32_t count) {
#if ORV_CONVERT_AVX2
  if ((cpu_features() & cpu_avx2) != 0) {
    convert_mono_avx2(in, scale, out, count);
    return;
  }
#endif
#if ORV_CONVERT_SSE2
  convert_mono_sse2(in, scale, out, count);
#else
  convert_mono_portable(in, scale, out, count);
#endif
}

inline void convert_interleaved(const float* left, const float* right,
                                float scale, int16_t* out, uint32_t frames) {
#if ORV_CONVERT_AVX2
  if ((cpu_features() & cpu_avx2) != 0) {
    convert_interleaved_avx2(left, right, scale, out, frames);
    return;
  }
#endif
#if ORV_CONVERT_SSE2
  convert_interleaved_sse2(left, right, scale, out, frames);
#else
  convert_interleaved_portable(left, right, scale, out, frames);
#endif
}

}  // namespace orv::vlkdec

#endif
