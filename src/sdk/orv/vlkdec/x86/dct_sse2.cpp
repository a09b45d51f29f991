// The inverse DCT's passes with SSE2: four (or two complex) neighbouring
// indices at once, each lane with the scalar code's operations in its
// order (x86/sse2.h), around the SSE2 FFT.
#include "transform/dct_passes.h"
#include "x86/sse2.h"
#include "x86/x86.h"

namespace orv::vlkdec {
namespace {

struct Sse2Groups {
  static constexpr bool vector = true;

  static void fft(int n, float* a, int nw, const float* w) {
    complex_fft_forward_sse2(n, a, nw, w);
  }

  // Lanes j .. j + 3 and their mirrors n - j .. n - j - 3.
  static int twiddle_groups(int n, float* a, int table_length, const float* c) {
    const int m = n >> 1;
    const int step = table_length / n;
    int j = 1;
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
    return j;
  }

  // The complex values at j and j + 2, and their mirrors at n - j and
  // n - j - 2.
  static int real_split_groups(int n, float* a, int table_length,
                               const float* c) {
    const int m = n >> 1;
    const int step = 2 * table_length / m;
    int j = 2;
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
      const Vec y = multiply(w, x);
      _mm_storeu_ps(a + j, _mm_sub_ps(x_j, y));
      _mm_storeu_ps(a + k - 2,
                    swap_halves(_mm_add_ps(x_k, _mm_xor_ps(y, sign_imag()))));
    }
    return j;
  }

  // Four pairs read at a time, written one place down; what a group writes
  // lies below what the next group reads.
  static int neighbour_groups(int n, float* a) {
    int j = 2;
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
    return j;
  }
};

}  // namespace

void inverse_dct_sse2(int n, float* a, int table_length, const float* table) {
  dct<Sse2Groups>(n, a, table_length, table);
}

}  // namespace orv::vlkdec
