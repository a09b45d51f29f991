// Split-radix decimation-in-frequency complex FFT in single precision.
//
// Results are defined bit for bit: every sum and product is rounded to
// single precision in exactly the grouping written here (the target is built
// without contraction into fused multiply-adds), so do not reassociate,
// factor or "simplify" any expression, and keep each complex product in the
// form (wr * zr - wi * zi, wr * zi + wi * zr).
#include "transform/fft.h"

#include <cstdint>
#include <cstring>

#include "transform/cpu_features.h"
#include "transform/fft_stages.h"
#include "transform/simd.h"
#include "transform/transform_avx2.h"

#if ORV_TRANSFORM_SSE2
#include <emmintrin.h>
#endif

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
Factor mirror1(Factor w) { return {w.i, w.r}; }
Factor mirror3(Factor w) { return {-w.i, -w.r}; }

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

#if ORV_TRANSFORM_SSE2
// Two neighbouring indices of a stage at once: a vector holds two complex
// values (re, im, re, im). Each lane sees the scalar code's operations in
// its order; x - y is computed as x + (-y), which IEEE arithmetic defines
// to be the same, and a negation only flips the sign bit.
using Vec = __m128;

inline Vec load(const float* p) { return _mm_loadu_ps(p); }
inline void store(float* p, Vec v) { _mm_storeu_ps(p, v); }
inline Vec swap_pairs(Vec x) {
  return _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));
}
inline Vec sign_real() {
  return _mm_castsi128_ps(_mm_set_epi32(0, INT32_MIN, 0, INT32_MIN));
}
inline Vec sign_imag() {
  return _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, INT32_MIN, 0));
}
inline Vec negate(Vec x) { return _mm_xor_ps(x, _mm_set1_ps(-0.0f)); }

// (wr * zr - wi * zi, wr * zi + wi * zr) per complex lane.
inline Vec multiply(Vec w, Vec z) {
  const Vec wr = _mm_shuffle_ps(w, w, _MM_SHUFFLE(2, 2, 0, 0));
  const Vec wi = _mm_shuffle_ps(w, w, _MM_SHUFFLE(3, 3, 1, 1));
  const Vec a = _mm_mul_ps(wr, z);
  const Vec b = _mm_mul_ps(wi, swap_pairs(z));
  return _mm_add_ps(a, _mm_xor_ps(b, sign_real()));
}

// The butterflies of a type-a stage on two neighbouring indices: stores the
// sums and gives u and v, still to be twiddled.
ORV_FFT_INLINE void stage_a_sums2(float* a, int p, int q, Vec& u, Vec& v) {
  float* x0p = a + p;
  const Vec x0 = load(x0p);
  const Vec x1 = load(x0p + q);
  const Vec x2 = load(x0p + 2 * q);
  const Vec x3 = load(x0p + 3 * q);
  const Vec s0 = _mm_add_ps(x0, x2);
  const Vec d0 = _mm_sub_ps(x0, x2);
  const Vec s1 = _mm_add_ps(x1, x3);
  const Vec d1 = _mm_sub_ps(x1, x3);
  store(x0p, _mm_add_ps(s0, s1));
  store(x0p + q, _mm_sub_ps(s0, s1));
  const Vec d1_swapped = swap_pairs(d1);
  u = _mm_add_ps(d0, _mm_xor_ps(d1_swapped, sign_real()));
  v = _mm_add_ps(d0, _mm_xor_ps(d1_swapped, sign_imag()));
}

// stage_a_twiddled for the values at p and p + 2 (and so on per quarter).
ORV_FFT_INLINE void stage_a_twiddled2(float* a, int p, int q, Vec w1, Vec w3) {
  Vec u;
  Vec v;
  stage_a_sums2(a, p, q, u, v);
  store(a + p + 2 * q, multiply(w1, u));
  store(a + p + 3 * q, multiply(w3, v));
}

