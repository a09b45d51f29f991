// The FFT with SSE2: two neighbouring indices of a stage at once, a vector
// holding two complex values (re, im, re, im), and the leaf kernels on
// whole vectors. Each lane sees the scalar code's operations in its order
// (x86/sse2.h), so the bits are the portable code's.
#include "transform/fft_stages.h"
#include "transform/fft_steps.h"
#include "transform/fft_walk.h"
#include "x86/sse2.h"
#include "x86/x86.h"

namespace orv::vlkdec {
namespace {

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

// The stages' indices in pairs, where the SSE2 steps apply, and the vector
// leaf kernels.
struct Sse2Kernels {
  static constexpr bool pairs = true;

  // Indices j and j + 1 of the first stage lie side by side, and so do
  // their mirrors N/4 - j - 1 and N/4 - j, in that order.
  static void first_stage_pairs(float* a, int j, int quarter, int q, Factor w1,
                                Factor w1_after, Factor w3, Factor w3_after) {
    stage_a_twiddled2(a, 2 * j, q,
                      _mm_setr_ps(w1.r, w1.i, w1_after.r, w1_after.i),
                      _mm_setr_ps(w3.r, w3.i, w3_after.r, w3_after.i));
    const Factor m1 = mirror1(w1), m1_after = mirror1(w1_after);
    const Factor m3 = mirror3(w3), m3_after = mirror3(w3_after);
    stage_a_twiddled2(a, 2 * (quarter - j - 1), q,
                      _mm_setr_ps(m1_after.r, m1_after.i, m1.r, m1.i),
                      _mm_setr_ps(m3_after.r, m3_after.i, m3.r, m3.i));
  }

  static int middle_stage_a_pairs(float* block, int q, int eighth, int quarter,
                                  const float* level) {
    int j = 1;
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
    return j;
  }

  static int middle_stage_b_pairs(float* block, int q, int eighth, int quarter,
                                  const float* level) {
    int j = 1;
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
    return j;
  }

  static void kernel16_a(float* block, const float* level) {
    kernel16_a2(block, level);
  }
  static void kernel16_b(float* block, const float* level) {
    kernel16_b2(block, level);
  }
  static void kernel8_a(float* block, const float* level) {
    kernel8_a2(block, level);
  }
  static void kernel8_b(float* block, const float* level) {
    kernel8_b2(block, level);
  }
};

}  // namespace

void complex_fft_forward_sse2(int n, float* a, int nw, const float* w) {
  walk_fft(IndexSteps<Sse2Kernels>{}, n, a, nw, w);
}

}  // namespace orv::vlkdec
