// Inverse DCT: accuracy against the defining sum for every length, the
// full weight of a[0], impulses and the small-length paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "dsp/dsp.h"
#include "support/reference_transform.h"
#include "support/test_data.h"
#include "transform/dct.h"
#include "transform/transform_table.h"

namespace orv::vlkdec {
namespace {

constexpr double flt_eps = std::numeric_limits<float>::epsilon();

void dct(std::vector<float>& a) {
  inverse_dct(static_cast<int>(a.size()), a.data(), transform_table_length,
              transform_table);
}

std::string size_name(const ::testing::TestParamInfo<int>& info) {
  char name[16];
  std::snprintf(name, sizeof name, "n%d", info.param);
  return name;
}

class InverseDctAccuracy : public ::testing::TestWithParam<int> {};

TEST_P(InverseDctAccuracy, MatchesDefiningSum) {
  const int n = GetParam();
  for (uint32_t seed : {test::test_seed(5), 0x2545f491u}) {
    std::vector<float> a = test::vector_input(n, seed);
    const std::vector<double> expected = test::reference_inverse_dct(a);
    dct(a);
    EXPECT_LT(test::relative_l2_error(a, expected),
              std::log2(static_cast<double>(2 * n)) * flt_eps)
        << "seed " << seed;
  }
}

TEST_P(InverseDctAccuracy, FirstCoefficientAloneGivesAllOnes) {
  const int n = GetParam();
  std::vector<float> a(static_cast<size_t>(n), 0.0f);
  a[0] = 1.0f;
  dct(a);
  EXPECT_EQ(a, std::vector<float>(static_cast<size_t>(n), 1.0f));
}

TEST_P(InverseDctAccuracy, ImpulsesGiveSampledCosines) {
  const int n = GetParam();
  for (int j : {1, n / 2, n - 1}) {
    std::vector<float> a(static_cast<size_t>(n), 0.0f);
    a[static_cast<size_t>(j)] = 1.0f;
    dct(a);
    for (int k = 0; k < n; ++k) {
      const double expected = std::cos(std::numbers::pi * j * (k + 0.5) / n);
      ASSERT_NEAR(a[static_cast<size_t>(k)], expected, 8 * flt_eps)
          << "j " << j << " k " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(InverseDct, InverseDctAccuracy,
                         ::testing::Values(2, 4, 8, 16, 32, 64, 128, 256, 512,
                                           1024, 2048),
                         size_name);

TEST(InverseDct, TwoPointsUseTheStoredQuarterCosine) {
  const float c4 = transform_table[cosine_offset];
  std::vector<float> a = {0.75f, -0.5f};
  dct(a);
  EXPECT_EQ(a[0], 0.75f + -0.5f * c4);
  EXPECT_EQ(a[1], 0.75f - -0.5f * c4);
}

TEST(InverseDct, LargestDecoderLengthStaysWithinItsErrorBudget) {
  // Full-scale input at the decoder's longest frame: outputs of magnitude
  // tens, absolute errors of order 1e-5.
  std::vector<float> a = test::vector_input(2048, 3);
  const std::vector<double> expected = test::reference_inverse_dct(a);
  dct(a);
  double worst = 0.0;
  for (size_t k = 0; k < a.size(); ++k)
    worst = std::max(worst, std::abs(static_cast<double>(a[k]) - expected[k]));
  EXPECT_LT(worst, 5e-5);
}

}  // namespace
}  // namespace orv::vlkdec
