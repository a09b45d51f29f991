// Double-precision reference transforms and reproducible test inputs.
#ifndef ORV_TESTS_SUPPORT_REFERENCE_TRANSFORM_H
#define ORV_TESTS_SUPPORT_REFERENCE_TRANSFORM_H

#include <cstdint>
#include <vector>

namespace orv::test {

// n floats from the generator of the transform known-answer vectors:
// x = 1664525 x + 1013904223 (mod 2^32) from x = seed, each value the state
// shifted right arithmetically by 8 and scaled by 2^-23 (exact, in [-1, 1)).
std::vector<float> vector_input(int n, uint32_t seed);

// X[k] = sum_j x[j] exp(+2 pi i j k / N) over N = a.size() / 2 interleaved
// complex values, evaluated directly in double.
std::vector<double> reference_dft(const std::vector<float>& a);

// C[k] = sum_j a[j] cos(pi j (k + 1/2) / n), a[0] at full weight, in double.
std::vector<double> reference_inverse_dct(const std::vector<float>& a);

// sqrt(sum (actual - expected)^2 / sum expected^2); the absolute L2 error
// when the expected values are all zero.
double relative_l2_error(const std::vector<float>& actual,
                         const std::vector<double>& expected);

}  // namespace orv::test

#endif
