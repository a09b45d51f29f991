// AVX2 float to 16-bit conversion and crossfade, bit-identical to the
// portable code. Built with -mavx2 alone and run only where the processor
// reports AVX2.
#include <immintrin.h>

#include "kernels/convert.h"
#include "x86/x86.h"

namespace orv::vlkdec {
namespace {

// Eight samples to 32-bit integers: the packed conversion rounds under the
// current mode and yields 0x80000000 for NaN and for anything outside the
// 32-bit range; flipping every bit of the lanes at or above +2^31 turns
// that into 0x7FFFFFFF. NaN compares false (ordered compare) and stays at
// the negative rail.
inline __m256i to_int32(const float* in, __m256 scale) {
  const __m256 product = _mm256_mul_ps(_mm256_loadu_ps(in), scale);
  const __m256i whole = _mm256_cvtps_epi32(product);
  const __m256 too_big =
      _mm256_cmp_ps(product, _mm256_set1_ps(2147483648.0f), _CMP_GE_OQ);
  return _mm256_xor_si256(whole, _mm256_castps_si256(too_big));
}

}  // namespace

void convert_mono_avx2(const float* in, float scale, int16_t* out,
                       uint32_t count) {
  const __m256 factor = _mm256_set1_ps(scale);
  uint32_t i = 0;
  for (; i + 16 <= count; i += 16) {
    // The pack saturates to 16 bits within each 128-bit half, giving
    // samples 0-3, 8-11, 4-7, 12-15; the permutation restores the order.
    const __m256i packed = _mm256_packs_epi32(to_int32(in + i, factor),
                                              to_int32(in + i + 8, factor));
    _mm256_storeu_si256(
        reinterpret_cast<__m256i*>(out + i),
        _mm256_permute4x64_epi64(packed, _MM_SHUFFLE(3, 1, 2, 0)));
  }
  if (i < count) {
    const __m256i whole = to_int32(in + i, factor);
    const __m128i packed = _mm_packs_epi32(_mm256_castsi256_si128(whole),
                                           _mm256_extracti128_si256(whole, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
  }
}

void convert_interleaved_avx2(const float* left, const float* right,
                              float scale, int16_t* out, uint32_t frames) {
  const __m256 factor = _mm256_set1_ps(scale);
  // Within each half: left 0-3 then right 0-3 as 16-bit words, taken
  // alternately.
  const __m256i alternate =
      _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,  //
                       0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  for (uint32_t i = 0; i < frames; i += 8) {
    // Halves: (left 0-3, right 0-3) and (left 4-7, right 4-7).
    const __m256i packed = _mm256_packs_epi32(to_int32(left + i, factor),
                                              to_int32(right + i, factor));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i),
                        _mm256_shuffle_epi8(packed, alternate));
  }
}

// The crossfade eight samples at a time. With at most 2^15 samples the
// product of a difference (|d| <= 65535) and its index fits 32 bits; the
// arithmetic shift, the addition of the tail and the saturating pack are
// the portable code's operations. Longer runs, which the decoder never
// makes, go to the portable code.
void crossfade_overlap_avx2(int16_t* out, const int16_t* tail, uint32_t samples,
                            uint32_t shift) {
  if (samples > 32768) {
    crossfade_overlap_portable(out, tail, samples, shift);
    return;
  }
  const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
  __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i eight = _mm256_set1_epi32(8);
  uint32_t k = 0;
  for (; k + 8 <= samples; k += 8) {
    const __m256i now = _mm256_cvtepi16_epi32(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(out + k)));
    const __m256i before = _mm256_cvtepi16_epi32(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(tail + k)));
    const __m256i product =
        _mm256_mullo_epi32(_mm256_sub_epi32(now, before), index);
    const __m256i blended =
        _mm256_add_epi32(before, _mm256_sra_epi32(product, count));
    const __m128i packed = _mm_packs_epi32(
        _mm256_castsi256_si128(blended), _mm256_extracti128_si256(blended, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), packed);
    index = _mm256_add_epi32(index, eight);
  }
  for (; k < samples; ++k) {
    const int32_t difference = int32_t{out[k]} - int32_t{tail[k]};
    const int32_t blended =
        int32_t{tail[k]} + ((difference * static_cast<int32_t>(k)) >> shift);
    out[k] = static_cast<int16_t>(blended > 32767    ? 32767
                                  : blended < -32768 ? -32768
                                                     : blended);
  }
}

}  // namespace orv::vlkdec
