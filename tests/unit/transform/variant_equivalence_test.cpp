// The table of processor variants, and the variants of the transforms
// (AVX2, SSE2) against the portable code: the same bits on the
// known-answer vectors and on random inputs of every length, ranges and
// special values, without touching memory outside the array. Variants are
// chosen by restricting what cpu_features() reports; the AVX2 cases are
// skipped on processors (or builds) without it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "sdk/orv/vlkdec/dsp/cpu_features.h"
#include "sdk/orv/vlkdec/dsp/dsp.h"
#include "sdk/orv/vlkdec/transform/dct.h"
#include "sdk/orv/vlkdec/transform/fft.h"
#include "sdk/orv/vlkdec/transform/transform_table.h"
#include "support/reference_transform.h"
#include "support/test_data.h"

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

enum class Variant { portable, sse2, avx2 };

const char* name(Variant v) {
  switch (v) {
    case Variant::portable:
      return "portable";
    case Variant::sse2:
      return "SSE2";
    case Variant::avx2:
      return "AVX2";
  }
  return "?";
}

// The features that select a variant. "sse2" is whatever the baseline
// vector path of the build is (the portable code in builds without one).
uint32_t features(Variant v) {
  switch (v) {
    case Variant::portable:
      return 0;
    case Variant::sse2:
      return cpu_sse2;
    case Variant::avx2:
      return ~0u;
  }
  return 0;
}

// The transforms as the decoder calls them, under a variant.
void run_dct(Variant v, int n, float* a) {
  if (v == Variant::portable) {
    inverse_dct_portable(n, a, transform_table_length, transform_table);
    return;
  }
  FeatureRestriction restriction(features(v));
  inverse_dct(n, a, transform_table_length, transform_table);
}

void run_fft(Variant v, int n, float* a) {
  const float* w = transform_table + twiddle_offset;
  if (v == Variant::portable) {
    complex_fft_forward_portable(n, a, twiddle_count, w);
    return;
  }
  FeatureRestriction restriction(features(v));
  complex_fft_forward(n, a, twiddle_count, w);
}

// Equal bits, except that any NaN matches any NaN: which NaN an operation
// returns (payload, sign) depends on operand order, which no variant fixes.
bool same_value(float x, float y) {
  if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
  return std::memcmp(&x, &y, sizeof x) == 0;
}

