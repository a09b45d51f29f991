#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "encoder/bit_writer.h"
#include "encoder/velk_format.h"

namespace orv::encoder {
namespace {

TEST(FileHeader, RoundTripsAndSplitsSeekWordByVersion) {
  FileHeader h;
  h.version = 2;
  h.channels = 6;
  h.sample_rate = 48000;
  h.total_samples = 4000000000u;
  h.max_block_size = 12345;
  h.file_size = 987654;
  h.seek_entry_count = 5;
  h.blocks_per_seek_entry = 3;
  const auto bytes = write_file_header(h);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 4),
            (std::vector<uint8_t>{'1', 'K', 'L', 'V'}));
  EXPECT_EQ(bytes[20], 5);
  EXPECT_EQ(bytes[22], 3);
  const auto back = read_file_header(bytes.data(), bytes.size());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->sample_rate, 48000);
  EXPECT_EQ(back->total_samples, 4000000000u);
  EXPECT_EQ(back->seek_entry_count, 5u);
  EXPECT_EQ(back->blocks_per_seek_entry, 3u);

  // Versions 0 and 1 keep the whole word as the entry count.
  h.version = 1;
  const auto v1 = write_file_header(h);
  EXPECT_EQ(v1[22], 0);
  EXPECT_EQ(read_file_header(v1.data(), v1.size())->blocks_per_seek_entry, 0u);

  auto bad = bytes;
  bad[4] = 3;
  EXPECT_FALSE(read_file_header(bad.data(), bad.size()).has_value());
  EXPECT_FALSE(read_file_header(bytes.data(), 23).has_value());
}

TEST(Float29, KeepsTheFinestExponentThatHoldsTheValue) {
  EXPECT_EQ(decode_float29(encode_float29(1.0)), 1.0f);
  EXPECT_EQ(encode_float29(1.0) & 31u, 1u);  // 2^22 * 2^-22
  EXPECT_EQ(encode_float29(std::ldexp(1.0, -23)), (1u << 5) | 0u);
  EXPECT_TRUE(std::signbit(decode_float29(encode_float29(-0.0))));
  EXPECT_EQ(decode_float29(encode_float29(-741455.0)), -741455.0f);
  // Error at most half a unit of the 23-bit mantissa, and never above half
  // the finest step 2^-23.
  for (double v : {0.3, 123.456, 65535.75, 944000.123, -2.5e-3}) {
    const double back = decode_float29(encode_float29(v));
    EXPECT_LE(std::fabs(back - v), std::max(std::fabs(v) * std::ldexp(1.0, -23),
                                            std::ldexp(1.0, -24)))
        << v;
  }
  // Beyond the range the magnitude saturates.
  EXPECT_EQ(decode_float29(encode_float29(1e9)), 8388607.0f);
}

TEST(BandEdges, FollowTheCriticalFrequencies) {
  EXPECT_EQ(band_edges_for_rate(44100),
            (std::vector<uint32_t>{1,   4,   9,   13,  18,  23,  29,  35,  42,
                                   50,  58,  68,  79,  92,  107, 125, 146, 171,
                                   204, 246, 297, 357, 441, 557, 719, 1024}));
  EXPECT_EQ(band_edges_for_rate(8000),
            (std::vector<uint32_t>{1, 6, 12, 19, 25, 32, 40, 49, 58, 69, 81, 94,
                                   110, 128, 148, 172, 201, 236, 256}));
  EXPECT_EQ(band_edges_for_rate(1), (std::vector<uint32_t>{1, 256}));
}

TEST(QuantiserStep, MatchesKnownEntries) {
  EXPECT_EQ(quantiser_step(0), 1.0f);
  EXPECT_EQ(quantiser_step(1), 1.1651987f);
  EXPECT_EQ(quantiser_step(95), 2032357.0f);
}

TEST(BitWriter, PacksLeastSignificantBitFirstAcrossWords) {
  std::vector<uint8_t> out;
  BitWriter w(out);
  w.put(0x3, 2);
  w.put(0x1FFFFFFF, 29);  // straddles the first word boundary
  w.put(0x5, 3);
  w.align_to_word();
  ASSERT_EQ(out.size(), 8u);
  EXPECT_EQ(out[0], 0xFF);
  // Bits 2..30 hold the 29-bit field; the 3-bit field 0b101 takes bit 31
  // and continues in the next word's bits 0 and 1.
  EXPECT_EQ(out[3], 0xFF);
  EXPECT_EQ(out[4], 0x02);
  EXPECT_EQ(w.bits_written(), 64u);
}

}  // namespace
}  // namespace orv::encoder