// stage_b_twiddled for two neighbouring indices.
ORV_FFT_INLINE void stage_b_twiddled2(float* a, int p, int q, Vec omega,
                                      Vec psi, Vec omega3, Vec chi) {
  float* x0p = a + p;
  const Vec x0 = load(x0p);
  const Vec x1 = load(x0p + q);
  const Vec x2 = swap_pairs(load(x0p + 2 * q));
  const Vec x3 = swap_pairs(load(x0p + 3 * q));
  const Vec alpha = _mm_add_ps(x0, _mm_xor_ps(x2, sign_real()));
  const Vec gamma = _mm_add_ps(x0, _mm_xor_ps(x2, sign_imag()));
  const Vec beta = _mm_add_ps(x1, _mm_xor_ps(x3, sign_real()));
  const Vec delta = _mm_add_ps(x1, _mm_xor_ps(x3, sign_imag()));
  const Vec pa = multiply(omega, alpha);
  const Vec pb = multiply(psi, beta);
  const Vec pc = multiply(omega3, gamma);
  const Vec pd = multiply(chi, delta);
  store(x0p, _mm_add_ps(pa, pb));
  store(x0p + q, _mm_sub_ps(pa, pb));
  store(x0p + 2 * q, _mm_add_ps(pc, pd));
  store(x0p + 3 * q, _mm_sub_ps(pc, pd));
}

// Lane 0 (floats 0 and 1) of x with lane 1 (floats 2 and 3) of y.
inline Vec lanes(Vec x, Vec y) {
  return _mm_shuffle_ps(x, y, _MM_SHUFFLE(3, 2, 1, 0));
}
inline Vec sign_upper() {
  return _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, INT32_MIN, 0, 0));
}
inline Vec sign_outer() {
  return _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, 0, INT32_MIN));
}
inline Vec real_parts(Vec x) {
  return _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 2, 0, 0));
}
inline Vec imag_parts(Vec x) {
  return _mm_shuffle_ps(x, x, _MM_SHUFFLE(3, 3, 1, 1));
}

// kernel4_a and kernel4_b on 8 floats, as one vector per half.
ORV_FFT_INLINE void kernel4_a2(float* a) {
  const Vec lo = load(a);
  const Vec hi = load(a + 4);
  const Vec s = _mm_add_ps(lo, hi);  // s0, s1
  const Vec d = _mm_sub_ps(lo, hi);  // d0, d1
  store(a, _mm_add_ps(_mm_movelh_ps(s, s),
                      _mm_xor_ps(_mm_movehl_ps(s, s), sign_upper())));
  // u = (d0r - d1i, d0i + d1r), v = (d0r + d1i, d0i - d1r)
  store(a + 4,
        _mm_add_ps(_mm_movelh_ps(d, d),
                   _mm_xor_ps(_mm_shuffle_ps(d, d, _MM_SHUFFLE(2, 3, 2, 3)),
                              sign_outer())));
}

ORV_FFT_INLINE void kernel4_b2(float* a, Vec c4) {
  const Vec lo = load(a);
  const Vec hi = swap_pairs(load(a + 4));
  const Vec ab = _mm_add_ps(lo, _mm_xor_ps(hi, sign_real()));  // alpha, beta
  const Vec gd = _mm_add_ps(lo, _mm_xor_ps(hi, sign_imag()));  // gamma, delta
  const Vec bd = _mm_movehl_ps(gd, ab);                        // beta, delta
  // t = ((br - bi) c4, (bi + br) c4), s likewise from delta
  const Vec ts =
      _mm_mul_ps(_mm_add_ps(bd, _mm_xor_ps(swap_pairs(bd), sign_real())), c4);
  store(a, _mm_add_ps(_mm_movelh_ps(ab, ab),
                      _mm_xor_ps(_mm_movelh_ps(ts, ts), sign_upper())));
  store(a + 4,
        _mm_add_ps(_mm_movelh_ps(gd, gd),
                   _mm_xor_ps(_mm_shuffle_ps(ts, ts, _MM_SHUFFLE(2, 3, 2, 3)),
                              sign_outer())));
}

