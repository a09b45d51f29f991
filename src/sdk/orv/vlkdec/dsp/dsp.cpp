// The tables of dsp.h: the portable functions, overridden per architecture
// by the variants each feature word allows.
#include "dsp/dsp.h"

#include "decoder/coefficients_parts.h"
#include "decoder/convert.h"
#include "dsp/arch.h"
#include "dsp/cpu_features.h"
#include "transform/dct.h"
#include "transform/fft.h"
#include "x86/x86.h"

namespace orv::vlkdec {
namespace {

constexpr Dsp portable{
    complex_fft_forward_portable, inverse_dct_portable,
    convert_mono_portable,        convert_interleaved_portable,
    crossfade_overlap_portable,   read_runs_portable,
};

constexpr Dsp for_features(uint32_t features) {
  Dsp table = portable;
#if ORV_ARCH_X86
  override_for_x86(table, features);
#else
  (void)features;
#endif
  return table;
}

struct Tables {
  Dsp by_features[cpu_feature_mask + 1];
  constexpr Tables() : by_features{} {
    for (uint32_t f = 0; f <= cpu_feature_mask; ++f) {
      by_features[f] = for_features(f);
    }
  }
};
constexpr Tables tables;

}  // namespace

const Dsp& dsp() { return tables.by_features[cpu_features()]; }

const Dsp& dsp_for_features(uint32_t features) {
  return tables.by_features[features & cpu_feature_mask];
}

const Dsp& portable_dsp() { return portable; }

void complex_fft_forward(int n, float* a, int nw, const float* w) {
  dsp().complex_fft_forward(n, a, nw, w);
}

void inverse_dct(int n, float* a, int table_length, const float* table) {
  dsp().inverse_dct(n, a, table_length, table);
}

}  // namespace orv::vlkdec
