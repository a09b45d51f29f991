// The transforms' processor variants (AVX2, the baseline vector code, the
// portable code) against the stored known-answer vectors and against each
// other: the same bits on every length, range, special value and alignment,
// without touching memory outside the array; and the table of variants
// itself. A variant is chosen by restricting what cpu_features() reports
// (0: the portable code); the AVX2 cases are skipped on processors or
// builds without it. Built into the cross-compiled test program too.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dsp/cpu_features.h"
#include "dsp/dsp.h"
#include "support/reference_transform.h"
#include "support/test_data.h"
#include "transform/dct.h"
#include "transform/fft.h"
#include "transform/transform_table.h"

namespace orv::vlkdec {
namespace {

// Restores what cpu_features() reports when the test ends.
class FeatureRestriction {
 public:
  explicit FeatureRestriction(uint32_t mask) { restrict_cpu_features(mask); }
  ~FeatureRestriction() { restrict_cpu_features(~0u); }
  FeatureRestriction(const FeatureRestriction&) = delete;
  FeatureRestriction& operator=(const FeatureRestriction&) = delete;
};

bool have_avx2() {
  restrict_cpu_features(~0u);
  return (cpu_features() & cpu_avx2) != 0;
}

// A variant and the features that select it. "baseline" is whatever the
// build's baseline vector path is (the portable code where there is none).
struct Variant {
  const char* name;
  uint32_t features;
};
constexpr Variant portable{"portable", 0};
constexpr Variant baseline{"baseline", cpu_sse2};
constexpr Variant avx2{"AVX2", ~0u};

// The vector variants this processor can run.
std::vector<Variant> vector_variants() {
  std::vector<Variant> variants = {baseline};
  if (have_avx2()) variants.push_back(avx2);
  return variants;
}

// A transform as the decoder calls it, under a variant.
void run(bool dct, const Variant& v, int n, float* a,
         const float* table = transform_table) {
  FeatureRestriction restriction(v.features);
  if (dct) {
    inverse_dct(n, a, transform_table_length, table);
  } else {
    complex_fft_forward(n, a, twiddle_count, table + twiddle_offset);
  }
}

const char* kind(bool dct) { return dct ? "inverse DCT" : "FFT"; }

// Equal bits, except that any NaN matches any NaN: which NaN an operation
// returns (payload, sign) depends on operand order, which no variant fixes.
bool same_value(float x, float y) {
  if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
  return std::memcmp(&x, &y, sizeof x) == 0;
}

::testing::AssertionResult same_values(const std::vector<float>& actual,
                                       const std::vector<float>& expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << actual.size() << " floats instead of " << expected.size();
  }
  for (size_t i = 0; i < actual.size(); ++i) {
    if (!same_value(actual[i], expected[i])) {
      uint32_t a_bits = 0;
      uint32_t e_bits = 0;
      std::memcpy(&a_bits, &actual[i], sizeof a_bits);
      std::memcpy(&e_bits, &expected[i], sizeof e_bits);
      char bits[48];
      std::snprintf(bits, sizeof bits, " (0x%08x vs 0x%08x)",
                    static_cast<unsigned>(a_bits),
                    static_cast<unsigned>(e_bits));
      return ::testing::AssertionFailure()
             << "first difference at float " << i << ": " << actual[i] << " vs "
             << expected[i] << bits;
    }
  }
  return ::testing::AssertionSuccess();
}

// A stored vector under vectors/transform, e.g. "dct_512_seed2.f32".
std::vector<float> stored(const std::string& name) {
  const std::vector<uint8_t> bytes =
      test::read_file(test::data_path("vectors/transform/" + name));
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

TEST(TransformTable, MatchesStoredVector) {
  EXPECT_TRUE(
      same_values(std::vector<float>(transform_table,
                                     transform_table + transform_table_floats),
                  stored("transform_table.f32")));
}

TEST(TransformVariants, EveryVariantReproducesTheKnownAnswers) {
  std::vector<Variant> variants = vector_variants();
  variants.insert(variants.begin(), portable);
  for (const Variant& v : variants) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      for (int n = 2; n <= 2048; n *= 2) {
        for (const bool dct : {true, false}) {
          if (!dct && n < 4) continue;
          std::vector<float> a = test::vector_input(n, seed);
          run(dct, v, n, a.data());
          const std::string name = std::string(dct ? "dct_" : "fft_") +
                                   std::to_string(n) + "_seed" +
                                   std::to_string(seed) + ".f32";
          EXPECT_TRUE(same_values(a, stored(name))) << v.name << " " << name;
        }
      }
    }
  }
}

