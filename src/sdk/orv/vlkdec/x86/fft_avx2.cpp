// The FFT with 256-bit vectors (x86/avx2.h for the rules that keep the
// bits the portable code's).
//
// The stages run four neighbouring indices at a time; where the lanes of a
// group are formed differently (index 0 without twiddles, the eighth point
// in its one-product form), both forms are computed and each lane keeps
// its own. The leaf kernels run two blocks side by side, one per 128-bit
// half, with the SSE2 kernels' operations. The walk over stages and leaves
// is that of every variant (transform/fft_walk.h).
#include "transform/fft.h"
#include "transform/fft_walk.h"
#include "x86/avx2.h"
#include "x86/x86.h"

namespace orv::vlkdec {
namespace {

// A factor w held as (wr, wr) and (wi, wi) per complex lane, for the leaf
// kernels, which use the same few factors on every block.
struct LaneFactor {
  V8 re;
  V8 im;
};
ORV_AVX2_INLINE LaneFactor factor(V8 w) {
  return {_mm256_moveldup_ps(w), _mm256_movehdup_ps(w)};
}
// multiply(w, z) from the factor's parts.
ORV_AVX2_INLINE V8 multiply(const LaneFactor& w, V8 z) {
  return sub_add(mul(w.re, z), mul(w.im, swap_pairs(z)));
}

// The first and the second pair of floats of four table groups
// (c1, s1, c3, s3) at g[0], g[4], g[8], g[12]: W^j and W^(3j) of four
// neighbouring indices.
ORV_AVX2_INLINE void load_groups(const float* g, V8& w1, V8& w3) {
  const V8 even = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(g)),
                                       _mm_loadu_ps(g + 8), 1);
  const V8 odd = _mm256_insertf128_ps(
      _mm256_castps128_ps256(_mm_loadu_ps(g + 4)), _mm_loadu_ps(g + 12), 1);
  w1 = low_units(even, odd);
  w3 = high_units(even, odd);
}

// ---------------------------------------------------------------------------
// Split-radix stages, four indices per step.

// The butterflies of a type-a stage on the four indices at float offset p:
// stores the sums and gives u and v, still to be twiddled.
ORV_AVX2_INLINE void stage_a_sums(float* a, int p, int q, V8& u, V8& v) {
  float* x0p = a + p;
  const V8 x0 = load8(x0p);
  const V8 x1 = load8(x0p + q);
  const V8 x2 = load8(x0p + 2 * q);
  const V8 x3 = load8(x0p + 3 * q);
  const V8 s0 = add(x0, x2);
  const V8 d0 = sub(x0, x2);
  const V8 s1 = add(x1, x3);
  const V8 d1 = sub(x1, x3);
  store8(x0p, add(s0, s1));
  store8(x0p + q, sub(s0, s1));
  const V8 d1_swapped = swap_pairs(d1);
  u = sub_add(d0, d1_swapped);
  v = add(d0, flip(d1_swapped, sign_imag()));
}

// The eighth point's products, (c4 (ur - ui), c4 (ur + ui)) and
// ((vr + vi) (-c4), (vi - vr) (-c4)).
ORV_AVX2_INLINE V8 eighth_point_u(V8 u, V8 c4) {
  return mul(c4, sub_add(_mm256_moveldup_ps(u), _mm256_movehdup_ps(u)));
}
ORV_AVX2_INLINE V8 eighth_point_v(V8 v, V8 minus_c4) {
  return mul(
      add(_mm256_movehdup_ps(v), flip(_mm256_moveldup_ps(v), sign_imag())),
      minus_c4);
}

