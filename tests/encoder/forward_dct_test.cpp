#include "encoder/forward_dct.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "dsp/dsp.h"
#include "support/test_data.h"
#include "transform/dct.h"
#include "transform/transform_table.h"

namespace orv::encoder {
namespace {

class ForwardDctTest : public ::testing::TestWithParam<uint32_t> {};

std::vector<float> random_block(uint32_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-32768.0f, 32767.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

TEST_P(ForwardDctTest, MatchesDefiningSum) {
  const uint32_t n = GetParam();
  const uint32_t seed = test::test_seed(7);
  SCOPED_TRACE(seed);
  const std::vector<float> x = random_block(n, seed);
  std::vector<double> a(n);
  ForwardDct(n).transform(x.data(), a.data());
  // cos(pi j (2k + 1) / 2n) depends only on j (2k + 1) mod 4n.
  std::vector<double> cosines(4 * n);
  for (uint32_t i = 0; i < 4 * n; ++i) {
    cosines[i] = std::cos(std::numbers::pi * i / (2.0 * n));
  }
  double err = 0.0, ref_energy = 0.0;
  for (uint32_t j = 0; j < n; ++j) {
    double sum = 0.0;
    for (uint32_t k = 0; k < n; ++k) {
      sum += double{x[k]} * cosines[(uint64_t{j} * (2 * k + 1)) % (4 * n)];
    }
    double ref = sum / std::sqrt(double(n));
    if (j == 0) ref *= 0.5;
    err += (a[j] - ref) * (a[j] - ref);
    ref_energy += ref * ref;
  }
  // Single-precision FFT: relative L2 error of a few float epsilons.
  EXPECT_LT(std::sqrt(err / ref_energy), 1e-6);
}

// The decoder's synthesis (unscaled inverse DCT, then 2 / sqrt(n)) applied
// to the coefficients gives the input back.
TEST_P(ForwardDctTest, DecoderSynthesisRestoresInput) {
  const uint32_t n = GetParam();
  const std::vector<float> x = random_block(n, test::test_seed(11));
  std::vector<double> a(n);
  ForwardDct(n).transform(x.data(), a.data());
  std::vector<float> y(a.begin(), a.end());
  vlkdec::inverse_dct(static_cast<int>(n), y.data(),
                      vlkdec::transform_table_length, vlkdec::transform_table);
  const float scale = 2.0f / std::sqrt(static_cast<float>(n));
  float worst = 0.0f;
  for (uint32_t k = 0; k < n; ++k) {
    worst = std::max(worst, std::fabs(y[k] * scale - x[k]));
  }
  EXPECT_LT(worst, 0.05f);  // far below the 16-bit rounding step
}

INSTANTIATE_TEST_SUITE_P(FrameLengths, ForwardDctTest,
                         ::testing::Values(512u, 1024u, 2048u));

}  // namespace
}  // namespace orv::encoder
