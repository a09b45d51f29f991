// Variants of the transforms for processors with AVX2, in their own
// translation unit (the only one built with -mavx2). They give the same
// bits as the portable code; callers choose them only when cpu_features()
// reports cpu_avx2. Built only where simd.h defines ORV_TRANSFORM_AVX2.
#ifndef ORV_VLKDEC_TRANSFORM_TRANSFORM_AVX2_H
#define ORV_VLKDEC_TRANSFORM_TRANSFORM_AVX2_H

namespace orv::vlkdec {

// complex_fft_forward and inverse_dct, same contracts.
void complex_fft_forward_avx2(int n, float* a, int nw, const float* w);
void inverse_dct_avx2(int n, float* a, int table_length, const float* table);

}  // namespace orv::vlkdec

#endif
