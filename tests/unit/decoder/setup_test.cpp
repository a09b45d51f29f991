#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "decoder/block_decoder.h"
#include "transform/transform_table.h"

namespace orv::vlkdec {
namespace {

// Storage for the largest decoder, filled with garbage before each setup
// so that the test sees what setup itself writes.
struct Storage {
  alignas(16) uint8_t bytes[block_decoder_state_size(48000, 2) + 64];
  BlockDecoder* setup(uint32_t rate, uint32_t channels, uint32_t flags) {
    std::memset(bytes, 0xA5, sizeof(bytes));
    return setup_block_decoder(bytes, rate, channels, flags);
  }
};

std::vector<uint32_t> edges_of(const BlockDecoder& d) {
  return std::vector<uint32_t>(d.band_edges, d.band_edges + d.band_count + 1);
}

TEST(BlockDecoder, SetupDerivesSizesForEachFrameLengthAndPair) {
  struct Row {
    uint32_t rate, channels, n, block, overlap, shift;
  };
  const Row rows[] = {
      {8000, 1, 512, 1024, 64, 5},    {8000, 2, 512, 2048, 128, 6},
      {32000, 1, 1024, 2048, 128, 6}, {32000, 2, 1024, 4096, 256, 7},
      {44100, 1, 2048, 4096, 256, 7}, {48000, 2, 2048, 8192, 512, 8},
  };
  Storage storage;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.rate * 10 + row.channels);
    const BlockDecoder* d = storage.setup(row.rate, row.channels, 1);
    EXPECT_EQ(d->transform_length, row.n);
    EXPECT_EQ(d->block_bytes, row.block);
    EXPECT_EQ(d->overlap_bytes, row.overlap);
    EXPECT_EQ(d->overlap_shift, row.shift);
    EXPECT_EQ(d->transform_count, row.channels);
    EXPECT_EQ(d->state_size, 176 + row.overlap);
    EXPECT_EQ(d->state_size, block_decoder_state_size(row.rate, row.channels));
    EXPECT_EQ(d->scale, 2.0f / std::sqrt(static_cast<float>(row.n)));
    EXPECT_EQ(d->first_block, 1);
    EXPECT_EQ(d->transform_table, transform_table);
    EXPECT_EQ(d->transform_table_length, 2048u);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(d->tail),
              storage.bytes + block_decoder_fixed_bytes);
    // Cleared, so a pair whose first sub-block was empty fades in from
    // silence; the byte after the tail is not touched.
    for (uint32_t i = 0; i < row.overlap / 2; ++i) ASSERT_EQ(d->tail[i], 0);
    EXPECT_EQ(storage.bytes[block_decoder_fixed_bytes + row.overlap], 0xA5);
  }
  EXPECT_NEAR(storage.setup(1024, 1, 1)->scale, 0.0883883, 1e-7);
  EXPECT_EQ(storage.setup(22050, 1, 1)->scale, 0.0625f);
  EXPECT_NEAR(storage.setup(44100, 1, 1)->scale, 0.0441942, 1e-7);
}

TEST(BlockDecoder, BandEdgesForKnownRates) {
  Storage storage;
  EXPECT_EQ(edges_of(*storage.setup(44100, 2, 1)),
            (std::vector<uint32_t>{1,   4,   9,   13,  18,  23,  29,  35,  42,
                                   50,  58,  68,  79,  92,  107, 125, 146, 171,
                                   204, 246, 297, 357, 441, 557, 719, 1024}));
  EXPECT_EQ(edges_of(*storage.setup(22050, 1, 1)),
            (std::vector<uint32_t>{1,   4,   9,   13,  18,  23,  29,  35,
                                   42,  50,  58,  68,  79,  92,  107, 125,
                                   146, 171, 204, 246, 297, 357, 441, 512}));
  EXPECT_EQ(edges_of(*storage.setup(8000, 2, 3)),
            (std::vector<uint32_t>{1, 6, 12, 19, 25, 32, 40, 49, 58, 69, 81, 94,
                                   110, 128, 148, 172, 201, 236, 256}));
  EXPECT_EQ(edges_of(*storage.setup(48000, 2, 3)),
            (std::vector<uint32_t>{1,   4,   8,   12,  17,  21,  26,  32,  39,
                                   46,  54,  63,  73,  85,  98,  115, 134, 157,
                                   187, 226, 273, 328, 405, 512, 661, 1024}));
  EXPECT_EQ(edges_of(*storage.setup(1, 1, 1)), (std::vector<uint32_t>{1, 256}));
  EXPECT_EQ(edges_of(*storage.setup(0, 1, 1)), (std::vector<uint32_t>{256}));
}

TEST(BlockDecoder, BandEdgesAscendForEveryHeaderRate) {
  Storage storage;
  for (uint32_t rate = 1; rate <= 65535; ++rate) {
    const BlockDecoder* d = storage.setup(rate, 1, 1);
    ASSERT_LE(d->band_count, max_band_count);
    ASSERT_EQ(d->band_edges[0], 1u) << rate;
    for (uint32_t j = 0; j < d->band_count; ++j) {
      ASSERT_LT(d->band_edges[j], d->band_edges[j + 1]) << rate;
    }
    ASSERT_EQ(d->band_edges[d->band_count], d->transform_length / 2) << rate;
  }
}

TEST(BlockDecoder, SingleChannelPairIsNeverPlanar) {
  Storage storage;
  EXPECT_EQ(storage.setup(16000, 1, 3)->flags, 1u);
  EXPECT_EQ(storage.setup(16000, 2, 3)->flags, 3u);
  EXPECT_EQ(storage.setup(16000, 2, 1)->flags, 1u);
}

}  // namespace
}  // namespace orv::vlkdec
