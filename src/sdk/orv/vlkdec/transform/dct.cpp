// Unscaled inverse DCT (type III) on a complex FFT of half the length.
//
// Like the FFT, every operation is rounded to single precision in the order
// and grouping written here; the results are defined bit for bit.
#include "transform/dct.h"

#include <cstdint>

#include "transform/cpu_features.h"
#include "transform/fft.h"
#include "transform/simd.h"
#include "transform/transform_avx2.h"

#if ORV_TRANSFORM_SSE2
#include <emmintrin.h>
#endif

namespace orv::vlkdec {
namespace {

#if ORV_TRANSFORM_SSE2
// Four (or two complex) neighbouring indices at once, each lane with the
// scalar code's operations in its order (see fft.cpp).
using Vec = __m128;

inline Vec reverse(Vec x) {
  return _mm_shuffle_ps(x, x, _MM_SHUFFLE(0, 1, 2, 3));
}
inline Vec swap_halves(Vec x) {
  return _mm_shuffle_ps(x, x, _MM_SHUFFLE(1, 0, 3, 2));
}
inline Vec sign_real() {
  return _mm_castsi128_ps(_mm_set_epi32(0, INT32_MIN, 0, INT32_MIN));
}
inline Vec sign_imag() {
  return _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, INT32_MIN, 0));
}
#endif

// Rotates each mirror pair (a[j], a[n - j]) by the angle pi j / 2n; c[idx]
// and c[L - idx] hold half its cosine and sine.
template <bool Vector>
void dct_twiddle_pass(int n, float* a, int table_length, const float* c) {
  const int m = n >> 1;
  const int step = table_length / n;
  int j = 1;
#if ORV_TRANSFORM_SSE2
  if (Vector) {
    // Lanes j .. j + 3 and their mirrors n - j .. n - j - 3.
    for (; j + 3 < m; j += 4) {
      const int idx = j * step;
      const int k = n - j;
      const float* up = c + idx;
      const float* down = c + table_length - idx;
      Vec cos_half;
      Vec sin_half;
      if (step == 1) {
        cos_half = _mm_loadu_ps(up);
        sin_half = reverse(_mm_loadu_ps(down - 3));
      } else {
        cos_half = _mm_setr_ps(up[0], up[step], up[2 * step], up[3 * step]);
        sin_half =
            _mm_setr_ps(down[0], down[-step], down[-2 * step], down[-3 * step]);
      }
      const Vec wr = _mm_sub_ps(cos_half, sin_half);
      const Vec wi = _mm_add_ps(cos_half, sin_half);
      const Vec x = _mm_loadu_ps(a + j);
      const Vec y = reverse(_mm_loadu_ps(a + k - 3));
      const Vec t = _mm_sub_ps(_mm_mul_ps(wi, x), _mm_mul_ps(wr, y));
      _mm_storeu_ps(a + j, _mm_add_ps(_mm_mul_ps(wr, x), _mm_mul_ps(wi, y)));
      _mm_storeu_ps(a + k - 3, reverse(t));
    }
  }
#endif
  for (; j < m; ++j) {
    const int k = n - j;
    const int idx = j * step;
    const float wr = c[idx] - c[table_length - idx];
    const float wi = c[idx] + c[table_length - idx];
    const float t = wi * a[j] - wr * a[k];
    a[j] = wr * a[j] + wi * a[k];
    a[k] = t;
  }
  a[m] = a[m] * c[0];
}