// The eighth point of a type-a stage, one product per component:
// u W^(N/8) = (c4 (ur - ui), c4 (ur + ui)) and
// v W^(3N/8) = ((vr + vi) (-c4), (vi - vr) (-c4)).
ORV_FFT_INLINE Vec eighth_point_u(Vec u, float c4) {
  return _mm_mul_ps(
      _mm_set1_ps(c4),
      _mm_add_ps(real_parts(u), _mm_xor_ps(imag_parts(u), sign_real())));
}
ORV_FFT_INLINE Vec eighth_point_v(Vec v, float c4) {
  return _mm_mul_ps(
      _mm_add_ps(imag_parts(v), _mm_xor_ps(real_parts(v), sign_imag())),
      _mm_set1_ps(-c4));
}

// kernel16_a and kernel16_b with the indices of the stage taken in pairs
// (0, 1) and (2, 3). Where the two indices of a pair are formed
// differently (index 0 without twiddles, index 2 in the one-product form),
// both forms are computed and each lane keeps its own.
void kernel16_a2(float* block, const float* level) {
  const float c4 = level[1];
  const float k = level[2];
  const float s = k * c4;
  const float c = k + s;
  Vec u;
  Vec v;
  stage_a_sums2(block, 0, 8, u, v);
  store(block + 16, lanes(u, multiply(_mm_setr_ps(0, 0, c, s), u)));
  store(block + 24, lanes(v, multiply(_mm_setr_ps(0, 0, s, c), v)));
  stage_a_sums2(block, 4, 8, u, v);
  // Index 2: (c4 (ur - ui), c4 (ur + ui)) and ((vr + vi) (-c4),
  // (vi - vr) (-c4)); index 3: the mirrored twiddles of index 1.
  const Vec eighth_u = eighth_point_u(u, c4);
  const Vec eighth_v = eighth_point_v(v, c4);
  store(block + 20, lanes(eighth_u, multiply(_mm_setr_ps(0, 0, s, c), u)));
  store(block + 28, lanes(eighth_v, multiply(_mm_setr_ps(0, 0, -c, -s), v)));
  const Vec c4v = _mm_set1_ps(c4);
  kernel4_a2(block);
  kernel4_b2(block + 8, c4v);
  kernel4_a2(block + 16);
  kernel4_a2(block + 24);
}

// Indices 0 and 1 of a type-b stage: index 0 in its own form (e^(i pi/4)
// beta and delta, one product per component), index 1 twiddled with the
// factors in the upper lanes of omega, psi, omega3 and chi.
ORV_FFT_INLINE void stage_b_first_pair(float* block, int q, Vec c4v, Vec omega,
                                       Vec psi, Vec omega3, Vec chi) {
  const Vec x0 = load(block);
  const Vec x1 = load(block + q);
  const Vec x2 = swap_pairs(load(block + 2 * q));
  const Vec x3 = swap_pairs(load(block + 3 * q));
  const Vec alpha = _mm_add_ps(x0, _mm_xor_ps(x2, sign_real()));
  const Vec gamma = _mm_add_ps(x0, _mm_xor_ps(x2, sign_imag()));
  const Vec beta = _mm_add_ps(x1, _mm_xor_ps(x3, sign_real()));
  const Vec delta = _mm_add_ps(x1, _mm_xor_ps(x3, sign_imag()));
  const Vec t = _mm_mul_ps(
      _mm_add_ps(beta, _mm_xor_ps(swap_pairs(beta), sign_real())), c4v);
  const Vec sd = swap_pairs(_mm_mul_ps(
      _mm_add_ps(delta, _mm_xor_ps(swap_pairs(delta), sign_real())), c4v));
  const Vec pa = multiply(omega, alpha);
  const Vec pb = multiply(psi, beta);
  const Vec pc = multiply(omega3, gamma);
  const Vec pd = multiply(chi, delta);
  store(block, lanes(_mm_add_ps(alpha, t), _mm_add_ps(pa, pb)));
  store(block + q, lanes(_mm_sub_ps(alpha, t), _mm_sub_ps(pa, pb)));
  store(block + 2 * q, lanes(_mm_add_ps(gamma, _mm_xor_ps(sd, sign_real())),
                             _mm_add_ps(pc, pd)));
  store(block + 3 * q, lanes(_mm_add_ps(gamma, _mm_xor_ps(sd, sign_imag())),
                             _mm_sub_ps(pc, pd)));
}

