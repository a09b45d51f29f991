#include "encoder/forward_dct.h"

#include <cmath>
#include <numbers>

#include "transform/fft.h"
#include "transform/transform_table.h"

namespace orv::encoder {

ForwardDct::ForwardDct(uint32_t n)
    : n_(n),
      work_(n),
      split_re_(n / 2 + 1),
      split_im_(n / 2 + 1),
      shift_re_(n),
      shift_im_(n) {
  for (uint32_t j = 0; j <= n / 2; ++j) {
    const double t = 2.0 * std::numbers::pi * j / n;
    split_re_[j] = std::cos(t);
    split_im_[j] = std::sin(t);
  }
  for (uint32_t j = 0; j < n; ++j) {
    const double t = std::numbers::pi * j / (2.0 * n);
    shift_re_[j] = std::cos(t);
    shift_im_[j] = std::sin(t);
  }
}

void ForwardDct::transform(const float* x, double* a) {
  const uint32_t n = n_;
  const uint32_t half = n / 2;
  // Reorder to v: even samples ascending, then odd samples descending. The
  // real sequence v is packed as half complex values z[m] = v[2m] + i v[2m+1].
  for (uint32_t m = 0; m < half; ++m) {
    work_[m] = x[2 * m];
    work_[n - 1 - m] = x[2 * m + 1];
  }
  vlkdec::complex_fft_forward(static_cast<int>(n), work_.data(),
                              vlkdec::twiddle_count,
                              vlkdec::transform_table + vlkdec::twiddle_offset);
  // V[j] = sum_k v[k] exp(+2 pi i j k / n), from Z by the real split:
  // E = (Z[j] + conj Z[N-j]) / 2, O = (Z[j] - conj Z[N-j]) / 2i,
  // V[j] = E + exp(2 pi i j / n) O. Then X[j] = Re(exp(i pi j / 2n) V[j]),
  // and V[n-j] = conj V[j] gives the upper half.
  const double inv_sqrt_n = 1.0 / std::sqrt(static_cast<double>(n));
  for (uint32_t j = 0; j <= half; ++j) {
    const uint32_t p = j % half;
    const uint32_t q = (half - j) % half;
    const double zr = work_[2 * p], zi = work_[2 * p + 1];
    const double cr = work_[2 * q], ci = -work_[2 * q + 1];
    const double er = 0.5 * (zr + cr), ei = 0.5 * (zi + ci);
    // O = d / 2i = (d_im - i d_re) / 2 with d = Z[j] - conj Z[N-j].
    const double dr = zr - cr, di = zi - ci;
    const double or_ = 0.5 * di, oi = -0.5 * dr;
    const double vr = er + split_re_[j] * or_ - split_im_[j] * oi;
    const double vi = ei + split_re_[j] * oi + split_im_[j] * or_;
    a[j] = (shift_re_[j] * vr - shift_im_[j] * vi) * inv_sqrt_n;
    if (j > 0 && j < half) {
      // V[n-j] = conj V[j].
      const uint32_t k = n - j;
      a[k] = (shift_re_[k] * vr + shift_im_[k] * vi) * inv_sqrt_n;
    }
  }
  a[0] *= 0.5;
}

}  // namespace orv::encoder