// Turns the complex FFT of the n/2 values into the spectrum of the real
// sequence of n values; a[0], a[1] and the middle pair stay as they are.
template <bool Vector>
void real_split_forward(int n, float* a, int table_length, const float* c) {
  const int m = n >> 1;
  const int step = 2 * table_length / m;
  int j = 2;
#if ORV_TRANSFORM_SSE2
  if (Vector) {
    // The complex values at j and j + 2, and their mirrors at n - j and
    // n - j - 2.
    for (; j + 2 < m; j += 4) {
      const int k = n - j;
      const int idx = (j >> 1) * step;
      const Vec w =
          _mm_setr_ps(0.5f - c[table_length - idx], c[idx],
                      0.5f - c[table_length - idx - step], c[idx + step]);
      const Vec x_j = _mm_loadu_ps(a + j);
      const Vec x_k = swap_halves(_mm_loadu_ps(a + k - 2));
      const Vec x = _mm_add_ps(x_j, _mm_xor_ps(x_k, sign_real()));
      // (wkr * xr - wki * xi, wkr * xi + wki * xr)
      const Vec wr = _mm_shuffle_ps(w, w, _MM_SHUFFLE(2, 2, 0, 0));
      const Vec wi = _mm_shuffle_ps(w, w, _MM_SHUFFLE(3, 3, 1, 1));
      const Vec x_swapped = _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1));
      const Vec y =
          _mm_add_ps(_mm_mul_ps(wr, x),
                     _mm_xor_ps(_mm_mul_ps(wi, x_swapped), sign_real()));
      _mm_storeu_ps(a + j, _mm_sub_ps(x_j, y));
      _mm_storeu_ps(a + k - 2,
                    swap_halves(_mm_add_ps(x_k, _mm_xor_ps(y, sign_imag()))));
    }
  }
#endif
  for (; j < m; j += 2) {
    const int k = n - j;
    const int idx = (j >> 1) * step;
    const float wkr = 0.5f - c[table_length - idx];
    const float wki = c[idx];
    const float xr = a[j] - a[k];
    const float xi = a[j + 1] + a[k + 1];
    const float yr = wkr * xr - wki * xi;
    const float yi = wkr * xi + wki * xr;
    a[j] = a[j] - yr;
    a[j + 1] = a[j + 1] - yi;
    a[k] = a[k] + yr;
    a[k + 1] = a[k + 1] - yi;
  }
}

// Butterflies of neighbours, each result moved down by one place.
template <bool Vector>
void neighbour_butterflies(int n, float* a) {
  const float xr = a[0] - a[1];
  a[0] = a[0] + a[1];
  int j = 2;
#if ORV_TRANSFORM_SSE2
  if (Vector) {
    // Four pairs read at a time, written one place down; what a group
    // writes lies below what the next group reads.
    for (; j + 8 <= n; j += 8) {
      const Vec lo = _mm_loadu_ps(a + j);
      const Vec hi = _mm_loadu_ps(a + j + 4);
      const Vec even = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
      const Vec odd = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
      const Vec sum = _mm_add_ps(even, odd);
      const Vec difference = _mm_sub_ps(even, odd);
      _mm_storeu_ps(a + j - 1, _mm_unpacklo_ps(difference, sum));
      _mm_storeu_ps(a + j + 3, _mm_unpackhi_ps(difference, sum));
    }
  }
#endif
  for (; j < n; j += 2) {
    a[j - 1] = a[j] - a[j + 1];
    a[j] = a[j] + a[j + 1];
  }
  a[n - 1] = xr;
}

template <bool Vector>
void transform(int n, float* a, int table_length, const float* table) {
  const int nw = table_length >> 2;
  const float* c = table + nw;
  dct_twiddle_pass<Vector>(n, a, table_length, c);
  if (n > 4) {
    if (Vector) {
      complex_fft_forward(n, a, nw, table);
    } else {
      complex_fft_forward_portable(n, a, nw, table);
    }
    real_split_forward<Vector>(n, a, table_length, c);
  } else if (n == 4) {
    complex_fft_forward_portable(4, a, nw, table);
  }
  neighbour_butterflies<Vector>(n, a);
}

}  // namespace

void inverse_dct(int n, float* a, int table_length, const float* table) {
#if ORV_TRANSFORM_AVX2
  if ((cpu_features() & cpu_avx2) != 0) {
    inverse_dct_avx2(n, a, table_length, table);
    return;
  }
#endif
  transform<ORV_TRANSFORM_SSE2 != 0>(n, a, table_length, table);
}

void inverse_dct_portable(int n, float* a, int table_length,
                          const float* table) {
  transform<false>(n, a, table_length, table);
}

}  // namespace orv::vlkdec