// Four indices of a type-a stage from index j (float offset 2j). If
// `first_plain`, j is 0 and its u and v are stored untwiddled; if
// `first_eighth`, j is N/8 and takes the one-product form.
ORV_AVX2_INLINE void stage_a_group(float* a, int j, int q, V8 w1, V8 w3,
                                   bool first_plain, bool first_eighth,
                                   float c4) {
  V8 u;
  V8 v;
  const int p = 2 * j;
  stage_a_sums(a, p, q, u, v);
  V8 pu = multiply(w1, u);
  V8 pv = multiply(w3, v);
  if (first_plain) {
    pu = with_first(pu, u);
    pv = with_first(pv, v);
  }
  if (first_eighth) {
    pu = with_first(pu, eighth_point_u(u, _mm256_set1_ps(c4)));
    pv = with_first(pv, eighth_point_v(v, _mm256_set1_ps(-c4)));
  }
  store8(a + p + 2 * q, pu);
  store8(a + p + 3 * q, pv);
}

// The twiddles of the mirrored indices N/4 - j: W^(N/4-j) = i conj(W^j) and
// W^(3(N/4-j)) = -i conj(W^(3j)). Given the factors of j .. j + 3 in
// order, gives those of N/4 - j - 3 .. N/4 - j in order.
ORV_AVX2_INLINE V8 mirror1(V8 w1) { return reverse8(w1); }
ORV_AVX2_INLINE V8 mirror3(V8 w3) { return negate(reverse8(w3)); }

// Each step takes the indices b .. b + 3 and the mirrors N/4 - b - 4 ..
// N/4 - b - 1 (those of b + 4 .. b + 1): with b running over multiples of
// 4 below N/8 this covers 0 .. N/4 - 1 once, index 0 in the first group and
// N/8 in the last mirror group.
void first_stage(int n, float* a, const float* level) {
  const int q = n >> 2;
  const int eighth = n >> 4;
  const int quarter = n >> 3;
  const float c4 = level[1];
  const float csc1 = level[2];
  const float csc3 = level[3];
  const V8 csc = _mm256_setr_ps(csc1, csc1, csc3, csc3, csc1, csc1, csc3, csc3);
  for (int b = 0; b < eighth; b += 4) {
    // The even indices' factors come from the table (group at 2j holds W^j
    // and W^(3j)); W^0 = 1, W^(N/8) = (c4, c4) and W^(3N/8) = (-c4, c4).
    // Every odd index interpolates its two even neighbours:
    // csc * (before + after), per component.
    V8 even = load8(level + 2 * b);      // W(b), W(b + 2)
    V8 next = load8(level + 2 * b + 4);  // W(b + 2), W(b + 4)
    if (b == 0) {
      even =
          _mm256_blend_ps(even, _mm256_setr_ps(1, 0, 1, 0, 0, 0, 0, 0), 0x0F);
    }
    if (b + 4 == eighth) {
      next = _mm256_blend_ps(next, _mm256_setr_ps(0, 0, 0, 0, c4, c4, -c4, c4),
                             0xF0);
    }
    const V8 odd = mul(csc, add(even, next));  // W(b + 1), W(b + 3)
    stage_a_group(a, b, q, low_units(even, odd), high_units(even, odd), b == 0,
                  false, c4);
    stage_a_group(a, quarter - b - 4, q, mirror1(low_units(odd, next)),
                  mirror3(high_units(odd, next)), false, b + 4 == eighth, c4);
  }
}

// The same walk with every factor read from the table.
void middle_stage_a(int l, float* block, const float* level) {
  const int q = l >> 2;
  const int eighth = l >> 4;
  const int quarter = l >> 3;
  const float c4 = level[1];
  for (int b = 0; b < eighth; b += 4) {
    V8 w1;
    V8 w3;
    load_groups(level + 4 * b, w1, w3);
    stage_a_group(block, b, q, w1, w3, b == 0, false, c4);
    load_groups(level + 4 * (b + 1), w1, w3);
    stage_a_group(block, quarter - b - 4, q, mirror1(w1), mirror3(w3), false,
                  b + 4 == eighth, c4);
  }
}

