// The walk of the split-radix FFT over its stages and leaves, shared by
// the portable code and every variant: which block takes which stage, in
// what order, with which level of the twiddle table, which kernels finish
// its quarters, and the bit reversal at the end. Results do not depend on
// the order in which independent blocks are visited, only on each block's
// arithmetic.
//
// `steps` does the work (a variant may keep what it works out once per
// transform in it):
//   first_stage(n, a, level): the stage over the whole array;
//   middle_stage_a(l, block, level), middle_stage_b(l, block, level): the
//     stage of a type-a or type-b block of l floats;
//   leaves(quarters): the leaf kernels of quarters whose stages are done
//     (LeafQuarters);
//   bit_reverse(n, a).
// Arrays of 32 floats or fewer take the scalar kernels in any case.
//
// IndexSteps<Kernels> gives steps that run a stage index by index, with
// the scalar steps of fft_steps.h, or two neighbouring indices at once
// where Kernels says so (Kernels::pairs); Kernels then provides
//   first_stage_pairs(a, j, quarter, q, w1, w1_after, w3, w3_after):
//     indices j and j + 1 of the first stage and their mirrors;
//   middle_stage_a_pairs / middle_stage_b_pairs(block, q, eighth, quarter,
//     level): the indices from 1 on that it runs, returning the first index
//     it left for the scalar steps;
// and always kernel16_a, kernel16_b, kernel8_a, kernel8_b (fft_stages.h).
#ifndef ORV_VLKDEC_TRANSFORM_FFT_WALK_H
#define ORV_VLKDEC_TRANSFORM_FFT_WALK_H

#include "transform/fft_stages.h"
#include "transform/fft_steps.h"

namespace orv::vlkdec {
namespace {

// The levels of the leaf kernels' twiddles: the 16-point kernels of
// quarters of 128 floats take theirs from the levels at nw - 8 (type a) and
// nw - 32 (type b), the 8-point kernels of quarters of 64 floats both from
// the level at nw - 16.
struct LeafLevels {
  const float* a;
  const float* b;
};
inline LeafLevels leaf_levels(int q, int nw, const float* w) {
  if (q == 128) return {w + nw - 8, w + nw - 32};
  return {w + nw - 16, w + nw - 16};
}

// The length of the quarters whose leaves finish an array of n floats
// (n > 32): n / 16 above 512 floats, n / 4 for 256 and 512, n itself for 64
// and 128 (the array after its first stage).
constexpr int leaf_quarter_length(int n) {
  return n > 512 ? n / 16 : n > 128 ? n / 4 : n;
}

// Quarters of q floats (64 or 128) whose stages are done, from `block` on.
// Each owes four leaf kernels on its sub-blocks of q / 4 floats, of types
// a, b, a, a (type-a quarter) or a, b, a, b (type-b quarter). There are
// four, of types a, b, a and a (or b when last_type_b), when they are the
// quarters of a block; or one, of type a, when it is the whole array.
struct LeafQuarters {
  float* block;
  int q;
  int count;
  bool last_type_b;
  LeafLevels levels;

