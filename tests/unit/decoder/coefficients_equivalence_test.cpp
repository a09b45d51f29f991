// The coefficient reader against a field-by-field reading of the same
// bitstream through read_bits: on random payloads of every length, cut
// anywhere, the coefficients, the result and the reader's state afterwards
// must agree bit for bit, also for a second channel that starts where the
// first stopped.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "decoder/bit_reader.h"
#include "decoder/coefficients.h"

namespace orv::vlkdec {
namespace {

// The bitstream as a plain sequence of fields, one read_bits call each.
bool reference_read(float* coeffs, uint32_t n, uint32_t band_count,
                    BitReader& reader, const uint32_t* band_edges) {
  uint32_t field = 0;
  for (uint32_t i = 0; i < 2 && i < n; ++i) {
    if (!read_bits(reader, 29, field)) return false;
    coeffs[i] = decode_float29(field);
  }
  float steps[25];
  for (uint32_t j = 0; j < band_count; ++j) {
    if (!read_bits(reader, 8, field)) return false;
    steps[j] = quantiser_table[field < 95 ? field : 95];
  }
  float step = 0.0f;
  uint32_t band = 0;
  for (uint32_t k = 2; k < n;) {
    uint32_t flag = 0;
    if (!read_bits(reader, 1, flag)) return false;
    uint32_t length = 8;
    if (flag != 0) {
      uint32_t index = 0;
      if (!read_bits(reader, 4, index)) return false;
      length = 8u * run_length_table[index];
    }
    const uint32_t run_end = n - k < length ? n : k + length;
    uint32_t width = 0;
    if (!read_bits(reader, 4, width)) return false;
    for (; k < run_end; ++k) {
      if (band < band_count && k == 2 * band_edges[band]) step = steps[band++];
      if (width == 0) {
        coeffs[k] = 0.0f;
        continue;
      }
      uint32_t magnitude = 0;
      if (!read_bits(reader, width, magnitude)) return false;
      uint32_t sign = 0;
      if (magnitude != 0 && !read_bits(reader, 1, sign)) return false;
      const float value = static_cast<float>(magnitude) * step;
      coeffs[k] = magnitude == 0 ? 0.0f : sign != 0 ? -value : value;
    }
  }
  return true;
}

// Strictly ascending edges from 1 to n / 2.
std::vector<uint32_t> random_edges(uint32_t n, uint32_t bands,
                                   std::mt19937& rng) {
  std::set<uint32_t> inner;
  while (inner.size() < bands - 1) inner.insert(2 + rng() % (n / 2 - 2));
  std::vector<uint32_t> edges{1};
  edges.insert(edges.end(), inner.begin(), inner.end());
  edges.push_back(n / 2);
  return edges;
}

TEST(CoefficientReader, MatchesFieldByFieldReadingOnRandomStreams) {
  std::mt19937 rng(20261208);
  int successes = 0;
  int failures = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const uint32_t n = 64u << (rng() % 6);  // 64 .. 2048
    const uint32_t bands = 1 + rng() % (n >= 512 ? 25 : 8);
    const auto edges = random_edges(n, bands, rng);
    for (uint32_t b = 0; b < bands; ++b) ASSERT_LT(edges[b], edges[b + 1]);
    // Small widths and long zero runs are common in real streams: bias the
    // random bytes so that both short and long payloads occur.
    const uint32_t size = 1 + rng() % (trial % 3 == 0 ? 64 : 4 * n);
    std::vector<uint8_t> payload(size);
    const uint32_t sparsity = rng() % 4;
    for (auto& byte : payload) {
      byte = static_cast<uint8_t>(rng());
      for (uint32_t i = 0; i < sparsity; ++i)
        byte &= static_cast<uint8_t>(rng());
    }

    BitReader fast = begin_sub_block(payload.data(), payload.data() + size);
    BitReader reference = fast;
    for (int channel = 0; channel < 2; ++channel) {
      std::vector<float> got(n, 7.0f);
      std::vector<float> want(n, 7.0f);
      const bool ok =
          read_channel_coefficients(got.data(), n, bands, fast, edges.data());
      const bool want_ok =
          reference_read(want.data(), n, bands, reference, edges.data());
      ASSERT_EQ(ok, want_ok) << "trial " << trial << " channel " << channel;
      ASSERT_EQ(std::memcmp(got.data(), want.data(), n * sizeof(float)), 0)
          << "trial " << trial << " channel " << channel;
      ASSERT_EQ(fast.next, reference.next) << "trial " << trial;
      ASSERT_EQ(fast.count, reference.count) << "trial " << trial;
      ASSERT_EQ(fast.buffer, reference.buffer) << "trial " << trial;
      (ok ? successes : failures)++;
    }
  }
  // Both outcomes must have been exercised, many times.
  EXPECT_GT(successes, 500);
  EXPECT_GT(failures, 500);
}

}  // namespace
}  // namespace orv::vlkdec