// 2-point butterflies of types a and b on 4 floats.
ORV_FFT_INLINE void butterfly2_a2(float* a) {
  const Vec x = load(a);
  store(a, _mm_add_ps(_mm_movelh_ps(x, x),
                      _mm_xor_ps(_mm_movehl_ps(x, x), sign_upper())));
}

ORV_FFT_INLINE void butterfly2_b2(float* a) {
  const Vec x = load(a);
  store(a, _mm_add_ps(_mm_movelh_ps(x, x),
                      _mm_xor_ps(_mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 2, 3)),
                                 sign_outer())));
}

// kernel8_a and kernel8_b: the stage's indices 0 and 1 as one pair, then
// the 2-point butterflies.
void kernel8_a2(float* block, const float* level) {
  const float c4 = level[1];
  Vec u;
  Vec v;
  stage_a_sums2(block, 0, 4, u, v);
  // Index 1 is the eighth point: one product per component.
  const Vec eighth_u = eighth_point_u(u, c4);
  const Vec eighth_v = eighth_point_v(v, c4);
  store(block + 8, lanes(u, eighth_u));
  store(block + 12, lanes(v, eighth_v));
  butterfly2_a2(block);
  butterfly2_b2(block + 4);
  butterfly2_a2(block + 8);
  butterfly2_a2(block + 12);
}

void kernel8_b2(float* block, const float* level) {
  const float c = level[4], s = level[5];
  stage_b_first_pair(block, 4, _mm_set1_ps(level[1]), _mm_setr_ps(0, 0, c, s),
                     _mm_setr_ps(0, 0, s, c), _mm_setr_ps(0, 0, s, c),
                     _mm_setr_ps(0, 0, -c, -s));
  butterfly2_a2(block);
  butterfly2_b2(block + 4);
  butterfly2_a2(block + 8);
  butterfly2_b2(block + 12);
}

void kernel16_b2(float* block, const float* level) {
  const float c4 = level[1];
  const float c1 = level[4], s1 = level[5], c3 = level[6], s3 = level[7];
  const Vec c4v = _mm_set1_ps(c4);
  stage_b_first_pair(block, 8, c4v, _mm_setr_ps(0, 0, c1, s1),
                     _mm_setr_ps(0, 0, s3, c3), _mm_setr_ps(0, 0, c3, s3),
                     _mm_setr_ps(0, 0, -c1, s1));
  // Index 2 (the eighth point, from cos and sin of pi/8) and index 3.
  const float c = level[8], s = level[9];
  stage_b_twiddled2(block, 4, 8, _mm_setr_ps(c, s, c3, s3),
                    _mm_setr_ps(s, c, s1, c1), _mm_setr_ps(s, c, -s1, c1),
                    _mm_setr_ps(-c, -s, -s3, -c3));
  kernel4_a2(block);
  kernel4_b2(block + 8, c4v);
  kernel4_a2(block + 16);
  kernel4_b2(block + 24, c4v);
}
#endif

// The stages, with the vector code (Vector = true) or the scalar code only.
template <bool Vector>
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
#if ORV_TRANSFORM_SSE2
    if (Vector && even_in_table) {
      // j and j + 1 lie side by side, and so do their mirrors N/4 - j - 1
      // and N/4 - j, in that order.
      stage_a_twiddled2(a, 2 * j, q,
                        _mm_setr_ps(w1.r, w1.i, w1_after.r, w1_after.i),
                        _mm_setr_ps(w3.r, w3.i, w3_after.r, w3_after.i));
      const Factor m1 = mirror1(w1), m1_after = mirror1(w1_after);
      const Factor m3 = mirror3(w3), m3_after = mirror3(w3_after);
      stage_a_twiddled2(a, 2 * (quarter - j - 1), q,
                        _mm_setr_ps(m1_after.r, m1_after.i, m1.r, m1.i),
                        _mm_setr_ps(m3_after.r, m3_after.i, m3.r, m3.i));
      w1_before = w1_after;
      w3_before = w3_after;
      continue;
    }
#endif
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

