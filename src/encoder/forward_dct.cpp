#include "encoder/forward_dct.h"

#include <cmath>
#include <numbers>

#include "dsp/dsp.h"
#include "transform/fft.h"
#include "transform/transform_table.h"

namespace orv::encoder {

ForwardDct::ForwardDct(uint32_t n)
    : n_(n), work_(n), factors_(8 * (n / 2 + 1)) {
  // With E = (Z[j] + conj Z[N-j]) / 2 and O = (Z[j] - conj Z[N-j]) / 2i
  // (the real split of the half-length FFT Z, N = n/2), the DCT-II is
  //   X[j]     = Re(s_j (E + t_j O)),
  //   X[n - j] = Re(s_{n-j} conj(E + t_j O)),
  // with t_j = exp(2 pi i j / n) and s_k = exp(i pi k / 2n). The factors
  // of E and O carry the scale 1 / sqrt(n) and the halves, so that each
  // output takes four products.
  const double scale = 0.5 / std::sqrt(static_cast<double>(n));
  for (uint32_t j = 0; j <= n / 2; ++j) {
    const double t = 2.0 * std::numbers::pi * j / n;
    const double tr = std::cos(t), ti = std::sin(t);
    const double s = std::numbers::pi * j / (2.0 * n);
    const double sr = std::cos(s) * scale, si = std::sin(s) * scale;
    const double m = std::numbers::pi * (n - j) / (2.0 * n);
    const double mr = std::cos(m) * scale, mi = std::sin(m) * scale;
    double* f = factors_.data() + 8 * size_t{j};
    // X[j] = Re(s E) + Re(s t O).
    f[0] = sr;
    f[1] = -si;
    f[2] = sr * tr - si * ti;
    f[3] = -(sr * ti + si * tr);
    // X[n-j] = Re(m conj E) + Re(m conj(t) conj O).
    f[4] = mr;
    f[5] = mi;
    f[6] = mr * tr + mi * ti;
    f[7] = mi * tr - mr * ti;
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
  for (uint32_t j = 0; j <= half; ++j) {
    // Z[j] and Z[N-j], with Z[N] = Z[0]: p = j mod N, q = (N - j) mod N.
    const uint32_t p = j == half ? 0 : j;
    const uint32_t q = j == 0 ? 0 : half - j;
    const double zr = work_[2 * p], zi = work_[2 * p + 1];
    const double cr = work_[2 * q], ci = -work_[2 * q + 1];
    // 2E and 2O (the halves are in the factors).
    const double er = zr + cr, ei = zi + ci;
    const double or_ = zi - ci, oi = cr - zr;
    const double* f = factors_.data() + 8 * size_t{j};
    a[j] = f[0] * er + f[1] * ei + f[2] * or_ + f[3] * oi;
    if (j > 0 && j < half) {
      a[n - j] = f[4] * er + f[5] * ei + f[6] * or_ + f[7] * oi;
    }
  }
  a[0] *= 0.5;
}

}  // namespace orv::encoder