// Four indices of a type-b stage from index j. If `first_plain`, j is 0
// and takes the e^(i pi/4) form, one product per component.
ORV_AVX2_INLINE void stage_b_group(float* a, int j, int q, V8 omega, V8 psi,
                                   V8 omega3, V8 chi, bool first_plain,
                                   float c4) {
  float* x0p = a + 2 * j;
  const V8 x0 = load8(x0p);
  const V8 x1 = load8(x0p + q);
  const V8 x2 = swap_pairs(load8(x0p + 2 * q));
  const V8 x3 = swap_pairs(load8(x0p + 3 * q));
  const V8 alpha = sub_add(x0, x2);
  const V8 gamma = add(x0, flip(x2, sign_imag()));
  const V8 beta = sub_add(x1, x3);
  const V8 delta = add(x1, flip(x3, sign_imag()));
  const V8 pa = multiply(omega, alpha);
  const V8 pb = multiply(psi, beta);
  const V8 pc = multiply(omega3, gamma);
  const V8 pd = multiply(chi, delta);
  V8 out0 = add(pa, pb);
  V8 out1 = sub(pa, pb);
  V8 out2 = add(pc, pd);
  V8 out3 = sub(pc, pd);
  if (first_plain) {
    // t = ((br - bi) c4, (bi + br) c4), s likewise from delta; the outputs
    // alpha +- t, gamma + i s and gamma - i s.
    const V8 c4v = _mm256_set1_ps(c4);
    const V8 t = mul(sub_add(beta, swap_pairs(beta)), c4v);
    const V8 s_swapped =
        swap_pairs(mul(sub_add(delta, swap_pairs(delta)), c4v));
    out0 = with_first(out0, add(alpha, t));
    out1 = with_first(out1, sub(alpha, t));
    out2 = with_first(out2, sub_add(gamma, s_swapped));
    out3 = with_first(out3, add(gamma, flip(s_swapped, sign_imag())));
  }
  store8(x0p, out0);
  store8(x0p + q, out1);
  store8(x0p + 2 * q, out2);
  store8(x0p + 3 * q, out3);
}

// Every index j takes omega^j and omega^(3j) from its own group and psi and
// chi from the group of its mirror N/4 - j (for j = 0 that is the group at
// N/4, read but not used); the eighth point takes its factors from cos and
// sin of pi/8 alone.
void middle_stage_b(int l, float* block, const float* level) {
  const int q = l >> 2;
  const int eighth = l >> 4;
  const int quarter = l >> 3;
  const float c4 = level[1];
  for (int j = 0; j < quarter; j += 4) {
    V8 omega;
    V8 omega3;
    V8 m1;
    V8 m3;
    load_groups(level + 4 * j, omega, omega3);
    load_groups(level + 4 * (quarter - j - 3), m1, m3);
    const V8 psi = reverse8(m1);
    V8 chi = negate(reverse8(m3));
    if (j == eighth) {
      const float c = level[4 * eighth];
      const float s = level[4 * eighth + 1];
      omega3 = with_first(omega3, _mm256_setr_ps(s, c, 0, 0, 0, 0, 0, 0));
      chi = with_first(chi, _mm256_setr_ps(-c, -s, 0, 0, 0, 0, 0, 0));
    }
    stage_b_group(block, j, q, omega, psi, omega3, chi, j == 0, c4);
  }
}

// ---------------------------------------------------------------------------
// Leaf kernels, two blocks at once: the lower 128 bits of every vector
// belong to the block at x, the upper to the block at y. x and y may be the
// same block (a kernel with no partner): both halves then compute and store
// the same values.

struct Pair {
  float* x;
  float* y;
};

ORV_AVX2_INLINE V8 load_pair(Pair p, int offset) {
  return _mm256_insertf128_ps(
      _mm256_castps128_ps256(_mm_loadu_ps(p.x + offset)),
      _mm_loadu_ps(p.y + offset), 1);
}
ORV_AVX2_INLINE void store_pair(Pair p, int offset, V8 v) {
  _mm_storeu_ps(p.x + offset, _mm256_castps256_ps128(v));
  _mm_storeu_ps(p.y + offset, _mm256_extractf128_ps(v, 1));
}
// A kernel's `count` registers of four floats per block: r[i] holds the
// floats from 4 i on.
template <int count>
ORV_AVX2_INLINE void load_kernel(Pair p, V8 (&r)[count]) {
#pragma GCC unroll 8
  for (int i = 0; i < count; ++i) r[i] = load_pair(p, 4 * i);
}
template <int count>
ORV_AVX2_INLINE void store_kernel(Pair p, const V8 (&r)[count]) {
#pragma GCC unroll 8
  for (int i = 0; i < count; ++i) store_pair(p, 4 * i, r[i]);
}