template <bool Vector>
void middle_stage_a(int l, float* block, const float* level) {
  const int q = l >> 2;
  const int eighth = l >> 4;
  const int quarter = l >> 3;
  stage_a_plain(block, 0, q);
  stage_a_eighth(block, 2 * eighth, q, level[1]);
  int j = 1;
#if ORV_TRANSFORM_SSE2
  if (Vector) {
    for (; j + 1 < eighth; j += 2) {
      // Groups (c1, s1, c3, s3) of j and j + 1.
      const Vec g0 = load(level + 4 * j);
      const Vec g1 = load(level + 4 * j + 4);
      stage_a_twiddled2(block, 2 * j, q, _mm_movelh_ps(g0, g1),
                        _mm_movehl_ps(g1, g0));
      // Mirrors N/4 - j - 1 and N/4 - j: (s1, c1) and (-s3, -c3) of j + 1
      // and of j.
      stage_a_twiddled2(block, 2 * (quarter - j - 1), q,
                        swap_pairs(_mm_movelh_ps(g1, g0)),
                        negate(swap_pairs(_mm_movehl_ps(g0, g1))));
    }
  }
#endif
  for (; j < eighth; ++j) {
    const int k = 4 * j;
    const Factor w1{level[k], level[k + 1]};
    const Factor w3{level[k + 2], level[k + 3]};
    stage_a_twiddled(block, 2 * j, q, w1, w3);
    stage_a_twiddled(block, 2 * (quarter - j), q, mirror1(w1), mirror3(w3));
  }
}

template <bool Vector>
void middle_stage_b(int l, float* block, const float* level) {
  const int q = l >> 2;
  const int eighth = l >> 4;
  const int quarter = l >> 3;
  stage_b_plain(block, 0, q, level[1]);
  stage_b_eighth(block, 2 * eighth, q, level[4 * eighth],
                 level[4 * eighth + 1]);
  int j = 1;
#if ORV_TRANSFORM_SSE2
  if (Vector) {
    for (; j + 1 < eighth; j += 2) {
      // Groups of j, j + 1 and of their mirrors N/4 - j - 1, N/4 - j.
      const Vec g0 = load(level + 4 * j);
      const Vec g1 = load(level + 4 * j + 4);
      const Vec m0 = load(level + 4 * (quarter - j - 1));
      const Vec m1 = load(level + 4 * (quarter - j));
      stage_b_twiddled2(block, 2 * j, q, _mm_movelh_ps(g0, g1),
                        swap_pairs(_mm_movelh_ps(m1, m0)),
                        _mm_movehl_ps(g1, g0),
                        negate(swap_pairs(_mm_movehl_ps(m0, m1))));
      stage_b_twiddled2(block, 2 * (quarter - j - 1), q, _mm_movelh_ps(m0, m1),
                        swap_pairs(_mm_movelh_ps(g1, g0)),
                        _mm_movehl_ps(m1, m0),
                        negate(swap_pairs(_mm_movehl_ps(g0, g1))));
    }
  }
#endif
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
template <bool Vector>
void quarter_leaves(int q, float* quarter, bool type_b, int nw,
                    const float* w) {
#if ORV_TRANSFORM_SSE2
  if (Vector && q == 128) {
    kernel16_a2(quarter, w + nw - 8);
    kernel16_b2(quarter + 32, w + nw - 32);
    kernel16_a2(quarter + 64, w + nw - 8);
    if (type_b) {
      kernel16_b2(quarter + 96, w + nw - 32);
    } else {
      kernel16_a2(quarter + 96, w + nw - 8);
    }
    return;
  }
  if (Vector && q == 64) {
    const float* level = w + nw - 16;
    kernel8_a2(quarter, level);
    kernel8_b2(quarter + 16, level);
    kernel8_a2(quarter + 32, level);
    if (type_b) {
      kernel8_b2(quarter + 48, level);
    } else {
      kernel8_a2(quarter + 48, level);
    }
    return;
  }
#endif
  if (q == 128) {
    kernel16_a(quarter, w + nw - 8);
    kernel16_b(quarter + 32, w + nw - 32);
    kernel16_a(quarter + 64, w + nw - 8);
    if (type_b) {
      kernel16_b(quarter + 96, w + nw - 32);
    } else {
      kernel16_a(quarter + 96, w + nw - 8);
    }
  } else {
    const float* level = w + nw - 16;
    kernel8_a(quarter, level);
    kernel8_b(quarter + 16, level);
    kernel8_a(quarter + 32, level);
    if (type_b) {
      kernel8_b(quarter + 48, level);
    } else {
      kernel8_a(quarter + 48, level);
    }
  }
}

template <bool Vector>
void complete_quarter_a(int q, float* quarter, int nw, const float* w) {
  middle_stage_a<Vector>(q, quarter, w + nw - q / 2);
  quarter_leaves<Vector>(q, quarter, false, nw, w);
}

template <bool Vector>
void complete_quarter_b(int q, float* quarter, int nw, const float* w) {
  middle_stage_b<Vector>(q, quarter, w + nw - q);
  quarter_leaves<Vector>(q, quarter, true, nw, w);
}

template <bool Vector>
void expand_a(int l, float* block, int nw, const float* w) {
  const int q = l >> 2;
  complete_quarter_a<Vector>(q, block, nw, w);
  complete_quarter_b<Vector>(q, block + q, nw, w);
  complete_quarter_a<Vector>(q, block + 2 * q, nw, w);
  complete_quarter_a<Vector>(q, block + 3 * q, nw, w);
}

template <bool Vector>
void expand_b(int l, float* block, int nw, const float* w) {
  const int q = l >> 2;
  complete_quarter_a<Vector>(q, block, nw, w);
  complete_quarter_a<Vector>(q, block + 2 * q, nw, w);
  complete_quarter_b<Vector>(q, block + q, nw, w);
  complete_quarter_b<Vector>(q, block + 3 * q, nw, w);
}

template <bool Vector>
void recursion_a(int l, float* block, int nw, const float* w) {
  middle_stage_a<Vector>(l, block, w + nw - l / 2);
  expand_a<Vector>(l, block, nw, w);
}

template <bool Vector>
void recursion_b(int l, float* block, int nw, const float* w) {
  middle_stage_b<Vector>(l, block, w + nw - l);
  expand_b<Vector>(l, block, nw, w);
}

}  // namespace

