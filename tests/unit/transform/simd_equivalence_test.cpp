// The transforms' vector paths against their scalar paths: the same bits
// for the known-answer vectors and for random inputs of every length and
// range. (In a build with ORV_DISABLE_SIMD, or off x86-64, both sides are
// the scalar code and the known-answer half still checks it.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sdk/orv/vlkdec/transform/dct.h"
#include "sdk/orv/vlkdec/transform/fft.h"
#include "sdk/orv/vlkdec/transform/transform_table.h"
#include "support/reference_transform.h"
#include "support/test_data.h"

namespace orv::vlkdec {
namespace {

::testing::AssertionResult same_bits(const std::vector<float>& actual,
                                     const std::vector<float>& expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure() << "sizes differ";
  }
  for (size_t i = 0; i < actual.size(); ++i) {
    if (std::memcmp(&actual[i], &expected[i], sizeof(float)) != 0) {
      return ::testing::AssertionFailure()
             << "first difference at float " << i << ": " << actual[i] << " vs "
             << expected[i];
    }
  }
  return ::testing::AssertionSuccess();
}

std::vector<float> stored(const char* kind, int n, uint32_t seed) {
  char name[64];
  std::snprintf(name, sizeof name, "vectors/transform/%s_%d_seed%u.f32", kind,
                n, static_cast<unsigned>(seed));
  const std::vector<uint8_t> bytes = test::read_file(test::data_path(name));
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

void fft_portable(std::vector<float>& a) {
  complex_fft_forward_portable(static_cast<int>(a.size()), a.data(),
                               twiddle_count, transform_table + twiddle_offset);
}
void fft_default(std::vector<float>& a) {
  complex_fft_forward(static_cast<int>(a.size()), a.data(), twiddle_count,
                      transform_table + twiddle_offset);
}
void dct_portable(std::vector<float>& a) {
  inverse_dct_portable(static_cast<int>(a.size()), a.data(),
                       transform_table_length, transform_table);
}
void dct_default(std::vector<float>& a) {
  inverse_dct(static_cast<int>(a.size()), a.data(), transform_table_length,
              transform_table);
}

TEST(TransformPaths, PortablePathsReproduceTheKnownAnswers) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    for (int n = 2; n <= 2048; n *= 2) {
      std::vector<float> a = test::vector_input(n, seed);
      dct_portable(a);
      EXPECT_TRUE(same_bits(a, stored("dct", n, seed))) << "dct n " << n;
      if (n < 4) continue;
      std::vector<float> b = test::vector_input(n, seed);
      fft_portable(b);
      EXPECT_TRUE(same_bits(b, stored("fft", n, seed))) << "fft n " << n;
    }
  }
}

// Inputs of very different ranges, signed zeros and runs of zeros (as after
// zero runs in a block), so that rounding, cancellation and the sign of
// zero results are all exercised.
std::vector<float> random_input(int n, std::mt19937& rng, int kind) {
  std::vector<float> a(static_cast<size_t>(n));
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-30, 36);
  for (float& x : a) {
    switch (kind) {
      case 0:
        x = unit(rng);
        break;
      case 1:
        x = std::ldexp(unit(rng), exponent(rng));
        break;
      case 2:
        x = rng() % 4 == 0 ? std::round(unit(rng) * 32767.0f) * 2032357.0f
                           : 0.0f;
        break;
      default:
        x = rng() % 2 == 0 ? 0.0f : -0.0f;
        break;
    }
  }
  return a;
}

TEST(TransformPaths, VectorAndScalarPathsGiveTheSameBits) {
  std::mt19937 rng(test::test_seed(8));
  for (int n = 2; n <= 2048; n *= 2) {
    for (int kind = 0; kind < 4; ++kind) {
      for (int trial = 0; trial < 8; ++trial) {
        const std::vector<float> input = random_input(n, rng, kind);
        std::vector<float> vector_dct = input;
        std::vector<float> scalar_dct = input;
        dct_default(vector_dct);
        dct_portable(scalar_dct);
        ASSERT_TRUE(same_bits(vector_dct, scalar_dct))
            << "inverse DCT, n " << n << ", kind " << kind;
        if (n < 4) continue;
        std::vector<float> vector_fft = input;
        std::vector<float> scalar_fft = input;
        fft_default(vector_fft);
        fft_portable(scalar_fft);
        ASSERT_TRUE(same_bits(vector_fft, scalar_fft))
            << "FFT, n " << n << ", kind " << kind;
      }
    }
  }
}

}  // namespace
}  // namespace orv::vlkdec
