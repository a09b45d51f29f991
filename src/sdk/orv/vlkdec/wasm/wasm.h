// The WebAssembly variants. A module built with 128-bit SIMD only loads
// where the engine has it, so such a build always reports the feature
// (dsp/cpu_features.cpp); every variant has the contract of the portable
// function it stands in for (dsp/dsp.h, which picks them per feature word)
// and the portable code's bits.
#ifndef ORV_VLKDEC_WASM_WASM_H
#define ORV_VLKDEC_WASM_WASM_H

#include <cstdint>

namespace orv::vlkdec {

void convert_mono_simd128(const float* in, float scale, int16_t* out,
                          uint32_t count);
void convert_interleaved_simd128(const float* left, const float* right,
                                 float scale, int16_t* out, uint32_t frames);

}  // namespace orv::vlkdec

#endif