void first_split_stage(int n, float* a, const float* level) {
  first_stage<false>(n, a, level);
}

void middle_split_stage_a(int l, float* block, const float* level) {
  middle_stage_a<false>(l, block, level);
}

void middle_split_stage_b(int l, float* block, const float* level) {
  middle_stage_b<false>(l, block, level);
}

void quarter_recursion_a(int l, float* block, int nw, const float* w) {
  recursion_a<false>(l, block, nw, w);
}

void quarter_recursion_b(int l, float* block, int nw, const float* w) {
  recursion_b<false>(l, block, nw, w);
}

void expand_quarters_a(int l, float* block, int nw, const float* w) {
  expand_a<false>(l, block, nw, w);
}

void expand_quarters_b(int l, float* block, int nw, const float* w) {
  expand_b<false>(l, block, nw, w);
}

void leaf_quarters(int n, float* a, int nw, const float* w) {
  quarter_leaves<false>(n, a, false, nw, w);
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

namespace {

template <bool Vector>
void fft(int n, float* a, int nw, const float* w) {
  if (n > 32) {
    first_stage<Vector>(n, a, w + nw - n / 4);
    if (n > 512) {
      const int l = n / 4;
      recursion_a<Vector>(l, a, nw, w);
      recursion_b<Vector>(l, a + l, nw, w);
      recursion_a<Vector>(l, a + 2 * l, nw, w);
      recursion_a<Vector>(l, a + 3 * l, nw, w);
    } else if (n / 4 > 32) {
      expand_a<Vector>(n, a, nw, w);
    } else {
      quarter_leaves<Vector>(n, a, false, nw, w);
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

void complex_fft_forward(int n, float* a, int nw, const float* w) {
#if ORV_TRANSFORM_AVX2
  if ((cpu_features() & cpu_avx2) != 0) {
    complex_fft_forward_avx2(n, a, nw, w);
    return;
  }
#endif
  fft<ORV_TRANSFORM_SSE2 != 0>(n, a, nw, w);
}

void complex_fft_forward_portable(int n, float* a, int nw, const float* w) {
  fft<false>(n, a, nw, w);
}

}  // namespace orv::vlkdec
