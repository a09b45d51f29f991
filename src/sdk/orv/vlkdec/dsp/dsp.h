// The table of the kernels that have processor-specific variants: one
// record of function pointers per feature word, each slot holding the
// portable function unless this processor has a faster one with the same
// bits. Callers fetch the table once per transform, block or channel, never
// inside an inner loop.
//
// The tables are constants, worked out by the compiler from the portable
// functions and the per-architecture overrides (dsp.cpp): no constructor,
// no lock, nothing written at run time. The one run-time input is the
// cached feature word (cpu_features.h).
#ifndef ORV_VLKDEC_DSP_DSP_H
#define ORV_VLKDEC_DSP_DSP_H

#include <cstdint>

#include "dsp/cpu_features.h"

namespace orv::vlkdec {

struct ChannelLayout;
struct RunState;

// Each slot has the contract of the portable function named beside it.
struct Dsp {
  // transform/fft.h: complex_fft_forward_portable.
  void (*complex_fft_forward)(int n, float* a, int nw, const float* w);
  // transform/dct.h: inverse_dct_portable.
  void (*inverse_dct)(int n, float* a, int table_length, const float* table);
  // kernels/convert.h: float to 16 bits, one channel and two interleaved.
  void (*convert_mono)(const float* in, float scale, int16_t* out,
                       uint32_t count);
  void (*convert_interleaved)(const float* left, const float* right,
                              float scale, int16_t* out, uint32_t frames);
  // kernels/convert.h: the crossfade of `samples` samples.
  void (*crossfade)(int16_t* out, const int16_t* tail, uint32_t samples,
                    uint32_t shift);
  // kernels/runs.h: the unchecked run reader.
  void (*read_runs)(const ChannelLayout& channel, RunState& r,
                    const uint8_t* base, uint64_t& pos, uint64_t safe,
                    float* scratch);
};

// One table per feature word (dsp.cpp).
extern const Dsp dsp_tables[cpu_feature_mask + 1];

// The table for this processor (cpu_features()).
inline const Dsp& dsp() { return dsp_tables[cpu_features()]; }

// For tests and benchmarks: the table for any feature word (bits beyond
// cpu_feature_mask are ignored), and the portable functions alone. A slot
// may be called only where the processor has the features of the word.
const Dsp& dsp_for_features(uint32_t features);
const Dsp& portable_dsp();

// The kernels' variants for this processor, by name.
inline void complex_fft_forward(int n, float* a, int nw, const float* w) {
  dsp().complex_fft_forward(n, a, nw, w);
}
inline void inverse_dct(int n, float* a, int table_length, const float* table) {
  dsp().inverse_dct(n, a, table_length, table);
}
inline void convert_mono(const float* in, float scale, int16_t* out,
                         uint32_t count) {
  dsp().convert_mono(in, scale, out, count);
}
inline void convert_interleaved(const float* left, const float* right,
                                float scale, int16_t* out, uint32_t frames) {
  dsp().convert_interleaved(left, right, scale, out, frames);
}

}  // namespace orv::vlkdec

#endif