// Input families. Each stresses something a reordered or fused operation
// would show: rounding across very different magnitudes, overflow to
// infinity, gradual underflow (denormals must neither be flushed nor
// produced differently), inf - inf and NaN propagation, the sign of zero
// results, and the sparse large integers of dequantised coefficients.
enum Family {
  unit_range,
  wide_exponents,
  huge,
  tiny,
  denormals,
  special_values,
  signed_zeros,
  sparse_impulses,
  quantised,
  family_count
};

float draw(Family family, std::mt19937& rng) {
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  constexpr float max = std::numeric_limits<float>::max();
  constexpr float min_normal = std::numeric_limits<float>::min();
  constexpr float denormal_min = std::numeric_limits<float>::denorm_min();
  switch (family) {
    case unit_range:
      return unit(rng);
    case wide_exponents:
      return std::ldexp(unit(rng), static_cast<int>(rng() % 240) - 120);
    case huge:
      return unit(rng) * max;
    case tiny:
      return unit(rng) * min_normal * 4.0f;
    case denormals:
      return static_cast<float>(static_cast<int>(rng() % 2001) - 1000) *
             denormal_min;
    case special_values: {
      static constexpr float values[] = {
          std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity(),
          std::numeric_limits<float>::quiet_NaN(),
          -0.0f,
          0.0f,
          max,
          -max,
          denormal_min};
      // Mostly ordinary values, so that a special one meets finite ones.
      if (rng() % 8 != 0) return unit(rng);
      return values[rng() % 8];
    }
    case signed_zeros:
      return rng() % 2 == 0 ? 0.0f : -0.0f;
    case sparse_impulses:
      return rng() % 16 == 0 ? unit(rng) : (rng() % 2 == 0 ? 0.0f : -0.0f);
    case quantised:
      return rng() % 4 == 0 ? std::round(unit(rng) * 32767.0f) * 2032357.0f
                            : 0.0f;
    case family_count:
      break;
  }
  return 0.0f;
}

std::vector<float> draw_input(int n, Family family, std::mt19937& rng) {
  std::vector<float> input(static_cast<size_t>(n));
  for (float& x : input) x = draw(family, rng);
  return input;
}

// Runs a transform on a copy of `input` placed `offset` (0 .. 15) floats
// past a 64-byte boundary in a buffer with guard values on both sides;
// fails if a guard changed.
constexpr int guard_floats = 24;
constexpr float guard_value = -1234.5f;

std::vector<float> transform_guarded(bool dct, const Variant& v,
                                     const std::vector<float>& input,
                                     int offset = 0) {
  const int n = static_cast<int>(input.size());
  std::vector<float> buffer(static_cast<size_t>(n + 2 * guard_floats + 32),
                            guard_value);
  const uintptr_t start =
      reinterpret_cast<uintptr_t>(buffer.data() + guard_floats);
  const size_t to_line = (64 - start % 64) % 64 / sizeof(float);
  float* a = buffer.data() + guard_floats + to_line + offset;
  std::memcpy(a, input.data(), input.size() * sizeof(float));
  run(dct, v, n, a);
  for (size_t i = 0; i < buffer.size(); ++i) {
    const bool inside = buffer.data() + i >= a && buffer.data() + i < a + n;
    if (!inside) {
      EXPECT_EQ(buffer[i], guard_value)
          << v.name << " " << kind(dct) << " n " << n
          << " wrote outside its array, at float " << i;
    }
  }
  return std::vector<float>(a, a + n);
}

TEST(TransformVariants, MatchPortableOnRandomAndExtremeInputs) {
  for (const Variant& v : vector_variants()) {
    std::mt19937 rng(test::test_seed(88));
    for (int n = 2; n <= 2048; n *= 2) {
      for (int family = 0; family < family_count; ++family) {
        for (int trial = 0; trial < 3; ++trial) {
          const std::vector<float> input =
              draw_input(n, static_cast<Family>(family), rng);
          // Vector loads must not depend on the array's alignment.
          const int offset = trial;
          for (const bool dct : {true, false}) {
            if (!dct && n < 4) continue;
            ASSERT_TRUE(same_values(transform_guarded(dct, v, input, offset),
                                    transform_guarded(dct, portable, input)))
                << v.name << " " << kind(dct) << ", n " << n << ", family "
                << family << ", offset " << offset;
          }
        }
      }
    }
  }
}

