#include "decoder/coefficients.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "decoder/block_decoder.h"
#include "support/bit_writer.h"
#include "support/field_reader.h"
#include "support/sub_block_writer.h"

namespace orv::vlkdec {
namespace {

using test::BitWriter;
using test::float29_bits;
using test::put_run;
using test::RunSpec;

// A small channel layout for run tests: n = 64 with bands starting at
// coefficients 2, 8, 16 and 40.
constexpr uint32_t small_n = 64;
constexpr uint32_t small_edges[] = {1, 4, 8, 20, 32};
constexpr uint32_t small_bands = 4;

struct Decoded {
  bool ok;
  std::vector<float> coeffs;
  BitReader reader;
};

Decoded decode(const BitWriter& writer, uint32_t n, uint32_t band_count,
               const uint32_t* edges, size_t payload_bytes = SIZE_MAX) {
  const auto bytes = writer.bytes();
  const size_t size =
      payload_bytes < bytes.size() ? payload_bytes : bytes.size();
  std::vector<uint8_t> payload(bytes.begin(), bytes.begin() + size);
  Decoded result{false, std::vector<float>(n, 99.0f), {}};
  result.reader =
      BitReader{0, 0, 0, static_cast<uint32_t>(size), payload.data()};
  result.ok = read_channel_coefficients(result.coeffs.data(), n, band_count,
                                        result.reader, edges);
  result.reader.base = nullptr;  // the payload copy dies here
  return result;
}

// The header of a channel on the small layout with quantiser indices
// 0, 10, 20 and 30 (steps 1, 10^0.664, 10^1.328, 10^1.992).
void put_small_header(BitWriter& w) {
  w.put(float29_bits(23, 1, false), 29);
  w.put(float29_bits(0, 1, true), 29);
  for (uint32_t q : {0u, 10u, 20u, 30u}) w.put(q, 8);
}

TEST(BlockDecoder, QuantiserIndicesAbove95UseStep95) {
  const uint32_t edges[] = {1, 2, 3, 4};  // n = 8: bands at 2, 4, 6
  for (uint32_t index : {95u, 96u, 200u, 255u}) {
    SCOPED_TRACE(index);
    BitWriter w;
    w.put(0, 29);
    w.put(0, 29);
    w.put(0, 8);
    w.put(index, 8);
    w.put(1, 8);
    put_run(w, RunSpec{-1, 2, {1, 1, 1, -1, 1, 1}});
    const Decoded d = decode(w, 8, 3, edges);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.coeffs[2], 1.0f);
    EXPECT_EQ(d.coeffs[4], 2032357.0f);
    EXPECT_EQ(d.coeffs[5], -2032357.0f);
    EXPECT_EQ(d.coeffs[6], quantiser_table[1]);
  }
}

TEST(BlockDecoder, ValuesTakeTheStepOfTheirBand) {
  BitWriter w;
  put_small_header(w);
  // Runs of 8 from k = 2 across the band starts 8, 16 and 40.
  std::vector<int32_t> expected(small_n, 0);
  for (uint32_t k = 2; k < small_n; k += 8) {
    RunSpec run{-1, 3, {}};
    for (uint32_t i = k; i < k + 8 && i < small_n; ++i) {
      const int32_t v = static_cast<int32_t>(i % 7) - 3;
      run.values.push_back(v);
      expected[i] = v;
    }
    put_run(w, run);
  }
  const Decoded d = decode(w, small_n, small_bands, small_edges);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.coeffs[0], 1.0f);
  EXPECT_EQ(d.coeffs[1], -0x1p-23f);
  for (uint32_t k = 2; k < small_n; ++k) {
    SCOPED_TRACE(k);
    const uint32_t band = k < 8 ? 0 : k < 16 ? 1 : k < 40 ? 2 : 3;
    const float step = quantiser_table[10 * band];
    const float magnitude = static_cast<float>(std::abs(expected[k])) * step;
    EXPECT_EQ(d.coeffs[k], expected[k] < 0 ? -magnitude : magnitude);
  }
}

