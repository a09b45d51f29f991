// 256-bit vectors of eight floats, or four complex values as (re, im)
// pairs, for the AVX2 variants of the transforms (fft_avx2.cpp,
// dct_avx2.cpp).
//
// Same rule as the SSE2 variants: every element sees the scalar code's
// single-precision operations in the scalar code's order, so the bits are
// those of the portable code. x - y may be written x + (-y), which IEEE
// arithmetic defines to be the same; a negation only flips the sign bit;
// x + y may be written y + x (only which of two NaNs comes out can differ,
// which no path fixes). Nothing is reassociated and nothing is fused (the
// files are built with -mavx2 alone, and -ffp-contract=off like the rest of
// the transforms). The pairs' real parts are subtracted and their imaginary
// parts added with addsub wherever the scalar code has that pattern: the
// vector code is bound by the number of operations it issues far more than
// by memory.
//
// Everything here has internal linkage, so that no code compiled with AVX2
// can be picked by the linker for a caller on a processor without it.
#ifndef ORV_VLKDEC_X86_AVX2_H
#define ORV_VLKDEC_X86_AVX2_H

#include <immintrin.h>

#include <cstdint>

#if defined(__GNUC__)
#define ORV_AVX2_INLINE inline __attribute__((always_inline))
#else
#define ORV_AVX2_INLINE inline
#endif

namespace orv::vlkdec {
namespace {

using V8 = __m256;

ORV_AVX2_INLINE V8 load8(const float* p) { return _mm256_loadu_ps(p); }
ORV_AVX2_INLINE void store8(float* p, V8 v) { _mm256_storeu_ps(p, v); }
ORV_AVX2_INLINE V8 add(V8 x, V8 y) { return _mm256_add_ps(x, y); }
ORV_AVX2_INLINE V8 sub(V8 x, V8 y) { return _mm256_sub_ps(x, y); }
ORV_AVX2_INLINE V8 mul(V8 x, V8 y) { return _mm256_mul_ps(x, y); }
ORV_AVX2_INLINE V8 flip(V8 x, V8 signs) { return _mm256_xor_ps(x, signs); }

// The sign mask of the imaginary part of a (re, im) pair, repeated.
ORV_AVX2_INLINE V8 sign_imag() {
  return _mm256_castsi256_ps(_mm256_setr_epi32(0, INT32_MIN, 0, INT32_MIN, 0,
                                               INT32_MIN, 0, INT32_MIN));
}
ORV_AVX2_INLINE V8 negate(V8 x) { return flip(x, _mm256_set1_ps(-0.0f)); }
// Even floats x - y, odd floats x + y: per (re, im) pair, the real parts
// subtracted and the imaginary parts added, in one operation.
ORV_AVX2_INLINE V8 sub_add(V8 x, V8 y) { return _mm256_addsub_ps(x, y); }

// (re, im) -> (im, re) in every pair.
ORV_AVX2_INLINE V8 swap_pairs(V8 x) {
  return _mm256_permute_ps(x, _MM_SHUFFLE(2, 3, 0, 1));
}
// All eight floats in reverse order: the complex values reversed, each
// with its parts swapped.
ORV_AVX2_INLINE V8 reverse8(V8 x) {
  return _mm256_permutevar8x32_ps(x, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0));
}
// The four complex values (64-bit units) in reverse order.
ORV_AVX2_INLINE V8 reverse_values(V8 x) {
  return _mm256_castpd_ps(
      _mm256_permute4x64_pd(_mm256_castps_pd(x), _MM_SHUFFLE(0, 1, 2, 3)));
}
// 64-bit units: (x0, y0 | x2, y2) and (x1, y1 | x3, y3).
ORV_AVX2_INLINE V8 low_units(V8 x, V8 y) {
  return _mm256_castpd_ps(
      _mm256_unpacklo_pd(_mm256_castps_pd(x), _mm256_castps_pd(y)));
}
ORV_AVX2_INLINE V8 high_units(V8 x, V8 y) {
  return _mm256_castpd_ps(
      _mm256_unpackhi_pd(_mm256_castps_pd(x), _mm256_castps_pd(y)));
}
// Lane 0 (floats 0 and 1) from `first`, the rest from `rest`.
ORV_AVX2_INLINE V8 with_first(V8 rest, V8 first) {
  return _mm256_blend_ps(rest, first, 0x03);
}

// (wr * zr - wi * zi, wr * zi + wi * zr) per complex lane.
ORV_AVX2_INLINE V8 multiply(V8 w, V8 z) {
  return sub_add(mul(_mm256_moveldup_ps(w), z),
                 mul(_mm256_movehdup_ps(w), swap_pairs(z)));
}

}  // namespace
}  // namespace orv::vlkdec

#endif
