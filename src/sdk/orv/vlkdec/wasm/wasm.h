// The WebAssembly variants and the feature word that selects them. A
// module built with 128-bit SIMD only loads where the engine has it, so
// such a build always reports the feature; every variant has the contract
// of the slot it fills (dsp.h) and the portable code's bits.
#ifndef ORV_VLKDEC_WASM_WASM_H
#define ORV_VLKDEC_WASM_WASM_H

#include "dsp/arch.h"

#if ORV_ARCH_WASM_SIMD

#include <cstdint>

#include "dsp/cpu_features.h"
#include "dsp/dsp.h"

namespace orv::vlkdec {

void convert_mono_simd128(const float* in, float scale, int16_t* out,
                          uint32_t count);
void convert_interleaved_simd128(const float* left, const float* right,
                                 float scale, int16_t* out, uint32_t frames);

constexpr void override_for_wasm(Dsp& table, uint32_t features) {
  if ((features & cpu_wasm_simd128) != 0) {
    table.convert_mono = convert_mono_simd128;
    table.convert_interleaved = convert_interleaved_simd128;
  }
}

}  // namespace orv::vlkdec

#endif

#endif
