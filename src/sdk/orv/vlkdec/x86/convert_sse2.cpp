// SSE2 float to 16-bit conversion, bit-identical to the portable code.
#include <emmintrin.h>

#include "kernels/convert.h"
#include "x86/x86.h"

namespace orv::vlkdec {
namespace {

// Four samples to 32-bit integers. The packed conversion rounds under the
// current mode and yields 0x80000000 for NaN and for anything outside the
// 32-bit range; flipping every bit of the lanes at or above +2^31 turns
// that into 0x7FFFFFFF, so a huge positive value saturates upwards. NaN
// compares false and stays at the negative rail.
inline __m128i to_int32(__m128 x, __m128 scale) {
  const __m128 product = _mm_mul_ps(x, scale);
  const __m128i whole = _mm_cvtps_epi32(product);
  const __m128 too_big = _mm_cmpge_ps(product, _mm_set1_ps(2147483648.0f));
  return _mm_xor_si128(whole, _mm_castps_si128(too_big));
}

inline __m128i eight_samples(const float* in, __m128 scale) {
  return _mm_packs_epi32(to_int32(_mm_loadu_ps(in), scale),
                         to_int32(_mm_loadu_ps(in + 4), scale));
}

}  // namespace

void convert_mono_sse2(const float* in, float scale, int16_t* out,
                       uint32_t count) {
  const __m128 factor = _mm_set1_ps(scale);
  for (uint32_t i = 0; i < count; i += 8) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     eight_samples(in + i, factor));
  }
}

void convert_interleaved_sse2(const float* left, const float* right,
                              float scale, int16_t* out, uint32_t frames) {
  const __m128 factor = _mm_set1_ps(scale);
  for (uint32_t i = 0; i < frames; i += 8) {
    const __m128i l = eight_samples(left + i, factor);
    const __m128i r = eight_samples(right + i, factor);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i),
                     _mm_unpacklo_epi16(l, r));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 8),
                     _mm_unpackhi_epi16(l, r));
  }
}

}  // namespace orv::vlkdec
