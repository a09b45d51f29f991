// Unscaled inverse DCT (type III) on a complex FFT of half the length.
//
// Like the FFT, every operation is rounded to single precision in the order
// and grouping written here; the results are defined bit for bit.
#include "transform/dct.h"

#include "transform/fft.h"

namespace orv::vlkdec {
namespace {

// Rotates each mirror pair (a[j], a[n - j]) by the angle pi j / 2n; c[idx]
// and c[L - idx] hold half its cosine and sine.
void dct_twiddle_pass(int n, float* a, int table_length, const float* c) {
  const int m = n >> 1;
  const int step = table_length / n;
  int idx = 0;
  for (int j = 1; j < m; ++j) {
    const int k = n - j;
    idx += step;
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
void real_split_forward(int n, float* a, int table_length, const float* c) {
  const int m = n >> 1;
  const int step = 2 * table_length / m;
  int idx = 0;
  for (int j = 2; j < m; j += 2) {
    const int k = n - j;
    idx += step;
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

}  // namespace

void inverse_dct(int n, float* a, int table_length, const float* table) {
  const int nw = table_length >> 2;
  const float* c = table + nw;
  dct_twiddle_pass(n, a, table_length, c);
  if (n > 4) {
    complex_fft_forward(n, a, nw, table);
    real_split_forward(n, a, table_length, c);
  } else if (n == 4) {
    complex_fft_forward(4, a, nw, table);
  }
  // Butterflies of neighbours, each result moved down by one place.
  const float xr = a[0] - a[1];
  a[0] = a[0] + a[1];
  for (int j = 2; j < n; j += 2) {
    a[j - 1] = a[j] - a[j + 1];
    a[j] = a[j] + a[j + 1];
  }
  a[n - 1] = xr;
}

}  // namespace orv::vlkdec
