#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "decoder/block_decoder.h"
#include "format/bands.h"
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

TEST(BlockDecoder, TakesTheFormatsBandsForEveryRate) {
  Storage storage;
  for (uint32_t rate = 1; rate <= 65535; ++rate) {
    const BlockDecoder* d = storage.setup(rate, 1, 1);
    const BandEdges bands = band_edges_for_rate(rate);
    ASSERT_EQ(d->band_count, bands.count) << rate;
    ASSERT_EQ(edges_of(*d),
              std::vector<uint32_t>(bands.edges, bands.edges + bands.count + 1))
        << rate;
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
