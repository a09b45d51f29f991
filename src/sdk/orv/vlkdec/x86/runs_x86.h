// The run reader's operations on x86-64, for the translation units that
// build the reader (kernels/runs_loop.h) for this processor. Internal
// linkage throughout, as there.
#ifndef ORV_VLKDEC_X86_RUNS_X86_H
#define ORV_VLKDEC_X86_RUNS_X86_H

#include <emmintrin.h>

#include <cstdint>

#include "kernels/runs_loop.h"

namespace orv::vlkdec {
namespace {

// The fields dequantised four at a time: cvtdq2ps and mulps round exactly
// as their scalar forms, and the sign is applied by flipping the sign bit,
// as dequantise_one does.
struct Sse2Dequantiser {
  __m128 steps;
  __m128i mask;
  __m128i shift;
  float step;
  uint32_t width;

  void set_step(float s) {
    step = s;
    steps = _mm_set1_ps(s);
  }

  void set_width(uint32_t w) {
    width = w;
    mask = _mm_set1_epi32(static_cast<int>((1u << w) - 1));
    shift = _mm_cvtsi32_si128(static_cast<int>(w));
  }

  void run(float* at, uint32_t count) const {
    uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
      auto* lane = reinterpret_cast<__m128i*>(at + i);
      const __m128i field = _mm_loadu_si128(lane);
      const __m128i magnitude = _mm_and_si128(field, mask);
      const __m128i sign = _mm_slli_epi32(_mm_srl_epi32(field, shift), 31);
      const __m128i zero = _mm_cmpeq_epi32(magnitude, _mm_setzero_si128());
      const __m128 value = _mm_mul_ps(_mm_cvtepi32_ps(magnitude), steps);
      _mm_storeu_si128(lane, _mm_xor_si128(_mm_castps_si128(value),
                                           _mm_andnot_si128(zero, sign)));
    }
    for (; i < count; ++i) dequantise_one(at + i, width, step);
  }
};

// Every x86-64 processor: without BMI1, clearing the lowest set bit takes
// two instructions, no fewer than the test and conditional move of the
// general path, so runs of width 1 take that path.
struct X86RunOps {
  static constexpr bool width1_by_lowest_bit = false;
  // A test and a conditional move: compilers turn the plain form into a
  // branch, which random zero magnitudes mispredict about half the time,
  // and the test needs no masked copy, so a coefficient adds only two steps
  // to the chain through the cache.
  static uint64_t select(uint64_t bits, uint64_t mask, uint64_t if_nonzero,
                         uint64_t if_zero) {
    __asm__("test %1, %2\n\tcmovnz %3, %0"
            : "+r"(if_zero)
            : "r"(bits), "r"(mask), "r"(if_nonzero)
            : "cc");
    return if_zero;
  }
  using Dequantiser = Sse2Dequantiser;
};

}  // namespace
}  // namespace orv::vlkdec

#endif
