// The inverse DCT's passes with 256-bit vectors, around the AVX2 FFT
// (x86/avx2.h for the rules that keep the bits the portable code's).
#include "transform/dct_passes.h"
#include "transform/fft.h"
#include "x86/avx2.h"
#include "x86/x86.h"

namespace orv::vlkdec {
namespace {

// The passes take eight floats per step, then the scalar code takes what is
// left.

// p[0], p[step], ..., p[7 step].
ORV_AVX2_INLINE V8 load_strided(const float* p, int step) {
  if (step == 1) return load8(p);
  if (step == 2) {
    const V8 even =
        _mm256_shuffle_ps(load8(p), load8(p + 8), _MM_SHUFFLE(2, 0, 2, 0));
    return _mm256_castpd_ps(
        _mm256_permute4x64_pd(_mm256_castps_pd(even), _MM_SHUFFLE(3, 1, 2, 0)));
  }
  if (step > 4) {
    return _mm256_setr_ps(p[0], p[step], p[2 * step], p[3 * step], p[4 * step],
                          p[5 * step], p[6 * step], p[7 * step]);
  }
  // step 4: the vectors at p, p + 7, p + 14 and p + 21 hold p[0], p[8],
  // p[16], p[24] in lanes 0 to 3 and p[4], p[12], p[20], p[28] in lanes 4
  // to 7, one pair each. Blends gather them (the shuffle port stays free
  // for the data) and one permutation puts them in order.
  const V8 gathered = _mm256_blend_ps(
      _mm256_blend_ps(_mm256_blend_ps(load8(p), load8(p + 7), 0x22),
                      load8(p + 14), 0x44),
      load8(p + 21), 0x88);
  return _mm256_permutevar8x32_ps(gathered,
                                  _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}
// p[0], p[-step], ..., p[-7 step].
ORV_AVX2_INLINE V8 load_strided_down(const float* p, int step) {
  if (step == 1) return reverse8(load8(p - 7));
  if (step == 2) {
    const V8 odd =
        _mm256_shuffle_ps(load8(p - 15), load8(p - 7), _MM_SHUFFLE(3, 1, 3, 1));
    return reverse8(_mm256_castpd_ps(
        _mm256_permute4x64_pd(_mm256_castps_pd(odd), _MM_SHUFFLE(3, 1, 2, 0))));
  }
  if (step > 4) {
    return _mm256_setr_ps(p[0], p[-step], p[-2 * step], p[-3 * step],
                          p[-4 * step], p[-5 * step], p[-6 * step],
                          p[-7 * step]);
  }
  // step 4, mirrored: the vectors at p - 7, p - 14, p - 21 and p - 28 give
  // p[0] and p[-4], p[-8] and p[-12], p[-16] and p[-20], p[-24] and p[-28].
  const V8 gathered = _mm256_blend_ps(
      _mm256_blend_ps(_mm256_blend_ps(load8(p - 7), load8(p - 14), 0x44),
                      load8(p - 21), 0x22),
      load8(p - 28), 0x11);
  return _mm256_permutevar8x32_ps(gathered,
                                  _mm256_setr_epi32(7, 3, 6, 2, 5, 1, 4, 0));
}

// The twiddle pass's groups (dct_passes.h): lanes j .. j + 7 and their
// mirrors n - j .. n - j - 7.
struct Avx2Groups {
  static constexpr bool vector = true;
  static int twiddle_groups(int n, float* a, int table_length, const float* c);
};

int Avx2Groups::twiddle_groups(int n, float* a, int table_length,
                               const float* c) {
  const int m = n >> 1;
  const int step = table_length / n;
  int j = 1;
  for (; j + 7 < m; j += 8) {
    const int idx = j * step;
    const int k = n - j;
    const V8 cos_half = load_strided(c + idx, step);
    const V8 sin_half = load_strided_down(c + table_length - idx, step);
    const V8 wr = sub(cos_half, sin_half);
    const V8 wi = add(cos_half, sin_half);
    const V8 x = load8(a + j);
    const V8 y = reverse8(load8(a + k - 7));
    const V8 t = sub(mul(wi, x), mul(wr, y));
    store8(a + j, add(mul(wr, x), mul(wi, y)));
    store8(a + k - 7, reverse8(t));
  }
  return j;
}

// Per (re, im) pair: (re - im, im + re), the sum's operands swapped.
ORV_AVX2_INLINE V8 pair_butterflies(V8 x) { return sub_add(x, swap_pairs(x)); }

// Turns the complex FFT of the n/2 values into the spectrum of the real
// sequence of n values (a[0], a[1] and the middle pair stay as they are),
// then takes the butterflies of neighbours, each result moved down by one
// place: a[j - 1] = a[j] - a[j + 1], a[j] = a[j] + a[j + 1] for even j,
// a[0] = a[0] + a[1] and a[n - 1] = a[0] - a[1].
//
// One walk does both: a group of pairs is final once the split has made it,
// so its butterflies follow at once. The lower side walks up and writes
// below what it reads next. The upper side walks down, and its lowest
// result lands on the odd float of the pair it reads next, so that group is
// loaded before the store. (Keeping the float back in a register instead,
// to make the stores aligned, costs more in shuffles than the aligned
// stores save.)
void real_split_butterflies(int n, float* a, int table_length, const float* c) {
  const int m = n >> 1;
  const int step = 2 * table_length / m;
  const __m256i duplicate = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
  const __m256i up_order = _mm256_setr_epi32(0, 0, 4, 4, 3, 3, 7, 7);
  const __m256i down_order = _mm256_setr_epi32(7, 7, 3, 3, 4, 4, 0, 0);
  const __m256i down_duplicate = _mm256_setr_epi32(7, 7, 6, 6, 5, 5, 4, 4);
  const float difference0 = a[0] - a[1];
  a[0] = a[0] + a[1];
  int j = 2;
  // The complex values at j .. j + 6 and their mirrors at n - j .. n - j - 6
  // (floats n - j - 6 .. n - j + 1, loaded one step ahead).
  V8 upper_in = load8(a + n - 8);
  for (; j + 6 < m; j += 8) {
    const int k = n - j;
    const int idx = (j >> 1) * step;
    const float* up = c + idx;
    const float* down = c + table_length - idx;
    V8 wr;
    V8 wi;
    if (step == 4) {
      // up[0], up[4], up[8], up[12] are lanes 0 and 4 of the vectors at up
      // and up + 5 (lanes 3 and 7 of the latter); down[0], down[-4],
      // down[-8], down[-12] lanes 7 and 3 of the vector at down - 7 and
      // lanes 4 and 0 of the one at down - 12. A blend and one permutation
      // each, which keeps the shuffle units free for the data.
      wi = _mm256_permutevar8x32_ps(
          _mm256_blend_ps(load8(up), load8(up + 5), 0x88), up_order);
      wr = sub(_mm256_set1_ps(0.5f),
               _mm256_permutevar8x32_ps(
                   _mm256_blend_ps(load8(down - 7), load8(down - 12), 0x11),
                   down_order));
    } else if (step == 16) {
      // Likewise for n = 512: up[i step] is lane i of the vector at
      // up + i (step - 1), down[-i step] lane 7 - i of the one at
      // down - 7 - i (step - 1). Every load stays within the cosine part:
      // up + 3 step + 4 and down - 3 step - 4 lie inside it for every group
      // of the vector walk. (At step 8 the same gathering measured no
      // faster than the one below.)
      const int s = step - 1;
      wi = _mm256_permutevar8x32_ps(
          _mm256_blend_ps(
              _mm256_blend_ps(_mm256_blend_ps(load8(up), load8(up + s), 0x02),
                              load8(up + 2 * s), 0x04),
              load8(up + 3 * s), 0x08),
          duplicate);
      wr = sub(
          _mm256_set1_ps(0.5f),
          _mm256_permutevar8x32_ps(
              _mm256_blend_ps(
                  _mm256_blend_ps(_mm256_blend_ps(load8(down - 7),
                                                  load8(down - 7 - s), 0x40),
                                  load8(down - 7 - 2 * s), 0x20),
                  load8(down - 7 - 3 * s), 0x10),
              down_duplicate));
    } else {
      const __m128 wkr = _mm_sub_ps(
          _mm_set1_ps(0.5f),
          _mm_setr_ps(down[0], down[-step], down[-2 * step], down[-3 * step]));
      const __m128 wki =
          _mm_setr_ps(up[0], up[step], up[2 * step], up[3 * step]);
      wr = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(wkr), duplicate);
      wi = _mm256_permutevar8x32_ps(_mm256_castps128_ps256(wki), duplicate);
    }
    const V8 x_j = load8(a + j);
    const V8 x_k = reverse_values(upper_in);
    const V8 x = sub_add(x_j, x_k);
    // (wkr * xr - wki * xi, wkr * xi + wki * xr)
    const V8 y = sub_add(mul(wr, x), mul(wi, swap_pairs(x)));
    // Pair k's results go to floats k - 1 and k, so the reversed values
    // put the upper results in memory order from float k - 7.
    const V8 lower = pair_butterflies(sub(x_j, y));
    const V8 upper =
        reverse_values(pair_butterflies(add(x_k, flip(y, sign_imag()))));
    upper_in = load8(a + k - 14);
    store8(a + j - 1, lower);
    store8(a + k - 7, upper);
  }
  // The pairs between the two sides: split, then butterflies in rising
  // order. The float at n - j + 1 already holds its result; the split of
  // pair n - j still needs the value it replaced, which the last load kept.
  // a[n - 1], the odd float of the first upper pair, is written last.
  const int rest = j;
  float last_result = difference0;
  if (rest > 2) {
    last_result = a[n - rest + 1];
    a[n - rest + 1] = _mm_cvtss_f32(_mm_permute_ps(
        _mm256_extractf128_ps(upper_in, 1), _MM_SHUFFLE(3, 3, 3, 3)));
  }
  for (; j < m; j += 2) {
    real_split_pair(n, a, j, step, table_length, c);
  }
  for (int p = rest; p <= n - rest; p += 2) {
    a[p - 1] = a[p] - a[p + 1];
    a[p] = a[p] + a[p + 1];
  }
  a[n - rest + 1] = last_result;
  a[n - 1] = difference0;
}

// The scalar steps of dct_passes.h alone, for the butterflies of n = 2 and
// 4, which have no split.
struct ScalarGroups {
  static constexpr bool vector = false;
};

}  // namespace

void inverse_dct_avx2(int n, float* a, int table_length, const float* table) {
  const int nw = table_length >> 2;
  const float* c = table + nw;
  dct_twiddle_pass<Avx2Groups>(n, a, table_length, c);
  if (n > 4) {
    complex_fft_forward_avx2(n, a, nw, table);
    real_split_butterflies(n, a, table_length, c);
    return;
  }
  if (n == 4) complex_fft_forward_portable(4, a, nw, table);
  neighbour_butterflies<ScalarGroups>(n, a);
}

}  // namespace orv::vlkdec
