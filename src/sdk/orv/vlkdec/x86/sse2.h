// 128-bit vectors of four floats, or two complex values as (re, im) pairs,
// for the SSE2 variants of the transforms. Each lane sees the scalar code's
// operations in its order; x - y may be computed as x + (-y), which IEEE
// arithmetic defines to be the same, and a negation only flips the sign
// bit.
#ifndef ORV_VLKDEC_X86_SSE2_H
#define ORV_VLKDEC_X86_SSE2_H

#include <emmintrin.h>

#include <cstdint>

namespace orv::vlkdec {
namespace {

using Vec = __m128;

inline Vec load(const float* p) { return _mm_loadu_ps(p); }
inline void store(float* p, Vec v) { _mm_storeu_ps(p, v); }
// (re, im) -> (im, re) in both pairs.
inline Vec swap_pairs(Vec x) {
  return _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));
}
// The two pairs exchanged.
inline Vec swap_halves(Vec x) {
  return _mm_shuffle_ps(x, x, _MM_SHUFFLE(1, 0, 3, 2));
}
// The four floats in reverse order.
inline Vec reverse(Vec x) {
  return _mm_shuffle_ps(x, x, _MM_SHUFFLE(0, 1, 2, 3));
}
// Sign masks of the real and of the imaginary parts.
inline Vec sign_real() {
  return _mm_castsi128_ps(_mm_set_epi32(0, INT32_MIN, 0, INT32_MIN));
}
inline Vec sign_imag() {
  return _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, INT32_MIN, 0));
}
inline Vec negate(Vec x) { return _mm_xor_ps(x, _mm_set1_ps(-0.0f)); }

// (wr * zr - wi * zi, wr * zi + wi * zr) per complex lane.
inline Vec multiply(Vec w, Vec z) {
  const Vec wr = _mm_shuffle_ps(w, w, _MM_SHUFFLE(2, 2, 0, 0));
  const Vec wi = _mm_shuffle_ps(w, w, _MM_SHUFFLE(3, 3, 1, 1));
  const Vec a = _mm_mul_ps(wr, z);
  const Vec b = _mm_mul_ps(wi, swap_pairs(z));
  return _mm_add_ps(a, _mm_xor_ps(b, sign_real()));
}

}  // namespace
}  // namespace orv::vlkdec

#endif