// Per 128-bit half, as the SSE2 kernels: movelh, movehl, the pair-wise
// lane select and sign masks over (x0r, x0i, x1r, x1i).
ORV_AVX2_INLINE V8 low_halves(V8 x, V8 y) { return low_units(x, y); }
ORV_AVX2_INLINE V8 high_halves(V8 x) { return high_units(x, x); }
ORV_AVX2_INLINE V8 lanes(V8 x, V8 y) { return _mm256_blend_ps(x, y, 0xCC); }
ORV_AVX2_INLINE V8 sign_upper() {
  return _mm256_castsi256_ps(_mm256_setr_epi32(0, 0, INT32_MIN, INT32_MIN, 0, 0,
                                               INT32_MIN, INT32_MIN));
}
ORV_AVX2_INLINE V8 sign_outer() {
  return _mm256_castsi256_ps(_mm256_setr_epi32(INT32_MIN, 0, 0, INT32_MIN,
                                               INT32_MIN, 0, 0, INT32_MIN));
}
// (x1i, x1r, x1i, x1r) per half.
ORV_AVX2_INLINE V8 upper_swapped(V8 x) {
  return _mm256_permute_ps(x, _MM_SHUFFLE(2, 3, 2, 3));
}
// (0, 0, r, i) per half.
ORV_AVX2_INLINE V8 upper_factor(float r, float i) {
  return _mm256_setr_ps(0, 0, r, i, 0, 0, r, i);
}

// 4-point transforms of types a and b on 8 floats held as (lo, hi), in
// place, bit-reversed output.
ORV_AVX2_INLINE void kernel4_a(V8& lo, V8& hi) {
  const V8 s = add(lo, hi);  // s0, s1
  const V8 d = sub(lo, hi);  // d0, d1
  lo = add(low_halves(s, s), flip(high_halves(s), sign_upper()));
  // u = (d0r - d1i, d0i + d1r), v = (d0r + d1i, d0i - d1r)
  hi = add(low_halves(d, d), flip(upper_swapped(d), sign_outer()));
}

ORV_AVX2_INLINE void kernel4_b(V8& lo, V8& hi_in, V8 c4) {
  const V8 hi = swap_pairs(hi_in);
  const V8 ab = sub_add(lo, hi);                 // alpha, beta
  const V8 gd = add(lo, flip(hi, sign_imag()));  // gamma, delta
  const V8 bd = high_units(ab, gd);              // beta, delta
  // t = ((br - bi) c4, (bi + br) c4), s likewise from delta
  const V8 ts = mul(sub_add(bd, swap_pairs(bd)), c4);
  lo = add(low_halves(ab, ab), flip(low_halves(ts, ts), sign_upper()));
  hi_in = add(low_halves(gd, gd), flip(upper_swapped(ts), sign_outer()));
}

// 2-point butterflies of types a and b on 4 floats.
ORV_AVX2_INLINE V8 butterfly2_a(V8 x) {
  return add(low_halves(x, x), flip(high_halves(x), sign_upper()));
}
ORV_AVX2_INLINE V8 butterfly2_b(V8 x) {
  return add(low_halves(x, x), flip(upper_swapped(x), sign_outer()));
}

