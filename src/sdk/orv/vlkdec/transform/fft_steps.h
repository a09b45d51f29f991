// The scalar steps of the split-radix FFT: one index of a stage, the
// 2- and 4-point butterflies. Shared by the portable code and the SSE2
// variant, which runs them where a pair of indices is not full.
//
// Results are defined bit for bit: every sum and product is rounded to
// single precision in exactly the grouping written here (the code is built
// without contraction into fused multiply-adds), so do not reassociate,
// factor or "simplify" any expression, and keep each complex product in the
// form (wr * zr - wi * zi, wr * zi + wi * zr). Everything has internal
// linkage, so that each translation unit keeps its own copy.
#ifndef ORV_VLKDEC_TRANSFORM_FFT_STEPS_H
#define ORV_VLKDEC_TRANSFORM_FFT_STEPS_H

#include <cstdint>
#include <cstring>

// The stage steps are small and called from straight-line kernels and hot
// loops; inlined, the kernels become single blocks of arithmetic.
#if defined(__GNUC__)
#define ORV_FFT_INLINE inline __attribute__((always_inline))
#else
#define ORV_FFT_INLINE inline
#endif

namespace orv::vlkdec {
namespace {

struct Factor {
  float r;
  float i;
};

// Counterparts of an index's twiddles at the mirrored index N/4 - j of a
// type-a stage: W^(N/4-j) = i conj(W^j), W^(3(N/4-j)) = -i conj(W^(3j)).
inline Factor mirror1(Factor w) { return {w.i, w.r}; }
inline Factor mirror3(Factor w) { return {-w.i, -w.r}; }

// One index of a type-a split-radix stage on the values at float offsets
// p, p + q, p + 2q, p + 3q (q = quarter length in floats).
struct StageA {
  float s0r, s0i, s1r, s1i, ur, ui, vr, vi;

