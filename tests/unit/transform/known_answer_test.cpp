// Bit-exact agreement with the stored known-answer vectors.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sdk/orv/vlkdec/transform/dct.h"
#include "sdk/orv/vlkdec/transform/fft.h"
#include "sdk/orv/vlkdec/transform/transform_table.h"
#include "support/reference_transform.h"
#include "support/test_data.h"

namespace orv::vlkdec {
namespace {

std::vector<float> read_floats(const std::string& name) {
  std::string path = "vectors/transform/";
  path += name;
  const std::vector<uint8_t> bytes = test::read_file(test::data_path(path));
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

::testing::AssertionResult same_bits(const std::vector<float>& actual,
                                     const std::vector<float>& expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << "size " << actual.size() << " vs expected " << expected.size();
  }
  for (size_t i = 0; i < actual.size(); ++i) {
    if (std::memcmp(&actual[i], &expected[i], sizeof(float)) != 0) {
      return ::testing::AssertionFailure()
             << "first difference at float " << i << ": " << actual[i]
             << " vs expected " << expected[i];
    }
  }
  return ::testing::AssertionSuccess();
}

// Name of the stored output, e.g. "dct_512_seed2.f32".
std::string vector_file(const char* kind, int n, uint32_t seed) {
  char name[48];
  std::snprintf(name, sizeof name, "%s_%d_seed%u.f32", kind, n,
                static_cast<unsigned>(seed));
  return name;
}

struct Vector {
  int n;
  uint32_t seed;
};

std::string vector_name(const ::testing::TestParamInfo<Vector>& info) {
  char name[32];
  std::snprintf(name, sizeof name, "n%d_seed%u", info.param.n,
                static_cast<unsigned>(info.param.seed));
  return name;
}

std::vector<Vector> all_vectors(int smallest) {
  std::vector<Vector> vectors;
  for (int n = smallest; n <= 2048; n *= 2) {
    for (uint32_t seed = 1; seed <= 3; ++seed) vectors.push_back({n, seed});
  }
  return vectors;
}

TEST(TransformTable, MatchesStoredVector) {
  const std::vector<float> stored(transform_table,
                                  transform_table + transform_table_floats);
  EXPECT_TRUE(same_bits(stored, read_floats("transform_table.f32")));
}

class FftKnownAnswer : public ::testing::TestWithParam<Vector> {};

TEST_P(FftKnownAnswer, ReproducesEveryBit) {
  const auto [n, seed] = GetParam();
  std::vector<float> a = test::vector_input(n, seed);
  complex_fft_forward(n, a.data(), twiddle_count,
                      transform_table + twiddle_offset);
  EXPECT_TRUE(same_bits(a, read_floats(vector_file("fft", n, seed))));
}

INSTANTIATE_TEST_SUITE_P(Fft, FftKnownAnswer,
                         ::testing::ValuesIn(all_vectors(4)), vector_name);

class InverseDctKnownAnswer : public ::testing::TestWithParam<Vector> {};

TEST_P(InverseDctKnownAnswer, ReproducesEveryBit) {
  const auto [n, seed] = GetParam();
  std::vector<float> a = test::vector_input(n, seed);
  inverse_dct(n, a.data(), transform_table_length, transform_table);
  EXPECT_TRUE(same_bits(a, read_floats(vector_file("dct", n, seed))));
}

INSTANTIATE_TEST_SUITE_P(InverseDct, InverseDctKnownAnswer,
                         ::testing::ValuesIn(all_vectors(2)), vector_name);

}  // namespace
}  // namespace orv::vlkdec
