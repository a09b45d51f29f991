#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "decoder/synthesis.h"
#include "dsp/cpu_features.h"
#include "dsp/dsp.h"
#include "kernels/convert.h"
#include "support/test_data.h"

namespace orv::vlkdec {
namespace {

constexpr float nan_value = std::numeric_limits<float>::quiet_NaN();
constexpr float infinity = std::numeric_limits<float>::infinity();

// Inputs at the edges of every stage: rounding ties, the 16-bit rails, the
// 32-bit conversion limit (2^31 and the float just below), infinities, NaN
// and denormals.
std::vector<float> extreme_inputs() {
  std::vector<float> v = {0.0f,
                          -0.0f,
                          0.5f,
                          -0.5f,
                          1.5f,
                          -1.5f,
                          2.5f,
                          -2.5f,
                          32766.5f,
                          32767.0f,
                          32767.5f,
                          32768.0f,
                          -32767.5f,
                          -32768.0f,
                          -32768.5f,
                          -32769.0f,
                          40000.0f,
                          -40000.0f,
                          3.0e9f,
                          -3.0e9f,
                          2147483648.0f,
                          -2147483648.0f,
                          2147483520.0f,
                          -2147483520.0f,
                          1.0e30f,
                          -1.0e30f,
                          infinity,
                          -infinity,
                          nan_value,
                          -nan_value,
                          1.0e-40f,
                          std::numeric_limits<float>::max(),
                          std::numeric_limits<float>::lowest()};
  while (v.size() % 8 != 0) v.push_back(0.25f);
  return v;
}

std::vector<int16_t> mono(const std::vector<float>& in, float scale) {
  std::vector<int16_t> out(in.size());
  convert_mono(in.data(), scale, out.data(), static_cast<uint32_t>(in.size()));
  return out;
}

TEST(Conversion, RoundsHalfToEvenAndSaturatesToOwnRail) {
  const std::vector<float> in = {0.5f,      1.5f,   -2.5f,   40000.0f,
                                 -40000.0f, 3.0e9f, -3.0e9f, nan_value};
  const std::vector<int16_t> expected = {0,      2,     -2,     32767,
                                         -32768, 32767, -32768, -32768};
  EXPECT_EQ(mono(in, 1.0f), expected);
  const std::vector<float> more = {infinity,      -infinity, 2147483648.0f,
                                   2147483520.0f, 32767.5f,  -32768.5f,
                                   1.0e-40f,      -0.0f};
  const std::vector<int16_t> more_expected = {32767, -32768, 32767, 32767,
                                              32767, -32768, 0,     0};
  EXPECT_EQ(mono(more, 1.0f), more_expected);
}

// The rule stated in double precision, where no value overflows: the
// single-precision product, rounded half to even, clamped to 16 bits; NaN
// gives the negative rail.
int16_t expected_sample(float x, float scale) {
  const float product = x * scale;
  if (std::isnan(product)) return -32768;
  const double rounded = std::nearbyint(static_cast<double>(product));
  return static_cast<int16_t>(rounded > 32767.0    ? 32767
                              : rounded < -32768.0 ? -32768
                                                   : rounded);
}

TEST(Conversion, ExtremeInputsFollowTheRule) {
  const std::vector<float> in = extreme_inputs();
  for (float scale : {1.0f, 0.0625f, 0.0441941738f}) {
    const std::vector<int16_t> out = mono(in, scale);
    for (size_t i = 0; i < in.size(); ++i) {
      EXPECT_EQ(out[i], expected_sample(in[i], scale)) << in[i] << " " << scale;
    }
  }
}

TEST(Conversion, RoundsTheScaledValue) {
  // Ties appear only after scaling: 40 * 0.0625 = 2.5 gives 2, 24 * 0.0625
  // = 1.5 gives 2, 8 * 0.0625 = 0.5 gives 0.
  const std::vector<float> in = {40.0f, 24.0f, -40.0f, 8.0f,
                                 1.0f,  0.0f,  16.0f,  -8.0f};
  const std::vector<int16_t> expected = {2, 2, -2, 0, 0, 0, 1, 0};
  EXPECT_EQ(mono(in, 0.0625f), expected);
}

TEST(Conversion, InterleavesTwoChannelsFrameByFrame) {
  std::vector<float> left(16), right(16);
  for (int i = 0; i < 16; ++i) {
    left[i] = static_cast<float>(i);
    right[i] = static_cast<float>(-100 - i);
  }
  std::vector<int16_t> out(32);
  convert_interleaved(left.data(), right.data(), 1.0f, out.data(), 16);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(out[2 * i], i);
    EXPECT_EQ(out[2 * i + 1], -100 - i);
  }
}

// The build's 128-bit variant (SSE2 on x86-64, SIMD on WebAssembly) and the
// portable code over random values at several magnitudes, random bit
// patterns (NaNs, infinities, denormals included) and the edge values, at
// the decoder's scales and 1.0; mono and interleaved must agree bit for
// bit.
TEST(Conversion, Vector128AndPortableAgreeBitForBit) {
  const uint32_t word = cpu_features() & (cpu_sse2 | cpu_wasm_simd128);
  if (word == 0) GTEST_SKIP() << "no 128-bit variant in this build";
  const Dsp& sse2 = dsp_for_features(word);
  const uint32_t seed = test::test_seed(7);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  std::vector<float> inputs = extreme_inputs();
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (float magnitude : {1.0f, 100.0f, 3.0e4f, 7.4e5f, 1.0e9f, 5.0e10f}) {
    for (int i = 0; i < 4096; ++i) inputs.push_back(normal(rng) * magnitude);
  }
  for (int i = 0; i < 8192; ++i)
    inputs.push_back(std::bit_cast<float>(static_cast<uint32_t>(rng())));
  // Exact ties after scaling by 1: k + 0.5 around the rails and zero.
  for (int k = -33000; k < -32000; ++k) inputs.push_back(k + 0.5f);
  for (int k = -600; k < 600; ++k) inputs.push_back(k + 0.5f);
  for (int k = 32000; k < 33000; ++k) inputs.push_back(k + 0.5f);
  while (inputs.size() % 16 != 0) inputs.push_back(1.0f);
  const auto count = static_cast<uint32_t>(inputs.size());
  const uint32_t half = count / 2;

  for (float scale : {1.0f, 0.0883883476f, 0.0625f, 0.0441941738f}) {
    SCOPED_TRACE(scale);
    std::vector<int16_t> a(count), b(count);
    sse2.convert_mono(inputs.data(), scale, a.data(), count);
    convert_mono_portable(inputs.data(), scale, b.data(), count);
    for (uint32_t i = 0; i < count; ++i) {
      ASSERT_EQ(a[i], b[i]) << "input " << inputs[i] << " at " << i;
    }
    sse2.convert_interleaved(inputs.data(), inputs.data() + half, scale,
                             a.data(), half);
    convert_interleaved_portable(inputs.data(), inputs.data() + half, scale,
                                 b.data(), half);
    ASSERT_EQ(a, b);
  }
}

// The AVX2 conversion and crossfade against the portable code, over the
// inputs of the SSE2 comparison and every crossfade length and shift the
// decoder uses, with differences up to rail to rail.
TEST(Conversion, Avx2AndPortableAgreeBitForBit) {
  if ((cpu_features() & cpu_avx2) == 0) GTEST_SKIP() << "no AVX2";
  const Dsp& avx2 = dsp_for_features(cpu_avx2);
  const uint32_t seed = test::test_seed(8);
  SCOPED_TRACE(seed);
  std::mt19937 rng(seed);
  std::vector<float> inputs = extreme_inputs();
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (float magnitude : {1.0f, 3.0e4f, 7.4e5f, 5.0e10f}) {
    for (int i = 0; i < 4096; ++i) inputs.push_back(normal(rng) * magnitude);
  }
  for (int i = 0; i < 8192; ++i)
    inputs.push_back(std::bit_cast<float>(static_cast<uint32_t>(rng())));
  for (int k = -33000; k < 33000; k += 7) inputs.push_back(k + 0.5f);
  // A count of 8 modulo 16 also runs the mono conversion's last step.
  while (inputs.size() % 16 != 8) inputs.push_back(1.0f);
  const auto count = static_cast<uint32_t>(inputs.size());
  const uint32_t frames = count / 2 & ~7u;
  for (float scale : {1.0f, 0.0883883476f, 0.0441941738f}) {
    SCOPED_TRACE(scale);
    std::vector<int16_t> a(count), b(count);
    avx2.convert_mono(inputs.data(), scale, a.data(), count);
    convert_mono_portable(inputs.data(), scale, b.data(), count);
    ASSERT_EQ(a, b);
    avx2.convert_interleaved(inputs.data(), inputs.data() + frames, scale,
                             a.data(), frames);
    convert_interleaved_portable(inputs.data(), inputs.data() + frames, scale,
                                 b.data(), frames);
    ASSERT_EQ(a, b);
  }

  for (uint32_t samples : {0u, 5u, 16u, 32u, 64u, 128u, 256u, 1000u, 40000u}) {
    for (uint32_t shift = 4; shift <= 8; ++shift) {
      SCOPED_TRACE(testing::Message()
                   << samples << " samples, shift " << shift);
      std::vector<int16_t> tail(samples), out(samples);
      for (uint32_t k = 0; k < samples; ++k) {
        const uint32_t kind = rng() % 4;
        tail[k] = kind == 0 ? -32768 : static_cast<int16_t>(rng());
        out[k] = kind == 0 ? 32767 : static_cast<int16_t>(rng());
      }
      std::vector<int16_t> want = out, got = out;
      crossfade_overlap_portable(want.data(), tail.data(), samples, shift);
      avx2.crossfade(got.data(), tail.data(), samples, shift);
      ASSERT_EQ(got, want);
    }
  }
}

}  // namespace
}  // namespace orv::vlkdec