// The vector loops walk from both ends of the array, some with the first
// pairs peeled or a float kept back; the bits and the untouched guards must
// not depend on where the array starts within a 64-byte line. Lengths from
// those with no full vector group to the longest.
TEST(TransformVariants, MatchPortableAtEveryAlignment) {
  for (const Variant& v : vector_variants()) {
    std::mt19937 rng(test::test_seed(89));
    for (const int n : {8, 16, 32, 64, 128, 256, 512, 1024, 2048}) {
      const std::vector<float> input = draw_input(n, wide_exponents, rng);
      for (const bool dct : {true, false}) {
        const std::vector<float> expected =
            transform_guarded(dct, portable, input);
        for (int offset = 0; offset < 16; ++offset) {
          ASSERT_TRUE(
              same_values(transform_guarded(dct, v, input, offset), expected))
              << v.name << " " << kind(dct) << ", n " << n << ", " << offset
              << " floats past a 64-byte boundary";
        }
      }
    }
  }
}

// An impulse at every position of the array, so that each index of every
// stage and leaf (including the first and last of each vector group, the
// eighth point and the mirrors) is the only source of the result once.
TEST(TransformVariants, MatchPortableForEveryImpulsePosition) {
  for (const Variant& v : vector_variants()) {
    for (const int n : {64, 256, 512, 1024, 2048}) {
      for (int position = 0; position < n; ++position) {
        std::vector<float> input(static_cast<size_t>(n), 0.0f);
        input[static_cast<size_t>(position)] = 0.75f;
        for (const bool dct : {true, false}) {
          std::vector<float> expected = input;
          std::vector<float> actual = input;
          run(dct, portable, n, expected.data());
          run(dct, v, n, actual.data());
          ASSERT_TRUE(same_values(actual, expected))
              << v.name << " " << kind(dct) << ", n " << n << ", impulse at "
              << position;
        }
      }
    }
  }
}

// The vector passes gather their factors with loads wider than the values
// they keep. Given the table in a heap block of exactly its size (so that
// the address sanitizer sees any read past its end, and at no particular
// alignment), every variant must still give the portable bits.
TEST(TransformVariants, ReadOnlyTheTableTheyAreGiven) {
  const std::vector<float> table(transform_table,
                                 transform_table + transform_table_floats);
  for (const Variant& v : vector_variants()) {
    std::mt19937 rng(test::test_seed(90));
    for (int n = 2; n <= 2048; n *= 2) {
      std::vector<float> expected = draw_input(n, wide_exponents, rng);
      std::vector<float> actual = expected;
      run(true, portable, n, expected.data());
      run(true, v, n, actual.data(), table.data());
      ASSERT_TRUE(same_values(actual, expected))
          << v.name << " inverse DCT with the table copied, n " << n;
    }
  }
}

TEST(CpuFeatures, RestrictionLimitsTheReportedSet) {
  restrict_cpu_features(~0u);
  const uint32_t all = cpu_features();
  EXPECT_EQ(all & ~cpu_feature_mask, 0u) << "unknown feature bits";
  EXPECT_EQ(cpu_features(), all) << "the answer must be stable";
  {
    FeatureRestriction none(0);
    EXPECT_EQ(cpu_features(), 0u);
  }
  EXPECT_EQ(cpu_features(), all) << "lifting the restriction restores it";
  for (uint32_t mask = 0; mask <= cpu_feature_mask; ++mask) {
    FeatureRestriction restriction(mask);
    EXPECT_EQ(cpu_features(), all & mask) << "mask " << mask;
    EXPECT_EQ(&dsp(), &dsp_for_features(all & mask)) << "mask " << mask;
  }
}

// Every feature word gives a table with every slot filled, word 0 the
// portable functions alone (the other words' variants are compared with
// them in the tests of each kernel).
TEST(DspTable, EveryFeatureWordFillsEverySlot) {
  for (uint32_t word = 0; word <= cpu_feature_mask; ++word) {
    const Dsp& table = dsp_for_features(word);
    EXPECT_NE(table.complex_fft_forward, nullptr) << "word " << word;
    EXPECT_NE(table.inverse_dct, nullptr) << "word " << word;
    EXPECT_NE(table.convert_mono, nullptr) << "word " << word;
    EXPECT_NE(table.convert_interleaved, nullptr) << "word " << word;
    EXPECT_NE(table.crossfade, nullptr) << "word " << word;
    EXPECT_NE(table.read_runs, nullptr) << "word " << word;
  }
  EXPECT_EQ(std::memcmp(&dsp_for_features(0), &portable_dsp(), sizeof(Dsp)), 0);
}

}  // namespace
}  // namespace orv::vlkdec
