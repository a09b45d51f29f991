#include "support/reference_transform.h"

#include <cmath>
#include <cstddef>
#include <numbers>

namespace orv::test {

std::vector<float> vector_input(int n, uint32_t seed) {
  std::vector<float> values(static_cast<size_t>(n));
  uint32_t x = seed;
  for (float& value : values) {
    x = 1664525u * x + 1013904223u;
    const int32_t v = static_cast<int32_t>(x) >> 8;
    value = std::ldexp(static_cast<float>(v), -23);
  }
  return values;
}

std::vector<double> reference_dft(const std::vector<float>& a) {
  const size_t points = a.size() / 2;
  std::vector<double> out(a.size());
  for (size_t k = 0; k < points; ++k) {
    double re = 0.0;
    double im = 0.0;
    for (size_t j = 0; j < points; ++j) {
      // Reduce j k modulo N first so the angle stays small and exact.
      const double angle = 2.0 * std::numbers::pi * static_cast<double>((j * k) % points) /
                           static_cast<double>(points);
      const double c = std::cos(angle);
      const double s = std::sin(angle);
      const double xr = a[2 * j];
      const double xi = a[2 * j + 1];
      re += xr * c - xi * s;
      im += xr * s + xi * c;
    }
    out[2 * k] = re;
    out[2 * k + 1] = im;
  }
  return out;
}

std::vector<double> reference_inverse_dct(const std::vector<float>& a) {
  const size_t n = a.size();
  std::vector<double> out(n);
  for (size_t k = 0; k < n; ++k) {
    double sum = 0.0;
    for (size_t j = 0; j < n; ++j) {
      // cos(pi j (2k + 1) / 2n), with the angle's multiple reduced mod 4n.
      const size_t multiple = (j * (2 * k + 1)) % (4 * n);
      sum += static_cast<double>(a[j]) *
             std::cos(std::numbers::pi * static_cast<double>(multiple) /
                      static_cast<double>(2 * n));
    }
    out[k] = sum;
  }
  return out;
}

double relative_l2_error(const std::vector<float>& actual, const std::vector<double>& expected) {
  double error = 0.0;
  double norm = 0.0;
  for (size_t i = 0; i < expected.size() && i < actual.size(); ++i) {
    const double d = static_cast<double>(actual[i]) - expected[i];
    error += d * d;
    norm += expected[i] * expected[i];
  }
  return norm > 0.0 ? std::sqrt(error / norm) : std::sqrt(error);
}

}  // namespace orv::test
