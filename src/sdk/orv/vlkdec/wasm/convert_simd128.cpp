// WebAssembly SIMD float to 16-bit conversion, bit-identical to the
// portable code.
#include <wasm_simd128.h>

#include <cstdint>

#include "kernels/convert.h"
#include "wasm/wasm.h"

namespace orv::vlkdec {
namespace {

// Four samples to 32-bit integers. `nearest` rounds half to even, as
// nearbyint does in the default mode the decoder never changes; the
// saturating conversion takes anything beyond the 32-bit range to the rail
// of its own sign, and NaN, which it makes 0, is sent to the negative rail.
inline v128_t to_int32(v128_t x, v128_t scale) {
  const v128_t product = wasm_f32x4_mul(x, scale);
  const v128_t whole = wasm_i32x4_trunc_sat_f32x4(wasm_f32x4_nearest(product));
  const v128_t nan = wasm_f32x4_ne(product, product);
  return wasm_v128_bitselect(wasm_i32x4_splat(INT32_MIN), whole, nan);
}

// Eight samples, each 32-bit value saturated to 16 bits.
inline v128_t eight_samples(const float* in, v128_t scale) {
  return wasm_i16x8_narrow_i32x4(to_int32(wasm_v128_load(in), scale),
                                 to_int32(wasm_v128_load(in + 4), scale));
}

}  // namespace

void convert_mono_simd128(const float* in, float scale, int16_t* out,
                          uint32_t count) {
  const v128_t factor = wasm_f32x4_splat(scale);
  for (uint32_t i = 0; i < count; i += 8) {
    wasm_v128_store(out + i, eight_samples(in + i, factor));
  }
}

void convert_interleaved_simd128(const float* left, const float* right,
                                 float scale, int16_t* out, uint32_t frames) {
  const v128_t factor = wasm_f32x4_splat(scale);
  for (uint32_t i = 0; i < frames; i += 8) {
    const v128_t l = eight_samples(left + i, factor);
    const v128_t r = eight_samples(right + i, factor);
    wasm_v128_store(out + 2 * i,
                    wasm_i16x8_shuffle(l, r, 0, 8, 1, 9, 2, 10, 3, 11));
    wasm_v128_store(out + 2 * i + 8,
                    wasm_i16x8_shuffle(l, r, 4, 12, 5, 13, 6, 14, 7, 15));
  }
}

}  // namespace orv::vlkdec