TEST(BlockDecoder, ZeroRunsAdvancePastEveryBandTheyCover) {
  BitWriter w;
  put_small_header(w);
  put_run(w, RunSpec{0, 0, {}});  // 2..17: crosses starts 8 and 16
  put_run(w, RunSpec{-1, 2, {1, 1, 1, 1, 1, 1, 1, 1}});  // 18..25: band 2
  put_run(w, RunSpec{0, 0, {}});  // 26..41: crosses start 40
  put_run(w, RunSpec{-1, 1, {1, 0, 1, 0, 1, 0, 1, 0}});  // 42..49: band 3
  put_run(w, RunSpec{15, 0, {}});                        // 512 long, cut at 64
  const Decoded d = decode(w, small_n, small_bands, small_edges);
  ASSERT_TRUE(d.ok);
  for (uint32_t k = 2; k < 18; ++k) EXPECT_EQ(d.coeffs[k], 0.0f) << k;
  for (uint32_t k = 18; k < 26; ++k) {
    EXPECT_EQ(d.coeffs[k], quantiser_table[20]) << k;
  }
  for (uint32_t k = 42; k < 50; ++k) {
    EXPECT_EQ(d.coeffs[k], k % 2 == 0 ? quantiser_table[30] : 0.0f) << k;
  }
  for (uint32_t k = 50; k < small_n; ++k) EXPECT_EQ(d.coeffs[k], 0.0f) << k;
}

TEST(BlockDecoder, ZeroMagnitudeTakesWidthBitsAndNoSign) {
  BitWriter w;
  put_small_header(w);
  put_run(w, RunSpec{-1, 5, {0, 0, 3, 0, -3, 0, 0, 31}});
  const size_t bits_after_run = w.bit_count();
  put_run(w, RunSpec{15, 0, {}});
  const Decoded d = decode(w, small_n, small_bands, small_edges);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.coeffs[4], 3.0f);
  EXPECT_EQ(d.coeffs[6], -3.0f);
  EXPECT_EQ(d.coeffs[9], 31.0f * quantiser_table[10]);
  // Every bit was consumed exactly: the run of 512 zeros followed.
  EXPECT_EQ(bits_after_run + 9, w.bit_count());
  EXPECT_EQ(8 * d.reader.next - d.reader.count, w.bit_count());
}

TEST(BlockDecoder, EveryRunIndexGivesItsLength) {
  // n = 1024 with one band; a run of index r followed by a run of 8 ones
  // whose position shows where the first run ended.
  const uint32_t n = 1024;
  const uint32_t edges[] = {1, n / 2};
  for (int index = 0; index < 16; ++index) {
    SCOPED_TRACE(index);
    const uint32_t length = 8u * test::run_lengths_in_eights[index];
    BitWriter w;
    w.put(0, 29);
    w.put(0, 29);
    w.put(0, 8);
    put_run(w, RunSpec{index, 0, {}});
    put_run(w, RunSpec{-1, 1, {1, 1, 1, 1, 1, 1, 1, 1}});
    put_run(w, RunSpec{15, 0, {}});
    put_run(w, RunSpec{15, 0, {}});
    const Decoded d = decode(w, n, 1, edges);
    ASSERT_TRUE(d.ok);
    for (uint32_t k = 2; k < n; ++k) {
      const bool one = k >= 2 + length && k < 10 + length;
      ASSERT_EQ(d.coeffs[k], one ? 1.0f : 0.0f) << k;
    }
  }
}

