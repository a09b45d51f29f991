#include "support/reference_transform.h"

#include <cmath>
#include <cstddef>
#include <numbers>

namespace orv::test {
namespace {

// cos and sin of 2 pi m / period for m = 0 .. period - 1, so that the sums
// below use exactly reduced angles.
struct UnitCircle {
  std::vector<double> cos;
  std::vector<double> sin;

  explicit UnitCircle(size_t period) : cos(period), sin(period) {
    for (size_t m = 0; m < period; ++m) {
      const double angle = 2.0 * std::numbers::pi * static_cast<double>(m) /
                           static_cast<double>(period);
      cos[m] = std::cos(angle);
      sin[m] = std::sin(angle);
    }
  }
};

}  // namespace

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
  const UnitCircle circle(points);
  std::vector<double> out(a.size());
  for (size_t k = 0; k < points; ++k) {
    double re = 0.0;
    double im = 0.0;
    for (size_t j = 0; j < points; ++j) {
      const size_t m = (j * k) % points;
      const double xr = a[2 * j];
      const double xi = a[2 * j + 1];
      re += xr * circle.cos[m] - xi * circle.sin[m];
      im += xr * circle.sin[m] + xi * circle.cos[m];
    }
    out[2 * k] = re;
    out[2 * k + 1] = im;
  }
  return out;
}

std::vector<double> reference_inverse_dct(const std::vector<float>& a) {
  const size_t n = a.size();
  // cos(pi j (2k + 1) / 2n) = cos(2 pi m / 4n) with m = j (2k + 1) mod 4n.
  const UnitCircle circle(4 * n);
  std::vector<double> out(n);
  for (size_t k = 0; k < n; ++k) {
    double sum = 0.0;
    for (size_t j = 0; j < n; ++j) {
      sum +=
          static_cast<double>(a[j]) * circle.cos[(j * (2 * k + 1)) % (4 * n)];
    }
    out[k] = sum;
  }
  return out;
}

double relative_l2_error(const std::vector<float>& actual,
                         const std::vector<double>& expected) {
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