// A type-a stage's indices 0 and 1 (or 2 and 3) from x0 .. x3: the sums
// into x0 and x1, u and v out.
ORV_AVX2_INLINE void pair_stage_a_sums(V8& x0, V8& x1, V8 x2, V8 x3, V8& u,
                                       V8& v) {
  const V8 s0 = add(x0, x2);
  const V8 d0 = sub(x0, x2);
  const V8 s1 = add(x1, x3);
  const V8 d1 = sub(x1, x3);
  x0 = add(s0, s1);
  x1 = sub(s0, s1);
  const V8 d1_swapped = swap_pairs(d1);
  u = sub_add(d0, d1_swapped);
  v = add(d0, flip(d1_swapped, sign_imag()));
}

// The factors omega, psi, omega^3 and chi of a type-b stage.
struct StageBFactors {
  LaneFactor omega;
  LaneFactor psi;
  LaneFactor omega3;
  LaneFactor chi;
};
ORV_AVX2_INLINE StageBFactors stage_b_factors(V8 omega, V8 psi, V8 omega3,
                                              V8 chi) {
  return {factor(omega), factor(psi), factor(omega3), factor(chi)};
}

// A type-b stage's indices 0 and 1: index 0 in its e^(i pi/4) form, index
// 1 twiddled with the factors in the upper values of f.
ORV_AVX2_INLINE void pair_stage_b_first(V8& x0, V8& x1, V8& x2_in, V8& x3_in,
                                        V8 c4, const StageBFactors& f) {
  const V8 x2 = swap_pairs(x2_in);
  const V8 x3 = swap_pairs(x3_in);
  const V8 alpha = sub_add(x0, x2);
  const V8 gamma = add(x0, flip(x2, sign_imag()));
  const V8 beta = sub_add(x1, x3);
  const V8 delta = add(x1, flip(x3, sign_imag()));
  const V8 t = mul(sub_add(beta, swap_pairs(beta)), c4);
  const V8 sd = swap_pairs(mul(sub_add(delta, swap_pairs(delta)), c4));
  const V8 pa = multiply(f.omega, alpha);
  const V8 pb = multiply(f.psi, beta);
  const V8 pc = multiply(f.omega3, gamma);
  const V8 pd = multiply(f.chi, delta);
  x0 = lanes(add(alpha, t), add(pa, pb));
  x1 = lanes(sub(alpha, t), sub(pa, pb));
  x2_in = lanes(sub_add(gamma, sd), add(pc, pd));
  x3_in = lanes(add(gamma, flip(sd, sign_imag())), sub(pc, pd));
}

// A type-b stage's indices 2 and 3 (both twiddled).
ORV_AVX2_INLINE void pair_stage_b_twiddled(V8& x0, V8& x1, V8& x2_in, V8& x3_in,
                                           const StageBFactors& f) {
  const V8 x2 = swap_pairs(x2_in);
  const V8 x3 = swap_pairs(x3_in);
  const V8 alpha = sub_add(x0, x2);
  const V8 gamma = add(x0, flip(x2, sign_imag()));
  const V8 beta = sub_add(x1, x3);
  const V8 delta = add(x1, flip(x3, sign_imag()));
  const V8 pa = multiply(f.omega, alpha);
  const V8 pb = multiply(f.psi, beta);
  const V8 pc = multiply(f.omega3, gamma);
  const V8 pd = multiply(f.chi, delta);
  x0 = add(pa, pb);
  x1 = sub(pa, pb);
  x2_in = add(pc, pd);
  x3_in = sub(pc, pd);
}

// The factors of the leaf kernels, the same for every block of a length:
// formed once per transform rather than once per kernel.
struct LeafFactors {
  float a_c4;  // type a: c4 and -c4 everywhere
  float a_minus_c4;
  LaneFactor a_cs;  // 16 points, type a: (c, s), (s, c) and (-c, -s) in the
  LaneFactor a_sc;  // upper values, W^1 = c + i s
  LaneFactor a_minus_cs;
  float b_c4;                // type b: c4 everywhere
  StageBFactors b_first;     // indices 0 and 1 of a type-b kernel
  StageBFactors b_twiddled;  // indices 2 and 3 (16 points)
};

