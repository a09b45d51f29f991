// The x86-64 variants and which feature word selects each. SSE2 is part of
// the baseline, so every x86-64 processor reports it; the AVX2 and BMI2
// variants, each built in a file of its own with only that instruction set
// enabled (never FMA: fused multiply-adds would change the bits), run only
// where the processor has them. Every variant has the contract of the slot
// it fills (dsp.h); any feature word gives a table of working functions.
#ifndef ORV_VLKDEC_X86_X86_H
#define ORV_VLKDEC_X86_X86_H

#include "dsp/arch.h"

#if ORV_ARCH_X86

#include <cstdint>

#include "dsp/cpu_features.h"
#include "dsp/dsp.h"

namespace orv::vlkdec {

// The features of this processor, as cpu_features() reports them.
uint32_t probe_x86_features();

void complex_fft_forward_sse2(int n, float* a, int nw, const float* w);
void complex_fft_forward_avx2(int n, float* a, int nw, const float* w);
void inverse_dct_sse2(int n, float* a, int table_length, const float* table);
void inverse_dct_avx2(int n, float* a, int table_length, const float* table);

void convert_mono_sse2(const float* in, float scale, int16_t* out,
                       uint32_t count);
void convert_mono_avx2(const float* in, float scale, int16_t* out,
                       uint32_t count);
void convert_interleaved_sse2(const float* left, const float* right,
                              float scale, int16_t* out, uint32_t frames);
void convert_interleaved_avx2(const float* left, const float* right,
                              float scale, int16_t* out, uint32_t frames);
void crossfade_overlap_avx2(int16_t* out, const int16_t* tail, uint32_t samples,
                            uint32_t shift);

void read_runs_sse2(const ChannelLayout& channel, RunState& r,
                    const uint8_t* base, uint64_t& pos, uint64_t safe,
                    float* scratch);
void read_runs_bmi2(const ChannelLayout& channel, RunState& r,
                    const uint8_t* base, uint64_t& pos, uint64_t safe,
                    float* scratch);

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

}  // namespace orv::vlkdec

#endif

#endif
