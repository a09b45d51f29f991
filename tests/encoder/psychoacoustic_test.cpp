// The encoder's masking model and its onset protection.
#include "encoder/psychoacoustic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "encoder/block_encoder.h"
#include "format/bands.h"

namespace orv::test {
namespace {

constexpr unsigned rate = 44100;
constexpr uint32_t n = 2048;

// Thresholds of one block of `x` (n samples), with no block before it.
std::vector<double> thresholds(const std::vector<float>& x) {
  const vlkdec::BandEdges bands = vlkdec::band_edges_for_rate(rate);
  const std::vector<uint32_t> edges(bands.edges, bands.edges + bands.count + 1);
  encoder::PsychoacousticModel model(n, rate, edges);
  encoder::ForwardDct dct(n);
  std::vector<double> a(n), threshold(edges.size() - 1), previous;
  dct.transform(x.data(), a.data());
  model.masking_threshold(x.data(), a.data(), previous, threshold.data());
  return threshold;
}

TEST(PsychoacousticModel, LoudToneMasksItsNeighboursButNotADistantBand) {
  // The block's basis function of coefficient 93, 1001 Hz, in band 8
  // (920 to 1080 Hz): all its energy in one coefficient.
  std::vector<float> tone(n), silence(n, 0.0f);
  for (uint32_t i = 0; i < n; ++i) {
    tone[i] = static_cast<float>(
        16000.0 * std::cos(std::numbers::pi * 93 * (i + 0.5) / n));
  }
  const auto masked = thresholds(tone);
  const auto quiet = thresholds(silence);  // the threshold in quiet
  for (unsigned b : {7u, 9u}) {
    SCOPED_TRACE(b);
    EXPECT_GT(masked[b], 1e2 * quiet[b]);  // raised by more than 20 dB
  }
  for (unsigned b : {2u, 18u}) {  // 200 Hz and 4.4 kHz
    SCOPED_TRACE(b);
    EXPECT_LT(masked[b], 1.5 * quiet[b]);
  }
}

TEST(PsychoacousticModel, OnsetAfterSilenceGetsFinerQuantisers) {
  // The same noise over a whole block, and starting after three quarters
  // of silence: the onset's pre-echo would be heard in the silence, so its
  // quantisers are finer although its energy is a quarter.
  std::mt19937 random(7);
  std::normal_distribution<float> noise(0.0f, 3000.0f);
  std::vector<float> steady(n), onset(n, 0.0f);
  for (uint32_t i = 0; i < n; ++i) {
    steady[i] = noise(random);
    if (i >= 3 * n / 4) onset[i] = steady[i];
  }
  auto mean_index = [](const std::vector<float>& x) {
    encoder::BlockEncoder be(1, rate);
    encoder::BlockAnalysis block;
    be.analyse(x.data(), block);
    be.quantise(block, encoder::QuantSetting{});
    double sum = 0.0;
    for (unsigned b = 4; b < 20; ++b) sum += be.indices(0)[b];
    return sum / 16;
  };
  // More than 15 dB finer (1.33 dB per index step).
  EXPECT_LT(mean_index(onset), mean_index(steady) - 11.0);
}

}  // namespace
}  // namespace orv::test