// kernel_length: 16 or 8 points; level_a, level_b: the twiddle levels of
// the type-a and type-b kernels.
LeafFactors leaf_factors(int kernel_length, const float* level_a,
                         const float* level_b) {
  LeafFactors f;
  const float c4 = level_a[1];
  f.a_c4 = c4;
  f.a_minus_c4 = -c4;
  f.b_c4 = level_b[1];
  if (kernel_length == 16) {
    // W^1 = e^(i pi/8) from the stored cos(pi/8) - sin(pi/8).
    const float k = level_a[2];
    const float s = k * c4;
    const float c = k + s;
    f.a_cs = factor(upper_factor(c, s));
    f.a_sc = factor(upper_factor(s, c));
    f.a_minus_cs = factor(upper_factor(-c, -s));
    const float c1 = level_b[4], s1 = level_b[5], c3 = level_b[6],
                s3 = level_b[7];
    // Index 2 is the eighth point, from cos and sin of pi/8.
    const float c8 = level_b[8], s8 = level_b[9];
    f.b_first = stage_b_factors(upper_factor(c1, s1), upper_factor(s3, c3),
                                upper_factor(c3, s3), upper_factor(-c1, s1));
    f.b_twiddled =
        stage_b_factors(_mm256_setr_ps(c8, s8, c3, s3, c8, s8, c3, s3),
                        _mm256_setr_ps(s8, c8, s1, c1, s8, c8, s1, c1),
                        _mm256_setr_ps(s8, c8, -s1, c1, s8, c8, -s1, c1),
                        _mm256_setr_ps(-c8, -s8, -s3, -c3, -c8, -s8, -s3, -c3));
  } else {
    const float c = level_b[4], s = level_b[5];
    f.a_cs = f.a_sc = f.a_minus_cs = factor(_mm256_setzero_ps());
    f.b_first = stage_b_factors(upper_factor(c, s), upper_factor(s, c),
                                upper_factor(s, c), upper_factor(-c, -s));
    f.b_twiddled = f.b_first;
  }
  return f;
}

void kernel16_a_pair(Pair p, const LeafFactors& f) {
  // r[2i] holds indices 0 and 1 of quarter i, r[2i + 1] indices 2 and 3.
  V8 r[8];
  load_kernel(p, r);
  V8 u;
  V8 v;
  pair_stage_a_sums(r[0], r[2], r[4], r[6], u, v);
  r[4] = lanes(u, multiply(f.a_cs, u));
  r[6] = lanes(v, multiply(f.a_sc, v));
  pair_stage_a_sums(r[1], r[3], r[5], r[7], u, v);
  // Index 2 is the eighth point; index 3 takes the mirrored twiddles of
  // index 1.
  r[5] = lanes(eighth_point_u(u, _mm256_set1_ps(f.a_c4)), multiply(f.a_sc, u));
  r[7] = lanes(eighth_point_v(v, _mm256_set1_ps(f.a_minus_c4)),
               multiply(f.a_minus_cs, v));
  kernel4_a(r[0], r[1]);
  kernel4_b(r[2], r[3], _mm256_set1_ps(f.a_c4));
  kernel4_a(r[4], r[5]);
  kernel4_a(r[6], r[7]);
  store_kernel(p, r);
}

void kernel16_b_pair(Pair p, const LeafFactors& f) {
  const V8 c4v = _mm256_set1_ps(f.b_c4);
  V8 r[8];
  load_kernel(p, r);
  pair_stage_b_first(r[0], r[2], r[4], r[6], c4v, f.b_first);
  pair_stage_b_twiddled(r[1], r[3], r[5], r[7], f.b_twiddled);
  kernel4_a(r[0], r[1]);
  kernel4_b(r[2], r[3], c4v);
  kernel4_a(r[4], r[5]);
  kernel4_b(r[6], r[7], c4v);
  store_kernel(p, r);
}

