#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "format/bands.h"
#include "format/coding.h"
#include "format/file_header.h"
#include "format/frame.h"
#include "support/sub_block_writer.h"

namespace orv::vlkdec {
namespace {

using test::float29_bits;

TEST(FileHeader, RoundTripsAndSplitsSeekWordByVersion) {
  FileHeader h{};
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
  const auto back = parse_file_header(bytes.data(), bytes.size());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->channels, 6);
  EXPECT_EQ(back->sample_rate, 48000);
  EXPECT_EQ(back->total_samples, 4000000000u);
  EXPECT_EQ(back->max_block_size, 12345u);
  EXPECT_EQ(back->file_size, 987654u);
  EXPECT_EQ(back->seek_entry_count, 5u);
  EXPECT_EQ(back->blocks_per_seek_entry, 3u);

  // Versions 0 and 1 keep the whole word as the entry count: the version 2
  // word of 5 entries of 3 blocks is 196613 entries there.
  auto v1 = bytes;
  v1[4] = 1;
  EXPECT_EQ(parse_file_header(v1.data(), v1.size())->seek_entry_count, 196613u);
  EXPECT_EQ(parse_file_header(v1.data(), v1.size())->blocks_per_seek_entry, 0u);
  h.version = 1;
  EXPECT_EQ(write_file_header(h)[22], 0);

