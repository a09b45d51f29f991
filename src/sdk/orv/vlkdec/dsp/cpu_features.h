// Processor features that select the faster variants (dsp.h). Every variant
// gives the same bits as the portable code; the features only choose which
// one runs.
#ifndef ORV_VLKDEC_DSP_CPU_FEATURES_H
#define ORV_VLKDEC_DSP_CPU_FEATURES_H

#include <cstdint>

namespace orv::vlkdec {

enum CpuFeature : uint32_t {
  cpu_avx2 = 1u << 0,  // AVX2 with the operating system saving YMM state
  cpu_bmi2 = 1u << 1,  // BMI2, with BMI1
  cpu_sse2 = 1u << 2,  // SSE2: every x86-64 processor
  // WebAssembly 128-bit SIMD: every engine that loads a module built with it
  cpu_wasm_simd128 = 1u << 3,
};
// Every bit cpu_features() can report; feature words run from 0 to this.
// Word 0 selects the portable code on every processor.
constexpr uint32_t cpu_feature_mask =
    cpu_avx2 | cpu_bmi2 | cpu_sse2 | cpu_wasm_simd128;

// The features of the processor, as a set of CpuFeature bits. The first
// call asks the processor; later calls read the cached answer (a relaxed
// atomic word, constant-initialised: no constructor, no lock). Builds with
// ORV_DISABLE_SIMD, and targets other than x86-64 and WebAssembly with
// SIMD, report none.
uint32_t cpu_features();

// For tests and benchmarks: restricts what cpu_features() reports to
// `mask` & the processor's own features, so that every variant can be run
// on one machine. Not for use while other threads decode.
void restrict_cpu_features(uint32_t mask);

}  // namespace orv::vlkdec

#endif
