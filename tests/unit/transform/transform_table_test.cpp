// The stored transform table against an independent evaluation of its
// precision procedure, its listed values and its nesting.
#include "transform/transform_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

namespace orv::vlkdec {
namespace {

const float* const w = transform_table + twiddle_offset;
const float* const c = transform_table + cosine_offset;

uint32_t bits(float value) {
  uint32_t b;
  std::memcpy(&b, &value, sizeof b);
  return b;
}

// Every value from a single-precision angle step: angles formed in double,
// cos/sin/quotients in double, one rounding to float; smaller twiddle levels
// copy the floats above them.
std::vector<float> table_by_procedure() {
  std::vector<float> t(transform_table_floats, 0.0f);
  const double pi = std::numbers::pi;
  const double delta = static_cast<float>(pi / 1024);
  t[0] = 1.0f;
  t[1] = static_cast<float>(std::cos(256 * delta));
  t[2] = static_cast<float>(0.5 / std::cos(2 * delta));
  t[3] = static_cast<float>(0.5 / std::cos(6 * delta));
  for (int j = 4; j <= 252; j += 4) {
    t[j] = static_cast<float>(std::cos(j * delta));
    t[j + 1] = static_cast<float>(std::sin(j * delta));
    t[j + 2] = static_cast<float>(std::cos(3 * j * delta));
    t[j + 3] = static_cast<float>(std::sin(3 * j * delta));
  }
  const int starts[] = {0, 256, 384, 448, 480, 496, 504, 508};
  for (int level = 1; level < 8; ++level) {
    const int s = starts[level], above = starts[level - 1],
              h = 512 >> (level + 1);
    t[s] = 1.0f;
    t[s + 1] = t[above + 1];
    if (h >= 4) {
      t[s + 2] = 0.5f / t[above + 4];
      t[s + 3] = 0.5f / t[above + 6];
    }
    for (int j = 4; j < h; ++j) t[s + j] = t[above + 2 * (j & ~3) + (j & 3)];
  }
  float* cos_part = t.data() + cosine_offset;
  const double delta_c = static_cast<float>(pi / 4096);
  cos_part[0] = static_cast<float>(std::cos(1024 * delta_c));
  cos_part[1024] = 0.5f * cos_part[0];
  for (int j = 1; j < 1024; ++j) {
    cos_part[j] = static_cast<float>(0.5 * std::cos(j * delta_c));
    cos_part[2048 - j] = static_cast<float>(0.5 * std::sin(j * delta_c));
  }
  return t;
}

TEST(TransformTable, StoredValuesFollowThePrecisionProcedure) {
  const std::vector<float> expected = table_by_procedure();
  for (int i = 0; i < transform_table_floats; ++i) {
    ASSERT_EQ(bits(transform_table[i]), bits(expected[static_cast<size_t>(i)]))
        << "float " << i;
  }
}

TEST(TransformTable, ListedValues) {
  const float listed_w[] = {1.0f, 0.70710677f, 0.50000942f, 0.50008470f};
  for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(w[i], listed_w[i]) << i;
  const float listed_small[] = {1.0f,        0.70710677f, 0.54119611f,
                                1.30656314f, 1.0f,        0.70710677f};
  for (int i = 0; i < 6; ++i)
    EXPECT_FLOAT_EQ(w[504 + i], listed_small[i]) << 504 + i;
  EXPECT_EQ(w[510], 0.0f);
  EXPECT_EQ(w[511], 0.0f);
  EXPECT_FLOAT_EQ(c[1], 0.49999985f);
  EXPECT_FLOAT_EQ(c[1024], 0.35355338f);
  EXPECT_FLOAT_EQ(c[2047], 0.00038349518f);
  // cos(pi/4) is one float everywhere it is stored.
  EXPECT_EQ(bits(c[0]), bits(0.70710677f));
  for (int s : {0, 256, 384, 448, 480, 496, 504, 508})
    EXPECT_EQ(bits(w[s + 1]), bits(c[0])) << s;
}

TEST(TransformTable, SmallerLevelsAreThinnedCopies) {
  for (int j = 4; j <= 124; j += 4) {
    for (int t = 0; t < 4; ++t) {
      ASSERT_EQ(bits(w[256 + j + t]), bits(w[2 * j + t])) << j << " " << t;
    }
  }
}

TEST(TransformTable, IsCacheLineAligned) {
  EXPECT_EQ(reinterpret_cast<uintptr_t>(transform_table) % 64, 0u);
}

}  // namespace
}  // namespace orv::vlkdec