TEST(BlockDecoder, RunPastTheEndIsCutAndNextFieldBelongsToNextChannel) {
  // n = 16: one run of 512 values cut at 14 values; the second channel's
  // first float follows directly.
  const uint32_t edges[] = {1, 8};
  BitWriter w;
  for (int channel = 0; channel < 2; ++channel) {
    w.put(float29_bits(23, 1 + channel, false), 29);
    w.put(0, 29);
    w.put(0, 8);
    RunSpec run{15, 2, {}};
    for (int i = 0; i < 14; ++i) run.values.push_back(channel == 0 ? 1 : -1);
    put_run(w, run);
  }
  const auto bytes = w.bytes();
  BitReader reader{0, 0, 0, static_cast<uint32_t>(bytes.size()), bytes.data()};
  std::vector<float> first(16), second(16);
  ASSERT_TRUE(read_channel_coefficients(first.data(), 16, 1, reader, edges));
  ASSERT_TRUE(read_channel_coefficients(second.data(), 16, 1, reader, edges));
  EXPECT_EQ(first[0], 1.0f);
  EXPECT_EQ(second[0], 2.0f);
  EXPECT_EQ(first[15], 1.0f);
  EXPECT_EQ(second[15], -1.0f);
}

TEST(BlockDecoder, NoBandsLeaveEveryQuantisedValueZero) {
  const uint32_t edges[] = {8};
  BitWriter w;
  w.put(float29_bits(23, 3, false), 29);
  w.put(0, 29);
  put_run(w, RunSpec{1, 3, {}});
  for (int i = 0; i < 14; ++i) w.put(5, 3), w.put(0, 1);
  const Decoded d = decode(w, 16, 0, edges);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.coeffs[0], 3.0f);
  for (uint32_t k = 2; k < 16; ++k) EXPECT_EQ(d.coeffs[k], 0.0f) << k;
}

// Exhaustion at each kind of field: padding before the channel places the
// field so that all but its last bit lie in the payload; the word holding
// that bit is missing, so the field fails although the buffer holds part of
// it, and the reader stays where the field began. A second channel read
// from that state fails at once and leaves it alone.
TEST(BlockDecoder, ExhaustionFailsAtEveryKindOfField) {
  struct Case {
    const char* field;
    uint32_t start;  // bit offset within the channel
    uint32_t width;
  };
  // The channel below: floats at 0 and 29, indices from 58, run flag 90,
  // run index 91, width 95, then magnitude (3 bits) and sign pairs from 99.
  const Case cases[] = {
      {"first float", 0, 29},     {"second float", 29, 29},
      {"quantiser index", 58, 8}, {"run flag", 90, 1},
      {"run index", 91, 4},       {"width", 95, 4},
      {"magnitude", 99, 3},       {"sign", 102, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    const uint32_t padding = (32 - (c.start + c.width - 1) % 32) % 32;
    BitWriter w;
    w.put(0, padding);
    put_small_header(w);
    RunSpec run{0, 3, {}};
    run.values.assign(16, 1);
    put_run(w, run);
    const uint32_t words = (padding + c.start + c.width - 1) / 32;
    const auto bytes = w.bytes();
    std::vector<uint8_t> payload(bytes.begin(), bytes.begin() + 4 * words);
    BitReader reader{0, 0, 0, 4 * words, payload.data()};
    uint32_t skipped = 0;
    for (uint32_t left = padding; left > 0;) {
      const uint32_t part = left > 29 ? 29 : left;
      ASSERT_TRUE(read_bits(reader, part, skipped));
      left -= part;
    }
    std::vector<float> coeffs(small_n);
    EXPECT_FALSE(read_channel_coefficients(coeffs.data(), small_n, small_bands,
                                           reader, small_edges));
    EXPECT_EQ(reader.next, 4 * words);
    EXPECT_EQ(32 * words - reader.count, padding + c.start);
    const BitReader failed = reader;
    EXPECT_FALSE(read_channel_coefficients(coeffs.data(), small_n, small_bands,
                                           reader, small_edges));
    EXPECT_EQ(reader.count, failed.count);
    EXPECT_EQ(reader.buffer, failed.buffer);
  }
}

}  // namespace
}  // namespace orv::vlkdec
