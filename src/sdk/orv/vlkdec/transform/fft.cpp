// Split-radix decimation-in-frequency complex FFT in single precision:
// the portable code, which defines the bits every variant gives.
#include "transform/fft.h"

#include <cstdint>

#include "transform/fft_stages.h"
#include "transform/fft_steps.h"
#include "transform/fft_walk.h"

namespace orv::vlkdec {
namespace {

// Every index of a stage by the scalar steps; the scalar leaf kernels.
struct PortableKernels {
  static constexpr bool pairs = false;
  static void kernel16_a(float* block, const float* level) {
    ::orv::vlkdec::kernel16_a(block, level);
  }
  static void kernel16_b(float* block, const float* level) {
    ::orv::vlkdec::kernel16_b(block, level);
  }
  static void kernel8_a(float* block, const float* level) {
    ::orv::vlkdec::kernel8_a(block, level);
  }
  static void kernel8_b(float* block, const float* level) {
    ::orv::vlkdec::kernel8_b(block, level);
  }
};

constexpr IndexSteps<PortableKernels> portable_steps{};

}  // namespace

void first_split_stage(int n, float* a, const float* level) {
  portable_steps.first_stage(n, a, level);
}

void quarter_recursion_a(int l, float* block, int nw, const float* w) {
  recursion(portable_steps, l, block, false, nw, w);
}

void quarter_recursion_b(int l, float* block, int nw, const float* w) {
  recursion(portable_steps, l, block, true, nw, w);
}

void kernel16_a(float* block, const float* level) {
  const float c4 = level[1];
  // W^1 = e^(i pi/8) from the stored cos(pi/8) - sin(pi/8).
  const float k = level[2];
  const float s = k * c4;
  const float c = k + s;
  stage_a_plain(block, 0, 8);
  stage_a_twiddled(block, 2, 8, {c, s}, {s, c});
  stage_a_eighth(block, 4, 8, c4);
  stage_a_twiddled(block, 6, 8, mirror1({c, s}), mirror3({s, c}));
  kernel4_a(block);
  kernel4_b(block + 8, c4);
  kernel4_a(block + 16);
  kernel4_a(block + 24);
}

void kernel16_b(float* block, const float* level) {
  const float c4 = level[1];
  const float c1 = level[4], s1 = level[5], c3 = level[6], s3 = level[7];
  stage_b_plain(block, 0, 8, c4);
  stage_b_twiddled(block, 2, 8, {c1, s1}, {s3, c3}, {c3, s3}, {-c1, s1});
  stage_b_eighth(block, 4, 8, level[8], level[9]);
  stage_b_twiddled(block, 6, 8, {c3, s3}, {s1, c1}, {-s1, c1}, {-s3, -c3});
  kernel4_a(block);
  kernel4_b(block + 8, c4);
  kernel4_a(block + 16);
  kernel4_b(block + 24, c4);
}

void kernel8_a(float* block, const float* level) {
  stage_a_plain(block, 0, 4);
  stage_a_eighth(block, 2, 4, level[1]);
  butterfly2_a(block, 0);
  butterfly2_b(block, 4);
  butterfly2_a(block, 8);
  butterfly2_a(block, 12);
}

void kernel8_b(float* block, const float* level) {
  stage_b_plain(block, 0, 4, level[1]);
  stage_b_eighth(block, 2, 4, level[4], level[5]);
  butterfly2_a(block, 0);
  butterfly2_b(block, 4);
  butterfly2_a(block, 8);
  butterfly2_b(block, 12);
}

void kernel4_forward(float* a) {
  const StageA x = load_stage_a(a, 0, 2);
  a[0] = x.s0r + x.s1r;
  a[1] = x.s0i + x.s1i;
  a[2] = x.ur;
  a[3] = x.ui;
  a[4] = x.s0r - x.s1r;
  a[5] = x.s0i - x.s1i;
  a[6] = x.vr;
  a[7] = x.vi;
}

void bit_reverse(int n, float* a) {
  // With b = log2(N) = 2t + e, an index is (A, m, C): t high bits, e middle
  // bits, t low bits, and its reversal is (rev C, m, rev A). Writing D for
  // rev C, the index is below its reversal exactly when A < D, so looping
  // over A < D visits every pair to exchange once, with no test; A == D
  // leaves the index in place.
  int b = 0;
  while ((2 << b) < n) ++b;
  const int t = b >> 1;
  const int e = b & 1;
  const int low = 1 << t;
  int rev[32];  // t <= 5 for n <= 4096
  rev[0] = 0;
  for (int i = 1; i < low; ++i)
    rev[i] = (rev[i >> 1] >> 1) | ((i & 1) << (t - 1));
  for (int m = 0; m < (1 << e); ++m) {
    const int middle = m << t;
    for (int hi = 0; hi < low; ++hi) {
      const int k_high = (hi << (t + e)) | middle;
      const int r_low = middle | rev[hi];
      for (int d = hi + 1; d < low; ++d) {
        swap_values(a, k_high | rev[d], (d << (t + e)) | r_low);
      }
    }
  }
}

void bit_reverse16(float* a) {
  swap_values(a, 1, 8);
  swap_values(a, 2, 4);
  swap_values(a, 3, 12);
  swap_values(a, 5, 10);
  swap_values(a, 7, 14);
  swap_values(a, 11, 13);
}

void complex_fft_forward_portable(int n, float* a, int nw, const float* w) {
  walk_fft(portable_steps, n, a, nw, w);
}

}  // namespace orv::vlkdec