  bool type_b(int quarter) const {
    return quarter == 1 || (quarter == 3 && last_type_b);
  }
};

// The stages of a block of l floats whose own stage is done, of types a,
// b, a, a (or a, b, a, b for a type-b block), then their leaves. Inlined,
// with recursion, into the walk: calls here measured more instructions.
template <class Steps>
ORV_FFT_INLINE void expand(const Steps& steps, int l, float* block, bool type_b,
                           int nw, const float* w) {
  const int q = l >> 2;
  steps.middle_stage_a(q, block, w + nw - q / 2);
  steps.middle_stage_b(q, block + q, w + nw - q);
  steps.middle_stage_a(q, block + 2 * q, w + nw - q / 2);
  if (type_b) {
    steps.middle_stage_b(q, block + 3 * q, w + nw - q);
  } else {
    steps.middle_stage_a(q, block + 3 * q, w + nw - q / 2);
  }
  steps.leaves(LeafQuarters{block, q, 4, type_b, leaf_levels(q, nw, w)});
}

// A type-a or type-b block of 256 or 512 floats: its stage, then expand.
template <class Steps>
ORV_FFT_INLINE void recursion(const Steps& steps, int l, float* block,
                              bool type_b, int nw, const float* w) {
  if (type_b) {
    steps.middle_stage_b(l, block, w + nw - l);
  } else {
    steps.middle_stage_a(l, block, w + nw - l / 2);
  }
  expand(steps, l, block, type_b, nw, w);
}

// The leaves of an array of 64 or 128 floats after its first stage.
template <class Steps>
void array_leaves(const Steps& steps, int n, float* a, int nw, const float* w) {
  steps.leaves(LeafQuarters{a, n, 1, false, leaf_levels(n, nw, w)});
}

template <class Steps>
void walk_fft(const Steps& steps, int n, float* a, int nw, const float* w) {
  if (n > 32) {
    steps.first_stage(n, a, w + nw - n / 4);
    if (n > 512) {
      const int l = n / 4;
      recursion(steps, l, a, false, nw, w);
      recursion(steps, l, a + l, true, nw, w);
      recursion(steps, l, a + 2 * l, false, nw, w);
      recursion(steps, l, a + 3 * l, false, nw, w);
    } else if (n / 4 > 32) {
      expand(steps, n, a, false, nw, w);
    } else {
      array_leaves(steps, n, a, nw, w);
    }
    steps.bit_reverse(n, a);
  } else if (n == 32) {
    kernel16_a(a, w + nw - 8);
    bit_reverse16(a);
  } else if (n == 16) {
    // Reads only cos(pi/4), which every level holds at its second float.
    kernel8_a(a, w);
    swap_values(a, 1, 4);
    swap_values(a, 3, 6);
  } else if (n == 8) {
    kernel4_forward(a);
  } else if (n == 4) {
    const float x0r = a[0], x0i = a[1];
    a[0] = x0r + a[2];
    a[1] = x0i + a[3];
    a[2] = x0r - a[2];
    a[3] = x0i - a[3];
  }
}

// ---------------------------------------------------------------------------
// Stages index by index, or two neighbouring indices at once.

template <class Kernels>
void first_stage_by_indices(int n, float* a, const float* level) {
  const int q = n >> 2;        // quarter length in floats (N/4 values)
  const int eighth = n >> 4;   // N/8
  const int quarter = n >> 3;  // N/4
  const float c4 = level[1];
  const float csc1 = level[2];
  const float csc3 = level[3];

  stage_a_plain(a, 0, q);
  stage_a_eighth(a, 2 * eighth, q, c4);

  // Odd j take the mean of their even neighbours, scaled back to the unit
  // circle by the stored secants; each step finishes j, j + 1 and their
  // mirrors N/4 - j, N/4 - j - 1.
  Factor w1_before{1.0f, 0.0f};
  Factor w3_before{1.0f, 0.0f};
  for (int j = 1; j < eighth; j += 2) {
    Factor w1_after{c4, c4};
    Factor w3_after{-c4, c4};
    const bool even_in_table = j + 1 < eighth;
    if (even_in_table) {
      const int k = 2 * (j + 1);
      w1_after = {level[k], level[k + 1]};
      w3_after = {level[k + 2], level[k + 3]};
    }
    const Factor w1{csc1 * (w1_before.r + w1_after.r),
                    csc1 * (w1_before.i + w1_after.i)};
    const Factor w3{csc3 * (w3_before.r + w3_after.r),
                    csc3 * (w3_before.i + w3_after.i)};
    if constexpr (Kernels::pairs) {
      if (even_in_table) {
        Kernels::first_stage_pairs(a, j, quarter, q, w1, w1_after, w3,
                                   w3_after);
        w1_before = w1_after;
        w3_before = w3_after;
        continue;
      }
    }
    stage_a_twiddled(a, 2 * j, q, w1, w3);
    stage_a_twiddled(a, 2 * (quarter - j), q, mirror1(w1), mirror3(w3));
    if (even_in_table) {
      stage_a_twiddled(a, 2 * (j + 1), q, w1_after, w3_after);
      stage_a_twiddled(a, 2 * (quarter - j - 1), q, mirror1(w1_after),
                       mirror3(w3_after));
    }
    w1_before = w1_after;
    w3_before = w3_after;
  }
}

template <class Kernels>
void middle_stage_a_by_indices(int l, float* block, const float* level) {
  const int q = l >> 2;
  const int eighth = l >> 4;
  const int quarter = l >> 3;
  stage_a_plain(block, 0, q);
  stage_a_eighth(block, 2 * eighth, q, level[1]);
  int j = 1;
  if constexpr (Kernels::pairs) {
    j = Kernels::middle_stage_a_pairs(block, q, eighth, quarter, level);
  }
  for (; j < eighth; ++j) {
    const int k = 4 * j;
    const Factor w1{level[k], level[k + 1]};
    const Factor w3{level[k + 2], level[k + 3]};
    stage_a_twiddled(block, 2 * j, q, w1, w3);
    stage_a_twiddled(block, 2 * (quarter - j), q, mirror1(w1), mirror3(w3));
  }
}

template <class Kernels>
void middle_stage_b_by_indices(int l, float* block, const float* level) {
  const int q = l >> 2;
  const int eighth = l >> 4;
  const int quarter = l >> 3;
  stage_b_plain(block, 0, q, level[1]);
  stage_b_eighth(block, 2 * eighth, q, level[4 * eighth],
                 level[4 * eighth + 1]);
  int j = 1;
  if constexpr (Kernels::pairs) {
    j = Kernels::middle_stage_b_pairs(block, q, eighth, quarter, level);
  }
  for (; j < eighth; ++j) {
    const int k = 4 * j;
    const int km = 4 * (quarter - j);
    const float c1 = level[k], s1 = level[k + 1], c3 = level[k + 2],
                s3 = level[k + 3];
    const float c1m = level[km], s1m = level[km + 1], c3m = level[km + 2],
                s3m = level[km + 3];
    stage_b_twiddled(block, 2 * j, q, {c1, s1}, {s1m, c1m}, {c3, s3},
                     {-s3m, -c3m});
    stage_b_twiddled(block, 2 * (quarter - j), q, {c1m, s1m}, {s1, c1},
                     {c3m, s3m}, {-s3, -c3});
  }
}

// The leaf kernels of each quarter in turn.
template <class Kernels>
void leaves_by_kernels(const LeafQuarters& quarters) {
  using Kernel = void (*)(float*, const float*);
  const int s = quarters.q >> 2;  // sub-block length: 32 or 16 floats
  const Kernel kernel_a = s == 32 ? Kernels::kernel16_a : Kernels::kernel8_a;
  const Kernel kernel_b = s == 32 ? Kernels::kernel16_b : Kernels::kernel8_b;
  const LeafLevels& levels = quarters.levels;
  for (int i = 0; i < quarters.count; ++i) {
    float* quarter = quarters.block + i * quarters.q;
    kernel_a(quarter, levels.a);
    kernel_b(quarter + s, levels.b);
    kernel_a(quarter + 2 * s, levels.a);
    if (quarters.type_b(i)) {
      kernel_b(quarter + 3 * s, levels.b);
    } else {
      kernel_a(quarter + 3 * s, levels.a);
    }
  }
}

template <class Kernels>
struct IndexSteps {
  void first_stage(int n, float* a, const float* level) const {
    first_stage_by_indices<Kernels>(n, a, level);
  }
  void middle_stage_a(int l, float* block, const float* level) const {
    middle_stage_a_by_indices<Kernels>(l, block, level);
  }
  void middle_stage_b(int l, float* block, const float* level) const {
    middle_stage_b_by_indices<Kernels>(l, block, level);
  }
  void leaves(const LeafQuarters& quarters) const {
    leaves_by_kernels<Kernels>(quarters);
  }
  void bit_reverse(int n, float* a) const { ::orv::vlkdec::bit_reverse(n, a); }
};

}  // namespace
}  // namespace orv::vlkdec

#endif