  auto bad = bytes;
  bad[4] = 3;
  EXPECT_FALSE(parse_file_header(bad.data(), bad.size()).has_value());
  EXPECT_TRUE(has_file_magic(bad.data(), bad.size()));
  EXPECT_FALSE(parse_file_header(bytes.data(), 23).has_value());
  bad = bytes;
  bad[3] = 'W';
  EXPECT_FALSE(parse_file_header(bad.data(), bad.size()).has_value());
  EXPECT_FALSE(has_file_magic(bad.data(), bad.size()));
}

TEST(FrameLength, SwitchesAtInclusiveThresholds) {
  struct Row {
    uint32_t rate, frame_length, samples_per_block;
  };
  for (const Row& r :
       {Row{44100, 2048, 1920}, Row{44099, 1024, 960}, Row{22050, 1024, 960},
        Row{22049, 512, 480}, Row{0, 512, 480}}) {
    SCOPED_TRACE(r.rate);
    EXPECT_EQ(frame_length_for_rate(r.rate), r.frame_length);
    EXPECT_EQ(samples_per_block(r.rate), r.samples_per_block);
  }
  EXPECT_EQ(skip_step_frames(1), 8u);
  EXPECT_EQ(skip_step_frames(2), 4u);
  EXPECT_EQ(skip_step_frames(3), 1u);
  EXPECT_EQ(skip_step_frames(0), 1u);
}

TEST(SeekEntry, LocatesAndClampsToTheTable) {
  FileHeader h{};
  h.sample_rate = 8000;  // 480 frames per block
  h.total_samples = 100000;
  h.seek_entry_count = 3;
  h.blocks_per_seek_entry = 1;
  struct Row {
    uint32_t sample, index, first, offset;
  };
  for (const Row& r :
       {Row{0, 0, 0, 0}, Row{479, 0, 0, 479}, Row{480, 1, 480, 0},
        // A frame equal to the total is kept, one past it
        // becomes the last frame; the index stops at the
        // last entry.
        Row{100000, 2, 960, 100000 - 960}, Row{100001, 2, 960, 99999 - 960}}) {
    SCOPED_TRACE(r.sample);
    const SeekEntryLocation at = locate_seek_entry(h, r.sample);
    EXPECT_EQ(at.index, r.index);
    EXPECT_EQ(at.first_sample, r.first);
    EXPECT_EQ(at.offset, r.offset);
  }
  // A stream of no length takes every position as the largest frame.
  h.total_samples = 0;
  EXPECT_EQ(locate_seek_entry(h, 5).first_sample, 960u);
  EXPECT_EQ(locate_seek_entry(h, 5).offset, 0xFFFFFFFFu - 960);
  // Without blocks per entry everything lies in entry 0.
  h.total_samples = 100000;
  h.blocks_per_seek_entry = 0;
  EXPECT_EQ(locate_seek_entry(h, 5000).index, 0u);
  EXPECT_EQ(locate_seek_entry(h, 5000).offset, 5000u);
}

TEST(BandEdges, FollowTheCriticalFrequencies) {
  const auto edges_of = [](uint32_t rate) {
    const BandEdges b = band_edges_for_rate(rate);
    return std::vector<uint32_t>(b.edges, b.edges + b.count + 1);
  };
  EXPECT_EQ(edges_of(44100),
            (std::vector<uint32_t>{1,   4,   9,   13,  18,  23,  29,  35,  42,
                                   50,  58,  68,  79,  92,  107, 125, 146, 171,
                                   204, 246, 297, 357, 441, 557, 719, 1024}));
  EXPECT_EQ(edges_of(48000),
            (std::vector<uint32_t>{1,   4,   8,   12,  17,  21,  26,  32,  39,
                                   46,  54,  63,  73,  85,  98,  115, 134, 157,
                                   187, 226, 273, 328, 405, 512, 661, 1024}));
  EXPECT_EQ(edges_of(22050),
            (std::vector<uint32_t>{1,   4,   9,   13,  18,  23,  29,  35,
                                   42,  50,  58,  68,  79,  92,  107, 125,
                                   146, 171, 204, 246, 297, 357, 441, 512}));
  EXPECT_EQ(edges_of(8000),
            (std::vector<uint32_t>{1, 6, 12, 19, 25, 32, 40, 49, 58, 69, 81, 94,
                                   110, 128, 148, 172, 201, 236, 256}));
  EXPECT_EQ(edges_of(1), (std::vector<uint32_t>{1, 256}));
  EXPECT_EQ(edges_of(0), (std::vector<uint32_t>{256}));
}

TEST(BandEdges, AscendFromOneToHalfTheFrameForEveryRate) {
  for (uint32_t rate = 1; rate <= 65535; ++rate) {
    const BandEdges b = band_edges_for_rate(rate);
    ASSERT_LE(b.count, max_band_count);
    ASSERT_EQ(b.edges[0], 1u) << rate;
    for (uint32_t j = 0; j < b.count; ++j) {
      ASSERT_LT(b.edges[j], b.edges[j + 1]) << rate;
    }
    ASSERT_EQ(b.edges[b.count], frame_length_for_rate(rate) / 2) << rate;
  }
}

TEST(Float29, DecodesExactly) {
  EXPECT_EQ(decode_float29(float29_bits(23, 1, false)), 1.0f);
  EXPECT_EQ(decode_float29(float29_bits(0, 1, false)), 0x1p-23f);
  EXPECT_EQ(decode_float29(float29_bits(23, 0x7FFFFF, true)), -8388607.0f);
  EXPECT_EQ(decode_float29(float29_bits(10, 12345, false)),
            12345.0f * 0x1p-13f);
  const float negative_zero = decode_float29(float29_bits(5, 0, true));
  EXPECT_EQ(negative_zero, 0.0f);
  EXPECT_TRUE(std::signbit(negative_zero));
}

TEST(Float29, ExponentBeyondTableDecodesAsSignedZero) {
  for (uint32_t e = 24; e < 32; ++e) {
    SCOPED_TRACE(e);
    const float positive = decode_float29(float29_bits(e, 0x7FFFFF, false));
    const float negative = decode_float29(float29_bits(e, 1, true));
    EXPECT_EQ(positive, 0.0f);
    EXPECT_FALSE(std::signbit(positive));
    EXPECT_EQ(negative, 0.0f);
    EXPECT_TRUE(std::signbit(negative));
  }
}

TEST(Float29, EncodeKeepsTheFinestExponentThatHoldsTheValue) {
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

TEST(QuantiserTable, IsTenToTheStepRoundedToFloat) {
  for (uint32_t i = 0; i < quantiser_count; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(quantiser_table[i],
              static_cast<float>(std::pow(10.0, 0.0664 * i)));
  }
  EXPECT_EQ(quantiser_table[0], 1.0f);
  EXPECT_EQ(quantiser_table[1], 1.1651987f);
  EXPECT_EQ(quantiser_table[95], 2032357.0f);
}

}  // namespace
}  // namespace orv::vlkdec
