// The x86-64 variants. SSE2 is part of the baseline, so every x86-64
// processor has it; the AVX2 and BMI2 variants, each built in a file of its
// own with only that instruction set enabled (never FMA: fused multiply-adds
// would change the bits), may run only where the processor has them. Every
// variant has the contract of the portable function it stands in for
// (dsp/dsp.h, which picks them per feature word).
#ifndef ORV_VLKDEC_X86_X86_H
#define ORV_VLKDEC_X86_X86_H

#include <cstdint>

namespace orv::vlkdec {

struct ChannelLayout;
struct RunState;

// What this processor and its operating system allow.
struct X86Features {
  bool sse2;
  bool avx2;  // with the YMM registers saved by the system
  bool bmi2;  // with BMI1
};
X86Features probe_x86_features();

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

}  // namespace orv::vlkdec

#endif
