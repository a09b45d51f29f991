// Internal stages of the split-radix complex FFT, exposed for the tests.
//
// A block of l floats holds l / 2 complex values. While the transform runs,
// every block still owes one of two transforms, delivered in bit-reversed
// order: type a, the plain DFT with exp(+2 pi i j k / P) over its P values,
// or type b, the same DFT of x[j] * exp(i pi j / P). A split-radix stage cuts
// a block into four quarters which then owe types a, b, a, a (type-a block)
// or a, b, a, b (type-b block). Each stage takes one level of the twiddle
// table, chosen as w + nw - (multiple of its block length).
#ifndef ORV_VLKDEC_TRANSFORM_FFT_STAGES_H
#define ORV_VLKDEC_TRANSFORM_FFT_STAGES_H

namespace orv::vlkdec {

// Split-radix stage over a whole array of n floats; level = w + nw - n / 4.
// Every other twiddle is interpolated from its neighbours.
void first_split_stage(int n, float* a, const float* level);
// Complete a type-a / type-b block of 256 or 512 floats: its stage (on
// the level w + nw - l / 2 for type a, w + nw - l for type b), then its
// quarters' stages and leaves.
void quarter_recursion_a(int l, float* block, int nw, const float* w);
void quarter_recursion_b(int l, float* block, int nw, const float* w);

// Unrolled leaves, bit-reversed output: 16 points (32 floats) and 8 points
// (16 floats).
void kernel16_a(float* block, const float* level);
void kernel16_b(float* block, const float* level);
void kernel8_a(float* block, const float* level);
void kernel8_b(float* block, const float* level);
// 4-point DFT with exp(+), natural order (8 floats).
void kernel4_forward(float* a);

// Exchanges value k and value bitrev(k) for the n / 2 complex values.
void bit_reverse(int n, float* a);
// The same permutation for 16 values (32 floats).
void bit_reverse16(float* a);

}  // namespace orv::vlkdec

#endif