::testing::AssertionResult same_values(const float* actual,
                                       const float* expected, int n) {
  for (int i = 0; i < n; ++i) {
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

std::vector<float> stored(const char* kind, int n, uint32_t seed) {
  char file[64];
  std::snprintf(file, sizeof file, "vectors/transform/%s_%d_seed%u.f32", kind,
                n, static_cast<unsigned>(seed));
  const std::vector<uint8_t> bytes = test::read_file(test::data_path(file));
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

void expect_known_answers(Variant v) {
  for (uint32_t seed = 1; seed <= 3; ++seed) {
    for (int n = 2; n <= 2048; n *= 2) {
      std::vector<float> a = test::vector_input(n, seed);
      run_dct(v, n, a.data());
      const std::vector<float> dct = stored("dct", n, seed);
      ASSERT_EQ(dct.size(), a.size());
      EXPECT_TRUE(same_values(a.data(), dct.data(), n))
          << name(v) << " inverse DCT, n " << n << ", seed " << seed;
      if (n < 4) continue;
      std::vector<float> b = test::vector_input(n, seed);
      run_fft(v, n, b.data());
      const std::vector<float> fft = stored("fft", n, seed);
      ASSERT_EQ(fft.size(), b.size());
      EXPECT_TRUE(same_values(b.data(), fft.data(), n))
          << name(v) << " FFT, n " << n << ", seed " << seed;
    }
  }
}

TEST(TransformVariants, Avx2ReproducesTheKnownAnswers) {
  if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor or build";
  expect_known_answers(Variant::avx2);
}

TEST(TransformVariants, BaselineReproducesTheKnownAnswers) {
  expect_known_answers(Variant::sse2);
}

// Input families. Each stresses something a reordered or fused operation
// would show: rounding across very different magnitudes, overflow to
// infinity, gradual underflow (denormals must neither be flushed nor
// produced differently), inf - inf and NaN propagation, and the sign of
// zero results.
enum Family {
  unit_range,
  wide_exponents,
  huge,
  tiny,
  denormals,
  special_values,
  signed_zeros,
  sparse_impulses,
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
    case family_count:
      break;
  }
  return 0.0f;
}

// Runs a transform on a copy of `input` placed `offset` (0 .. 15) floats
// past a 64-byte boundary in a buffer with guard values on both sides;
// fails if a guard changed.
constexpr int guard_floats = 24;
constexpr float guard_value = -1234.5f;

std::vector<float> transform_guarded(bool dct, Variant v,
                                     const std::vector<float>& input,
                                     int offset) {
  const int n = static_cast<int>(input.size());
  std::vector<float> buffer(static_cast<size_t>(n + 2 * guard_floats + 32),
                            guard_value);
  const uintptr_t start =
      reinterpret_cast<uintptr_t>(buffer.data() + guard_floats);
  const size_t to_line = (64 - start % 64) % 64 / sizeof(float);
  float* a = buffer.data() + guard_floats + to_line + offset;
  std::memcpy(a, input.data(), input.size() * sizeof(float));
  if (dct) {
    run_dct(v, n, a);
  } else {
    run_fft(v, n, a);
  }
  for (size_t i = 0; i < buffer.size(); ++i) {
    const bool inside = buffer.data() + i >= a && buffer.data() + i < a + n;
    if (!inside) {
      EXPECT_EQ(buffer[i], guard_value)
          << name(v) << (dct ? " inverse DCT" : " FFT") << " n " << n
          << " wrote outside its array, at float " << i;
    }
  }
  return std::vector<float>(a, a + n);
}

void compare_variants_on_random_inputs(Variant v) {
  std::mt19937 rng(test::test_seed(88));
  for (int n = 2; n <= 2048; n *= 2) {
    for (int family = 0; family < family_count; ++family) {
      for (int trial = 0; trial < 3; ++trial) {
        std::vector<float> input(static_cast<size_t>(n));
        for (float& x : input) x = draw(static_cast<Family>(family), rng);
        // Vector loads must not depend on the array's alignment.
        const int offset = trial;
        for (const bool dct : {true, false}) {
          if (!dct && n < 4) continue;
          const std::vector<float> expected =
              transform_guarded(dct, Variant::portable, input, 0);
          const std::vector<float> actual =
              transform_guarded(dct, v, input, offset);
          ASSERT_TRUE(same_values(actual.data(), expected.data(), n))
              << name(v) << (dct ? " inverse DCT" : " FFT") << ", n " << n
              << ", family " << family << ", offset " << offset;
        }
      }
    }
  }
}

TEST(TransformVariants, Avx2MatchesPortableOnRandomAndExtremeInputs) {
  if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor or build";
  compare_variants_on_random_inputs(Variant::avx2);
}

TEST(TransformVariants, BaselineMatchesPortableOnRandomAndExtremeInputs) {
  compare_variants_on_random_inputs(Variant::sse2);
}

// The vector loops walk from both ends of the array, some with the first
// pairs peeled or a float kept back; the bits and the untouched guards must
// not depend on where the array starts within a 64-byte line. Lengths from
// those with no full vector group to the longest.
void compare_at_every_alignment(Variant v) {
  std::mt19937 rng(test::test_seed(89));
  for (const int n : {8, 16, 32, 64, 128, 256, 512, 1024, 2048}) {
    std::vector<float> input(static_cast<size_t>(n));
    for (float& x : input) x = draw(wide_exponents, rng);
    for (const bool dct : {true, false}) {
      const std::vector<float> expected =
          transform_guarded(dct, Variant::portable, input, 0);
      for (int offset = 0; offset < 16; ++offset) {
        const std::vector<float> actual =
            transform_guarded(dct, v, input, offset);
        ASSERT_TRUE(same_values(actual.data(), expected.data(), n))
            << name(v) << (dct ? " inverse DCT" : " FFT") << ", n " << n << ", "
            << offset << " floats past a 64-byte boundary";
      }
    }
  }
}

TEST(TransformVariants, Avx2MatchesPortableAtEveryAlignment) {
  if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor or build";
  compare_at_every_alignment(Variant::avx2);
}

TEST(TransformVariants, BaselineMatchesPortableAtEveryAlignment) {
  compare_at_every_alignment(Variant::sse2);
}

// An impulse at every position of the array, so that each index of every
// stage and leaf (including the first and last of each vector group, the
// eighth point and the mirrors) is the only source of the result once.
TEST(TransformVariants, Avx2MatchesPortableForEveryImpulsePosition) {
  if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor or build";
  for (const int n : {64, 256, 512, 1024, 2048}) {
    for (int position = 0; position < n; ++position) {
      std::vector<float> input(static_cast<size_t>(n), 0.0f);
      input[static_cast<size_t>(position)] = 0.75f;
      for (const bool dct : {true, false}) {
        std::vector<float> expected = input;
        std::vector<float> actual = input;
        if (dct) {
          run_dct(Variant::portable, n, expected.data());
          run_dct(Variant::avx2, n, actual.data());
        } else {
          run_fft(Variant::portable, n, expected.data());
          run_fft(Variant::avx2, n, actual.data());
        }
        ASSERT_TRUE(same_values(actual.data(), expected.data(), n))
            << (dct ? "inverse DCT" : "FFT") << ", n " << n << ", impulse at "
            << position;
      }
    }
  }
}

// The vector passes gather their factors with loads wider than the values
// they keep. Given the table in a heap block of exactly its size (so that
// the address sanitizer sees any read past its end, and at no particular
// alignment), every variant must still give the portable bits.
void compare_with_table_copy(Variant v) {
  const std::vector<float> table(transform_table,
                                 transform_table + transform_table_floats);
  std::mt19937 rng(test::test_seed(90));
  for (int n = 2; n <= 2048; n *= 2) {
    std::vector<float> expected(static_cast<size_t>(n));
    for (float& x : expected) x = draw(wide_exponents, rng);
    std::vector<float> actual = expected;
    run_dct(Variant::portable, n, expected.data());
    {
      FeatureRestriction restriction(features(v));
      inverse_dct(n, actual.data(), transform_table_length, table.data());
    }
    ASSERT_TRUE(same_values(actual.data(), expected.data(), n))
        << name(v) << " inverse DCT with the table copied, n " << n;
  }
}

TEST(TransformVariants, Avx2ReadsOnlyTheTableItIsGiven) {
  if (!have_avx2()) GTEST_SKIP() << "no AVX2 on this processor or build";
  compare_with_table_copy(Variant::avx2);
}

TEST(TransformVariants, BaselineReadsOnlyTheTableItIsGiven) {
  compare_with_table_copy(Variant::sse2);
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
  const Dsp& none = dsp_for_features(0);
  const Dsp& portable = portable_dsp();
  EXPECT_EQ(none.complex_fft_forward, portable.complex_fft_forward);
  EXPECT_EQ(none.inverse_dct, portable.inverse_dct);
  EXPECT_EQ(none.convert_mono, portable.convert_mono);
  EXPECT_EQ(none.convert_interleaved, portable.convert_interleaved);
  EXPECT_EQ(none.crossfade, portable.crossfade);
  EXPECT_EQ(none.read_runs, portable.read_runs);
}

}  // namespace
}  // namespace orv::vlkdec
