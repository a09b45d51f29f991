// The walk of the split-radix FFT over its stages and leaves, shared by
// the portable code and the SSE2 variant. `Steps` supplies the leaf kernels
// and says whether it also runs neighbouring indices of a stage in pairs
// (Steps::pairs); the indices it leaves, and every stage of the portable
// code, take the scalar steps of fft_steps.h.
//
// Steps, when pairs is true, provides:
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

template <class Steps>
void first_stage(int n, float* a, const float* level) {
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
    if constexpr (Steps::pairs) {
      if (even_in_table) {
        Steps::first_stage_pairs(a, j, quarter, q, w1, w1_after, w3, w3_after);
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

template <class Steps>
void middle_stage_a(int l, float* block, const float* level) {
  const int q = l >> 2;
  const int eighth = l >> 4;
  const int quarter = l >> 3;
  stage_a_plain(block, 0, q);
  stage_a_eighth(block, 2 * eighth, q, level[1]);
  int j = 1;
  if constexpr (Steps::pairs) {
    j = Steps::middle_stage_a_pairs(block, q, eighth, quarter, level);
  }
  for (; j < eighth; ++j) {
    const int k = 4 * j;
    const Factor w1{level[k], level[k + 1]};
    const Factor w3{level[k + 2], level[k + 3]};
    stage_a_twiddled(block, 2 * j, q, w1, w3);
    stage_a_twiddled(block, 2 * (quarter - j), q, mirror1(w1), mirror3(w3));
  }
}

template <class Steps>
void middle_stage_b(int l, float* block, const float* level) {
  const int q = l >> 2;
  const int eighth = l >> 4;
  const int quarter = l >> 3;
  stage_b_plain(block, 0, q, level[1]);
  stage_b_eighth(block, 2 * eighth, q, level[4 * eighth],
                 level[4 * eighth + 1]);
  int j = 1;
  if constexpr (Steps::pairs) {
    j = Steps::middle_stage_b_pairs(block, q, eighth, quarter, level);
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

// Leaves of a block of q = 64 or 128 floats after its stage; `type_b`
// selects the kernel types a, b, a, b instead of a, b, a, a.
template <class Steps>
void quarter_leaves(int q, float* quarter, bool type_b, int nw,
                    const float* w) {
  if (q == 128) {
    Steps::kernel16_a(quarter, w + nw - 8);
    Steps::kernel16_b(quarter + 32, w + nw - 32);
    Steps::kernel16_a(quarter + 64, w + nw - 8);
    if (type_b) {
      Steps::kernel16_b(quarter + 96, w + nw - 32);
    } else {
      Steps::kernel16_a(quarter + 96, w + nw - 8);
    }
  } else {
    const float* level = w + nw - 16;
    Steps::kernel8_a(quarter, level);
    Steps::kernel8_b(quarter + 16, level);
    Steps::kernel8_a(quarter + 32, level);
    if (type_b) {
      Steps::kernel8_b(quarter + 48, level);
    } else {
      Steps::kernel8_a(quarter + 48, level);
    }
  }
}

template <class Steps>
void complete_quarter_a(int q, float* quarter, int nw, const float* w) {
  middle_stage_a<Steps>(q, quarter, w + nw - q / 2);
  quarter_leaves<Steps>(q, quarter, false, nw, w);
}

template <class Steps>
void complete_quarter_b(int q, float* quarter, int nw, const float* w) {
  middle_stage_b<Steps>(q, quarter, w + nw - q);
  quarter_leaves<Steps>(q, quarter, true, nw, w);
}

template <class Steps>
void expand_a(int l, float* block, int nw, const float* w) {
  const int q = l >> 2;
  complete_quarter_a<Steps>(q, block, nw, w);
  complete_quarter_b<Steps>(q, block + q, nw, w);
  complete_quarter_a<Steps>(q, block + 2 * q, nw, w);
  complete_quarter_a<Steps>(q, block + 3 * q, nw, w);
}

template <class Steps>
void expand_b(int l, float* block, int nw, const float* w) {
  const int q = l >> 2;
  complete_quarter_a<Steps>(q, block, nw, w);
  complete_quarter_a<Steps>(q, block + 2 * q, nw, w);
  complete_quarter_b<Steps>(q, block + q, nw, w);
  complete_quarter_b<Steps>(q, block + 3 * q, nw, w);
}

template <class Steps>
void recursion_a(int l, float* block, int nw, const float* w) {
  middle_stage_a<Steps>(l, block, w + nw - l / 2);
  expand_a<Steps>(l, block, nw, w);
}

template <class Steps>
void recursion_b(int l, float* block, int nw, const float* w) {
  middle_stage_b<Steps>(l, block, w + nw - l);
  expand_b<Steps>(l, block, nw, w);
}

template <class Steps>
void fft(int n, float* a, int nw, const float* w) {
  if (n > 32) {
    first_stage<Steps>(n, a, w + nw - n / 4);
    if (n > 512) {
      const int l = n / 4;
      recursion_a<Steps>(l, a, nw, w);
      recursion_b<Steps>(l, a + l, nw, w);
      recursion_a<Steps>(l, a + 2 * l, nw, w);
      recursion_a<Steps>(l, a + 3 * l, nw, w);
    } else if (n / 4 > 32) {
      expand_a<Steps>(n, a, nw, w);
    } else {
      quarter_leaves<Steps>(n, a, false, nw, w);
    }
    bit_reverse(n, a);
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

}  // namespace
}  // namespace orv::vlkdec

#endif
