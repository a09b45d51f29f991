// The tables of dsp.h: the portable functions, overridden per architecture
// by the variants each feature word allows.
#include "dsp/dsp.h"

#include "dsp/arch.h"
#include "dsp/cpu_features.h"
#include "kernels/convert.h"
#include "kernels/runs.h"
#include "transform/dct.h"
#include "transform/fft.h"
#if ORV_ARCH_X86
#include "x86/x86.h"
#elif ORV_ARCH_WASM_SIMD
#include "wasm/wasm.h"
#endif

namespace orv::vlkdec {
namespace {

constexpr Dsp portable{
    complex_fft_forward_portable, inverse_dct_portable,
    convert_mono_portable,        convert_interleaved_portable,
    crossfade_overlap_portable,   read_runs_portable,
};

#if ORV_ARCH_X86
// Each feature replaces what the features before it chose.
constexpr void override_for_x86(Dsp& table, uint32_t features) {
  if ((features & cpu_sse2) != 0) {
    table.complex_fft_forward = complex_fft_forward_sse2;
    table.inverse_dct = inverse_dct_sse2;
    table.convert_mono = convert_mono_sse2;
    table.convert_interleaved = convert_interleaved_sse2;
    table.read_runs = read_runs_sse2;
  }
  if ((features & cpu_avx2) != 0) {
    table.complex_fft_forward = complex_fft_forward_avx2;
    table.inverse_dct = inverse_dct_avx2;
    table.convert_mono = convert_mono_avx2;
    table.convert_interleaved = convert_interleaved_avx2;
    table.crossfade = crossfade_overlap_avx2;
  }
  if ((features & cpu_bmi2) != 0) table.read_runs = read_runs_bmi2;
}
#elif ORV_ARCH_WASM_SIMD
constexpr void override_for_wasm(Dsp& table, uint32_t features) {
  if ((features & cpu_wasm_simd128) != 0) {
    table.convert_mono = convert_mono_simd128;
    table.convert_interleaved = convert_interleaved_simd128;
  }
}
#endif

constexpr Dsp for_features(uint32_t features) {
  Dsp table = portable;
#if ORV_ARCH_X86
  override_for_x86(table, features);
#elif ORV_ARCH_WASM_SIMD
  override_for_wasm(table, features);
#else
  (void)features;
#endif
  return table;
}

}  // namespace

// Worked out by the compiler: a constant in the binary, read-only once
// loaded.
constexpr Dsp dsp_tables[cpu_feature_mask + 1] = {
    for_features(0),  for_features(1),  for_features(2),  for_features(3),
    for_features(4),  for_features(5),  for_features(6),  for_features(7),
    for_features(8),  for_features(9),  for_features(10), for_features(11),
    for_features(12), for_features(13), for_features(14), for_features(15),
};
static_assert(cpu_feature_mask == 15, "one table per feature word");

const Dsp& dsp_for_features(uint32_t features) {
  return dsp_tables[features & cpu_feature_mask];
}

const Dsp& portable_dsp() { return portable; }

}  // namespace orv::vlkdec