  void store_sums(float* a, int p, int q) const {
    a[p] = s0r + s1r;
    a[p + 1] = s0i + s1i;
    a[p + q] = s0r - s1r;
    a[p + q + 1] = s0i - s1i;
  }
};

ORV_FFT_INLINE StageA load_stage_a(const float* a, int p, int q) {
  StageA x;
  const float* x0 = a + p;
  const float* x1 = x0 + q;
  const float* x2 = x1 + q;
  const float* x3 = x2 + q;
  x.s0r = x0[0] + x2[0];
  x.s0i = x0[1] + x2[1];
  const float d0r = x0[0] - x2[0];
  const float d0i = x0[1] - x2[1];
  x.s1r = x1[0] + x3[0];
  x.s1i = x1[1] + x3[1];
  const float d1r = x1[0] - x3[0];
  const float d1i = x1[1] - x3[1];
  x.ur = d0r - d1i;
  x.ui = d0i + d1r;
  x.vr = d0r + d1i;
  x.vi = d0i - d1r;
  return x;
}

// j = 0: both twiddles are 1, u and v are stored as they are.
ORV_FFT_INLINE void stage_a_plain(float* a, int p, int q) {
  const StageA x = load_stage_a(a, p, q);
  x.store_sums(a, p, q);
  a[p + 2 * q] = x.ur;
  a[p + 2 * q + 1] = x.ui;
  a[p + 3 * q] = x.vr;
  a[p + 3 * q + 1] = x.vi;
}

// j = N/8: W^j = e^(i pi/4) and W^(3j) = e^(3 i pi/4), one product each.
ORV_FFT_INLINE void stage_a_eighth(float* a, int p, int q, float c4) {
  const StageA x = load_stage_a(a, p, q);
  x.store_sums(a, p, q);
  a[p + 2 * q] = c4 * (x.ur - x.ui);
  a[p + 2 * q + 1] = c4 * (x.ur + x.ui);
  const float minus_c4 = -c4;
  a[p + 3 * q] = (x.vr + x.vi) * minus_c4;
  a[p + 3 * q + 1] = (x.vi - x.vr) * minus_c4;
}

ORV_FFT_INLINE void stage_a_twiddled(float* a, int p, int q, Factor w1,
                                     Factor w3) {
  const StageA x = load_stage_a(a, p, q);
  x.store_sums(a, p, q);
  a[p + 2 * q] = w1.r * x.ur - w1.i * x.ui;
  a[p + 2 * q + 1] = w1.r * x.ui + w1.i * x.ur;
  a[p + 3 * q] = w3.r * x.vr - w3.i * x.vi;
  a[p + 3 * q + 1] = w3.r * x.vi + w3.i * x.vr;
}

// One index of a type-b split-radix stage: alpha = x0 + i x2,
// beta = x1 + i x3, gamma = x0 - i x2, delta = x1 - i x3.
struct StageB {
  float ar, ai, br, bi, gr, gi, dr, di;
};

ORV_FFT_INLINE StageB load_stage_b(const float* a, int p, int q) {
  StageB x;
  const float* x0 = a + p;
  const float* x1 = x0 + q;
  const float* x2 = x1 + q;
  const float* x3 = x2 + q;
  x.ar = x0[0] - x2[1];
  x.ai = x0[1] + x2[0];
  x.gr = x0[0] + x2[1];
  x.gi = x0[1] - x2[0];
  x.br = x1[0] - x3[1];
  x.bi = x1[1] + x3[0];
  x.dr = x1[0] + x3[1];
  x.di = x1[1] - x3[0];
  return x;
}

// j = 0: e^(i pi/4) beta and e^(i pi/4) delta, one product per component.
ORV_FFT_INLINE void stage_b_plain(float* a, int p, int q, float c4) {
  const StageB x = load_stage_b(a, p, q);
  const float tr = (x.br - x.bi) * c4;
  const float ti = (x.bi + x.br) * c4;
  const float sr = (x.dr - x.di) * c4;
  const float si = (x.di + x.dr) * c4;
  a[p] = x.ar + tr;
  a[p + 1] = x.ai + ti;
  a[p + q] = x.ar - tr;
  a[p + q + 1] = x.ai - ti;
  a[p + 2 * q] = x.gr - si;
  a[p + 2 * q + 1] = x.gi + sr;
  a[p + 3 * q] = x.gr + si;
  a[p + 3 * q + 1] = x.gi - sr;
}

// omega^j alpha + psi beta and omega^(3j) gamma + chi delta, with psi and
// chi the products of e^(i pi/4) and i e^(i pi/4) with the first two.
ORV_FFT_INLINE void stage_b_twiddled(float* a, int p, int q, Factor omega,
                                     Factor psi, Factor omega3, Factor chi) {
  const StageB x = load_stage_b(a, p, q);
  const float ar = omega.r * x.ar - omega.i * x.ai;
  const float ai = omega.r * x.ai + omega.i * x.ar;
  const float br = psi.r * x.br - psi.i * x.bi;
  const float bi = psi.r * x.bi + psi.i * x.br;
  const float cr = omega3.r * x.gr - omega3.i * x.gi;
  const float ci = omega3.r * x.gi + omega3.i * x.gr;
  const float dr = chi.r * x.dr - chi.i * x.di;
  const float di = chi.r * x.di + chi.i * x.dr;
  a[p] = ar + br;
  a[p + 1] = ai + bi;
  a[p + q] = ar - br;
  a[p + q + 1] = ai - bi;
  a[p + 2 * q] = cr + dr;
  a[p + 2 * q + 1] = ci + di;
  a[p + 3 * q] = cr - dr;
  a[p + 3 * q + 1] = ci - di;
}

// j = P/8 of a type-b stage, from (c, s) = (cos, sin) of pi/8.
ORV_FFT_INLINE void stage_b_eighth(float* a, int p, int q, float c, float s) {
  stage_b_twiddled(a, p, q, {c, s}, {s, c}, {s, c}, {-c, -s});
}

// 2-point butterflies on a pair of values at float offset p.
ORV_FFT_INLINE void butterfly2_a(float* a, int p) {
  const float x0r = a[p], x0i = a[p + 1], x1r = a[p + 2], x1i = a[p + 3];
  a[p] = x0r + x1r;
  a[p + 1] = x0i + x1i;
  a[p + 2] = x0r - x1r;
  a[p + 3] = x0i - x1i;
}

ORV_FFT_INLINE void butterfly2_b(float* a, int p) {
  const float x0r = a[p], x0i = a[p + 1], x1r = a[p + 2], x1i = a[p + 3];
  a[p] = x0r - x1i;
  a[p + 1] = x0i + x1r;
  a[p + 2] = x0r + x1i;
  a[p + 3] = x0i - x1r;
}

// 4-point transforms on 8 floats, bit-reversed output.
ORV_FFT_INLINE void kernel4_a(float* a) { stage_a_plain(a, 0, 2); }
ORV_FFT_INLINE void kernel4_b(float* a, float c4) {
  stage_b_plain(a, 0, 2, c4);
}

// Exchanges complex values i and j, each moved as one 8-byte unit.
ORV_FFT_INLINE void swap_values(float* a, int i, int j) {
  uint64_t x;
  uint64_t y;
  std::memcpy(&x, a + 2 * i, sizeof x);
  std::memcpy(&y, a + 2 * j, sizeof y);
  std::memcpy(a + 2 * i, &y, sizeof y);
  std::memcpy(a + 2 * j, &x, sizeof x);
}

}  // namespace
}  // namespace orv::vlkdec

#endif
