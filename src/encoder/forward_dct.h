// Analysis transform: the exact inverse of the decoder's synthesis.
#ifndef ORV_ENCODER_FORWARD_DCT_H
#define ORV_ENCODER_FORWARD_DCT_H

#include <cstdint>
#include <vector>

namespace orv::encoder {

// The decoder makes samples as
//   x[k] = (2 / sqrt(n)) * sum_j a[j] cos(pi j (k + 1/2) / n)
// (a DCT-III with a[0] at full weight). Its inverse is a DCT-II:
//   a[0] = X[0] / (2 sqrt(n)),  a[j] = X[j] / sqrt(n) for j > 0,
//   X[j] = sum_k x[k] cos(pi j (k + 1/2) / n).
// X is computed from one complex FFT of n/2 points.
class ForwardDct {
 public:
  // n: a power of two from 8 to 2048 (the FFT table bounds it).
  explicit ForwardDct(uint32_t n);

  // Coefficients a[0..n) of the n samples x.
  void transform(const float* x, double* a);

  uint32_t length() const { return n_; }

 private:
  uint32_t n_;
  std::vector<float> work_;      // n floats: n/2 complex values
  std::vector<double> factors_;  // per j = 0..n/2: 8 factors of E and O
};

}  // namespace orv::encoder

#endif
