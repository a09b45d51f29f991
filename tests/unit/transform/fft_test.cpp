// Complex FFT: accuracy against the defining sum, special sizes, the block
// types of the stages and kernels, and the bit reversal.
#include "transform/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "dsp/dsp.h"
#include "support/reference_transform.h"
#include "support/test_data.h"
#include "transform/fft_stages.h"
#include "transform/transform_table.h"

namespace orv::vlkdec {
namespace {

constexpr double flt_eps = std::numeric_limits<float>::epsilon();
const float* const w = transform_table + twiddle_offset;
constexpr int nw = twiddle_count;

void fft(std::vector<float>& a) {
  complex_fft_forward(static_cast<int>(a.size()), a.data(), nw, w);
}

// Single-precision accuracy for a transform of n floats: relative L2 error
// of at most one epsilon per doubling (measured: about 0.1 of it).
double accuracy_bound(int n) {
  return std::log2(static_cast<double>(n)) * flt_eps;
}

std::string size_name(const ::testing::TestParamInfo<int>& info) {
  char name[16];
  std::snprintf(name, sizeof name, "n%d", info.param);
  return name;
}

class FftAccuracy : public ::testing::TestWithParam<int> {};

TEST_P(FftAccuracy, MatchesDefiningSumWithoutScaling) {
  const int n = GetParam();
  for (uint32_t seed : {test::test_seed(7), 0x9e3779b9u}) {
    std::vector<float> a = test::vector_input(n, seed);
    const std::vector<double> expected = test::reference_dft(a);
    fft(a);
    EXPECT_LT(test::relative_l2_error(a, expected), accuracy_bound(n))
        << "seed " << seed;
  }
}

TEST_P(FftAccuracy, ImpulseAtZeroGivesAllOnes) {
  const int n = GetParam();
  std::vector<float> a(static_cast<size_t>(n), 0.0f);
  a[0] = 1.0f;
  fft(a);
  for (int k = 0; k < n / 2; ++k) {
    EXPECT_EQ(a[2 * k], 1.0f) << "value " << k;
    EXPECT_EQ(a[2 * k + 1], 0.0f) << "value " << k;
  }
}

TEST_P(FftAccuracy, ImpulseAtOneGivesPositiveRotation) {
  const int n = GetParam();
  const int points = n / 2;
  std::vector<float> a(static_cast<size_t>(n), 0.0f);
  a[2] = 1.0f;
  fft(a);
  for (int k = 0; k < points; ++k) {
    const double angle = 2.0 * std::numbers::pi * k / points;
    EXPECT_NEAR(a[2 * k], std::cos(angle), 4 * flt_eps) << "value " << k;
    EXPECT_NEAR(a[2 * k + 1], std::sin(angle), 4 * flt_eps) << "value " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Fft, FftAccuracy,
                         ::testing::Values(4, 8, 16, 32, 64, 128, 256, 512,
                                           1024, 2048),
                         size_name);

TEST(Fft, TwoPointsIsOneButterfly) {
  std::vector<float> a = {1.5f, -2.0f, 0.25f, 4.0f};
  fft(a);
  EXPECT_EQ(a, (std::vector<float>{1.75f, 2.0f, 1.25f, -6.0f}));
}

TEST(Fft, FourPointsIsNaturalOrderWithPositiveExponent) {
  // x = (1, i, 0, 0): X[k] = 1 + i * i^k.
  std::vector<float> a = {1, 0, 0, 1, 0, 0, 0, 0};
  fft(a);
  EXPECT_EQ(a, (std::vector<float>{1, 1, 0, 0, 1, -1, 2, 0}));
}

// Value at bit-reversed position of the DFT owed by a block:
// type a: Y[k] = sum x[j] e^(2 pi i j k / P); type b: x[j] twisted by
// e^(i pi j / P) first.
std::vector<std::complex<double>> owed_transform(
    const std::vector<float>& block, bool type_b) {
  const int points = static_cast<int>(block.size() / 2);
  int bits = 0;
  while ((1 << bits) < points) ++bits;
  std::vector<std::complex<double>> out(static_cast<size_t>(points));
  for (int k = 0; k < points; ++k) {
    std::complex<double> sum = 0.0;
    for (int j = 0; j < points; ++j) {
      const double angle = std::numbers::pi *
                           ((type_b ? j : 0) + 2.0 * ((j * k) % points)) /
                           points;
      sum += std::complex<double>(block[2 * j], block[2 * j + 1]) *
             std::polar(1.0, angle);
    }
    int r = 0;
    for (int b = 0; b < bits; ++b) r |= ((k >> b) & 1) << (bits - 1 - b);
    out[static_cast<size_t>(r)] = sum;
  }
  return out;
}

void expect_owed_transform(const std::vector<float>& input,
                           const std::vector<float>& output, bool type_b,
                           const char* what) {
  const std::vector<std::complex<double>> expected =
      owed_transform(input, type_b);
  std::vector<double> flat;
  for (const auto& v : expected) {
    flat.push_back(v.real());
    flat.push_back(v.imag());
  }
  EXPECT_LT(test::relative_l2_error(output, flat),
            accuracy_bound(static_cast<int>(output.size())))
      << what;
}

TEST(Fft, KernelsDeliverTheirBlockTypes) {
  struct Case {
    const char* name;
    int floats;
    bool type_b;
    void (*run)(float*);
  };
  const Case cases[] = {
      {"kernel8_a", 16, false, [](float* b) { kernel8_a(b, w + nw - 16); }},
      {"kernel8_b", 16, true, [](float* b) { kernel8_b(b, w + nw - 16); }},
      {"kernel16_a", 32, false, [](float* b) { kernel16_a(b, w + nw - 8); }},
      {"kernel16_b", 32, true, [](float* b) { kernel16_b(b, w + nw - 32); }},
      {"quarter_recursion_a 256", 256, false,
       [](float* b) { quarter_recursion_a(256, b, nw, w); }},
      {"quarter_recursion_b 256", 256, true,
       [](float* b) { quarter_recursion_b(256, b, nw, w); }},
      {"quarter_recursion_a 512", 512, false,
       [](float* b) { quarter_recursion_a(512, b, nw, w); }},
      {"quarter_recursion_b 512", 512, true,
       [](float* b) { quarter_recursion_b(512, b, nw, w); }},
  };
  for (const Case& c : cases) {
    const std::vector<float> input = test::vector_input(c.floats, 11);
    std::vector<float> block = input;
    c.run(block.data());
    expect_owed_transform(input, block, c.type_b, c.name);
  }
}

TEST(Fft, BitReverseMovesValuesToReversedPositions) {
  std::vector<float> a(2048);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i);
  bit_reverse(2048, a.data());
  EXPECT_EQ(a[2 * 512], 2.0f);      // value 1 at 512
  EXPECT_EQ(a[2 * 768], 6.0f);      // value 3 at 768
  EXPECT_EQ(a[2 * 768 + 1], 7.0f);  // with its imaginary part

  for (int n = 8; n <= 4096; n *= 2) {
    const int points = n / 2;
    std::vector<float> b(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
      b[static_cast<size_t>(i)] = static_cast<float>(i);
    bit_reverse(n, b.data());
    for (int k = 0; k < points; ++k) {
      int r = 0;
      for (int bit = 1, rbit = points / 2; bit < points;
           bit <<= 1, rbit >>= 1) {
        if (k & bit) r |= rbit;
      }
      ASSERT_EQ(b[static_cast<size_t>(2 * r)], static_cast<float>(2 * k))
          << n << " " << k;
    }
  }
}

TEST(Fft, BitReverse16IsTheSixteenValueReversal) {
  std::vector<float> a(32), b(32);
  for (int i = 0; i < 32; ++i)
    a[static_cast<size_t>(i)] = b[static_cast<size_t>(i)] =
        static_cast<float>(i);
  bit_reverse16(a.data());
  bit_reverse(32, b.data());
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace orv::vlkdec