void kernel8_a_pair(Pair p, const LeafFactors& f) {
  V8 r[4];
  load_kernel(p, r);
  V8 u;
  V8 v;
  pair_stage_a_sums(r[0], r[1], r[2], r[3], u, v);
  // Index 1 is the eighth point: one product per component.
  r[2] = lanes(u, eighth_point_u(u, _mm256_set1_ps(f.a_c4)));
  r[3] = lanes(v, eighth_point_v(v, _mm256_set1_ps(f.a_minus_c4)));
  r[0] = butterfly2_a(r[0]);
  r[1] = butterfly2_b(r[1]);
  r[2] = butterfly2_a(r[2]);
  r[3] = butterfly2_a(r[3]);
  store_kernel(p, r);
}

void kernel8_b_pair(Pair p, const LeafFactors& f) {
  V8 r[4];
  load_kernel(p, r);
  pair_stage_b_first(r[0], r[1], r[2], r[3], _mm256_set1_ps(f.b_c4), f.b_first);
  r[0] = butterfly2_a(r[0]);
  r[1] = butterfly2_b(r[1]);
  r[2] = butterfly2_a(r[2]);
  r[3] = butterfly2_b(r[3]);
  store_kernel(p, r);
}

// The leaves of a block of l = 4q floats whose four quarters (q = 64 or
// 128 floats, of the types given) have had their stages. Each quarter owes
// kernels of types a, b, a, a (type-a quarter) or a, b, a, b (type-b) on
// its sub-blocks of q / 4 floats; kernels of the same type are paired,
// quarters of the same type first.
struct Leaves {
  int s;  // sub-block length in floats: 32 (16-point) or 16 (8-point)
  LeafFactors f;

  void a(float* x, float* y) const {
    if (s == 32) {
      kernel16_a_pair({x, y}, f);
    } else {
      kernel8_a_pair({x, y}, f);
    }
  }
  void b(float* x, float* y) const {
    if (s == 32) {
      kernel16_b_pair({x, y}, f);
    } else {
      kernel8_b_pair({x, y}, f);
    }
  }
  // Two quarters of the same type, side by side.
  void same_quarters(float* x, float* y, bool type_b) const {
    a(x, y);
    b(x + s, y + s);
    a(x + 2 * s, y + 2 * s);
    if (type_b) {
      b(x + 3 * s, y + 3 * s);
    } else {
      a(x + 3 * s, y + 3 * s);
    }
  }
  // A type-a quarter at x and a type-b quarter at y.
  void mixed_quarters(float* x, float* y) const {
    a(x, y);
    b(x + s, y + s);
    a(x + 2 * s, y + 2 * s);
    a(x + 3 * s, x + 3 * s);
    b(y + 3 * s, y + 3 * s);
  }
};

// ---------------------------------------------------------------------------
// Bit reversal in blocks of 4 x 4 values. With b = log2(N) >= 5, write an
// index as (h, m, l): h its two high bits, l its two low bits, m the b - 4
// bits between. Its reversal is (rev l, rev m, rev h), so the 16 values
// with a given m (four rows h of four neighbours l, one vector each) go to
// the block of rev m, value (h, l) to row rev l, column rev h: a transpose
// with rows and columns taken in the order 0, 2, 1, 3. Blocks are
// exchanged in pairs (m, rev m), or transposed in place when m = rev m. A
// permutation, so no value changes.

// Rows x0 .. x3 (h = 0 .. 3) become the rows of the target block.
ORV_AVX2_INLINE void reverse_block(V8& x0, V8& x1, V8& x2, V8& x3) {
  // Columns in the order h = 0, 2, 1, 3.
  const V8 t0 = low_units(x0, x2);   // (0,0) (2,0) | (0,2) (2,2)
  const V8 t1 = high_units(x0, x2);  // (0,1) (2,1) | (0,3) (2,3)
  const V8 t2 = low_units(x1, x3);   // (1,0) (3,0) | (1,2) (3,2)
  const V8 t3 = high_units(x1, x3);  // (1,1) (3,1) | (1,3) (3,3)
  // Row rev l holds the values with low bits l.
  x0 = _mm256_permute2f128_ps(t0, t2, 0x20);  // l = 0
  x2 = _mm256_permute2f128_ps(t1, t3, 0x20);  // l = 1
  x1 = _mm256_permute2f128_ps(t0, t2, 0x31);  // l = 2
  x3 = _mm256_permute2f128_ps(t1, t3, 0x31);  // l = 3
}

