// The passes of the inverse DCT around its complex FFT, shared by the
// portable code and the variants (the AVX2 one takes only the twiddle
// pass, merging the others into one). `Groups` supplies the FFT and says
// whether it also runs groups of neighbouring indices with vectors
// (Groups::vector); the indices it leaves, and every pass of the portable
// code, take the scalar steps written here.
//
// Groups, when vector is true, provides twiddle_groups(n, a, table_length,
// c), real_split_groups(n, a, table_length, c) and neighbour_groups(n, a):
// each runs the pass's indices from its first on while a whole group fits
// and returns the first index it left. Always fft(n, a, nw, w).
//
// Like the FFT, every operation is rounded to single precision in the order
// and grouping written here; the results are defined bit for bit.
#ifndef ORV_VLKDEC_TRANSFORM_DCT_PASSES_H
#define ORV_VLKDEC_TRANSFORM_DCT_PASSES_H

#include "transform/fft.h"

namespace orv::vlkdec {
namespace {

// One step of the real split: the pairs at j and n - j, for the split's
// table step. The variants run it for the indices their groups leave.
inline void real_split_pair(int n, float* a, int j, int step, int table_length,
                            const float* c) {
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

// Rotates each mirror pair (a[j], a[n - j]) by the angle pi j / 2n; c[idx]
// and c[L - idx] hold half its cosine and sine.
template <class Groups>
void dct_twiddle_pass(int n, float* a, int table_length, const float* c) {
  const int m = n >> 1;
  const int step = table_length / n;
  int j = 1;
  if constexpr (Groups::vector)
    j = Groups::twiddle_groups(n, a, table_length, c);
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
template <class Groups>
void real_split_forward(int n, float* a, int table_length, const float* c) {
  const int m = n >> 1;
  const int step = 2 * table_length / m;
  int j = 2;
  if constexpr (Groups::vector) {
    j = Groups::real_split_groups(n, a, table_length, c);
  }
  for (; j < m; j += 2) {
    real_split_pair(n, a, j, step, table_length, c);
  }
}

// Butterflies of neighbours, each result moved down by one place.
template <class Groups>
void neighbour_butterflies(int n, float* a) {
  const float xr = a[0] - a[1];
  a[0] = a[0] + a[1];
  int j = 2;
  if constexpr (Groups::vector) j = Groups::neighbour_groups(n, a);
  for (; j < n; j += 2) {
    a[j - 1] = a[j] - a[j + 1];
    a[j] = a[j] + a[j + 1];
  }
  a[n - 1] = xr;
}

template <class Groups>
void dct(int n, float* a, int table_length, const float* table) {
  const int nw = table_length >> 2;
  const float* c = table + nw;
  dct_twiddle_pass<Groups>(n, a, table_length, c);
  if (n > 4) {
    Groups::fft(n, a, nw, table);
    real_split_forward<Groups>(n, a, table_length, c);
  } else if (n == 4) {
    complex_fft_forward_portable(4, a, nw, table);
  }
  neighbour_butterflies<Groups>(n, a);
}

}  // namespace
}  // namespace orv::vlkdec

#endif