void bit_reverse_blocks(int n, float* a) {
  int bits = 0;
  while ((2 << bits) < n) ++bits;  // N = n / 2 = 2^bits values
  const int middle_bits = bits - 4;
  const int row = n >> 2;  // floats between the rows h and h + 1
  const int blocks = 1 << middle_bits;
  const int top = blocks >> 1;
  // r = rev m, counted up with the carry running from the top bit down.
  for (int m = 0, r = 0; m < blocks; ++m) {
    if (m > 0) {
      int bit = top;
      while ((r & bit) != 0) {
        r ^= bit;
        bit >>= 1;
      }
      r |= bit;
    }
    if (r < m) continue;
    float* x = a + 8 * m;
    float* y = a + 8 * r;
    V8 x0 = load8(x), x1 = load8(x + row), x2 = load8(x + 2 * row),
       x3 = load8(x + 3 * row);
    reverse_block(x0, x1, x2, x3);
    if (r != m) {
      V8 y0 = load8(y), y1 = load8(y + row), y2 = load8(y + 2 * row),
         y3 = load8(y + 3 * row);
      reverse_block(y0, y1, y2, y3);
      store8(x, y0);
      store8(x + row, y1);
      store8(x + 2 * row, y2);
      store8(x + 3 * row, y3);
    }
    store8(y, x0);
    store8(y + row, x1);
    store8(y + 2 * row, x2);
    store8(y + 3 * row, x3);
  }
}

// The stages four indices at a time, the leaves two blocks at a time with
// the factors of the transform's length, worked out once per transform.
struct Avx2Steps {
  Leaves leaf_kernels;

  explicit Avx2Steps(const LeafLevels& levels, int q)
      : leaf_kernels{q >> 2,
                     leaf_factors(q == 128 ? 16 : 8, levels.a, levels.b)} {}

  void first_stage(int n, float* a, const float* level) const {
    ::orv::vlkdec::first_stage(n, a, level);
  }
  void middle_stage_a(int l, float* block, const float* level) const {
    ::orv::vlkdec::middle_stage_a(l, block, level);
  }
  void middle_stage_b(int l, float* block, const float* level) const {
    ::orv::vlkdec::middle_stage_b(l, block, level);
  }
  // Kernels of the same type in pairs, quarters of the same type first.
  void leaves(const LeafQuarters& quarters) const {
    float* x = quarters.block;
    const int q = quarters.q;
    const int s = leaf_kernels.s;
    if (quarters.count == 1) {
      // One type-a quarter: kernels a, b, a, a.
      leaf_kernels.a(x, x + 2 * s);
      leaf_kernels.b(x + s, x + s);
      leaf_kernels.a(x + 3 * s, x + 3 * s);
      return;
    }
    leaf_kernels.same_quarters(x, x + 2 * q, false);
    if (quarters.last_type_b) {
      leaf_kernels.same_quarters(x + q, x + 3 * q, true);
    } else {
      leaf_kernels.mixed_quarters(x + 3 * q, x + q);
    }
  }
  void bit_reverse(int n, float* a) const { bit_reverse_blocks(n, a); }
};

}  // namespace

void complex_fft_forward_avx2(int n, float* a, int nw, const float* w) {
  if (n <= 32) {
    // Too short for four-wide stages; the kernels alone are scalar
    // everywhere.
    complex_fft_forward_portable(n, a, nw, w);
    return;
  }
  const int q = leaf_quarter_length(n);
  walk_fft(Avx2Steps(leaf_levels(q, nw, w), q), n, a, nw, w);
}

}  // namespace orv::vlkdec
