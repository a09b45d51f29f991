#include <gtest/gtest.h>

#include <cstring>

#include "sdk/orv/vlkdec/plugin_api.h"
#include "stream_files.h"

namespace orv::test {
namespace {

using vlkdec::compute_layout;
using vlkdec::DecodeStream;
using vlkdec::from_handle;

TEST(StreamLayout, WorkedSizesComeOutExactly) {
  struct Case {
    uint32_t channels, rate, max_block_size, entries;
    uint32_t in_offset, in_capacity, decoder_offset;
    std::vector<uint32_t> states;
    uint32_t pcm_offset, pcm_capacity, block_size;
  };
  const Case cases[] = {
      {2, 44100, 2000, 10, 320, 4008, 4352, {688}, 5056, 10400, 15488},
      {1, 22050, 1000, 0, 320, 2008, 2368, {304}, 2688, 3232, 5952},
      {5, 32000, 4000, 3, 320, 8008, 8384, {432, 432, 304}, 9600, 15520, 25152},
      {6,
       48000,
       8000,
       100,
       704,
       16008,
       16768,
       {688, 688, 688},
       18880,
       30880,
       49792},
  };
  for (const Case& c : cases) {
    const auto layout =
        compute_layout(c.channels, c.rate, c.max_block_size, c.entries);
    ASSERT_TRUE(layout.valid);
    EXPECT_EQ(layout.seek_table_offset, 256u);
    EXPECT_EQ(layout.in_offset, c.in_offset);
    EXPECT_EQ(layout.in_capacity, c.in_capacity);
    EXPECT_EQ(layout.decoder_offset, c.decoder_offset);
    ASSERT_EQ(layout.pair_count, c.states.size());
    for (size_t k = 0; k < c.states.size(); ++k) {
      EXPECT_EQ(layout.state_sizes[k], c.states[k]);
    }
    EXPECT_EQ(layout.pcm_offset, c.pcm_offset);
    EXPECT_EQ(layout.pcm_capacity, c.pcm_capacity);
    EXPECT_EQ(layout.block_size, c.block_size);
  }
}

TEST(StreamLayout, HeadersOutsideTheDataModelAreInvalid) {
  EXPECT_FALSE(compute_layout(0, 44100, 2000, 0).valid);
  EXPECT_FALSE(compute_layout(9, 44100, 2000, 0).valid);
  EXPECT_FALSE(compute_layout(2, 0, 2000, 0).valid);
  EXPECT_FALSE(compute_layout(2, 44100, 2000, 0xFFFFFFFFu).valid);
  EXPECT_FALSE(compute_layout(2, 44100, 2000, 0x40000000u).valid);
  EXPECT_TRUE(compute_layout(8, 1, 0, 0).valid);
}

TEST(StreamLayout, BlockBoundsBeyondTheLargestPossibleBlockSizeNothingMore) {
  // A frame header and a 16-bit payload size: 65539 bytes at most.
  const auto largest = compute_layout(8, 48000, 65539, 0);
  ASSERT_TRUE(largest.valid);
  EXPECT_EQ(largest.in_capacity, 2u * 65543u);
  for (uint32_t bound : {65540u, 0x7FFFFFFEu, 0xFFFFFFFCu, 0xFFFFFFFFu}) {
    const auto layout = compute_layout(8, 48000, bound, 0);
    ASSERT_TRUE(layout.valid) << bound;
    EXPECT_EQ(layout.block_size, largest.block_size) << bound;
    EXPECT_EQ(layout.in_capacity, largest.in_capacity) << bound;
  }
}

// A file with the given header fields, stored seek sizes and no blocks.
std::vector<uint8_t> file_with(HeaderFields h,
                               const std::vector<uint16_t>& sizes) {
  auto out = header_bytes(h);
  for (uint16_t s : sizes) put_u16(out, s);
  return out;
}

class StreamOpen : public ::testing::Test {
 protected:
  void SetUp() override { ORV_startup(); }
  void TearDown() override { ORV_startup(); }
};

TEST_F(StreamOpen, RefusedHeadersAllocateNothingAndLeaveTheErrorText) {
  std::vector<std::vector<uint8_t>> files;
  HeaderFields h;
  files.push_back({});
  files.push_back(header_bytes(h));
  files.back().resize(23);
  h.magic = 0x564C4B32;
  files.push_back(header_bytes(h));
  h = {};
  h.version = 3;
  files.push_back(header_bytes(h));
  for (uint8_t channels : {0, 9, 255}) {
    h = {};
    h.channels = channels;
    files.push_back(header_bytes(h));
  }
  h = {};
  h.sample_rate = 0;
  files.push_back(header_bytes(h));
  h = {};
  h.version = 1;
  h.seek_word = 0xFFFFFFFFu;  // entry count whose table size wraps
  files.push_back(header_bytes(h));
  for (const auto& file : files) {
    FakeHost host(file);
    EXPECT_EQ(host.open(), nullptr);
    EXPECT_TRUE(host.allocations.empty());
    EXPECT_EQ(ORV_error(), nullptr);
    EXPECT_TRUE(host.faults.empty());
  }
}

TEST_F(StreamOpen, ReadsHeaderAndTableAndLaysOutTheStream) {
  HeaderFields h;
  h.version = 2;
  h.channels = 2;
  h.sample_rate = 44100;
  h.total_samples = 441000;
  h.max_block_size = 2000;
  h.file_size = 123456;
  h.seek_word = 3 | 7u << 16;
  FakeHost host(file_with(h, {100, 200, 50}));
  ORV_Stream* handle = host.open();
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(host.allocations.size(), 1u);
  EXPECT_EQ(host.allocations[0].line, 202u);
  EXPECT_EQ(host.allocated_bytes, compute_layout(2, 44100, 2000, 3).block_size);
  const DecodeStream& s = *from_handle(handle);
  EXPECT_EQ(static_cast<const void*>(&s), host.block());
  EXPECT_EQ(s.max_block_bytes, 2004u);
  EXPECT_EQ(s.header.seek_entry_count, 3u);
  EXPECT_EQ(s.header.blocks_per_seek_entry, 7u);
  EXPECT_EQ(s.data_start, 30u);
  EXPECT_EQ(s.file_position, 30u);
  EXPECT_EQ(s.file_size, 123456u);
  EXPECT_EQ(s.header.file_size, 123456u);
  EXPECT_EQ(s.duration_ms, 10000u);
  EXPECT_EQ(s.loop_end_remaining, -1);
  EXPECT_EQ(s.in_capacity, 4008u);
  EXPECT_EQ(s.pcm_block_bytes, 8192u);
  EXPECT_EQ(s.in_bytes + s.pcm_bytes + s.skip_samples + s.seek_pending +
                s.resync_pending + s.deferred_seek + s.deferred_skip,
            0u);
  const uint32_t expected_table[] = {0, 100, 300, 350};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(s.seek_table[i], expected_table[i]);
  const auto* base = static_cast<const uint8_t*>(host.block());
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(s.seek_table) - base, 256);
  EXPECT_EQ(s.in_buffer - base, 320);
  EXPECT_EQ(s.pcm_buffer - base, 5056);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(s.decoders[0]) - base, 4352);
  EXPECT_EQ(ORV_stream_close(handle), 0);
  ASSERT_EQ(host.frees.size(), 1u);
  EXPECT_EQ(host.frees[0].line, 280u);
  EXPECT_EQ(host.frees[0].source_file, host.allocations[0].source_file);
  EXPECT_FALSE(host.block_live());
  EXPECT_TRUE(host.faults.empty());
}

TEST_F(StreamOpen, VersionsSplitTheSeekWordDifferently) {
  for (uint8_t version : {0, 1, 2}) {
    HeaderFields h;
    h.version = version;
    h.seek_word = 3u << 16 | 5;
    std::vector<uint16_t> sizes(version == 2 ? 5 : 196613, 10);
    FakeHost host(file_with(h, sizes));
    ORV_Stream* handle = host.open();
    ASSERT_NE(handle, nullptr) << int{version};
    const DecodeStream& s = *from_handle(handle);
    EXPECT_EQ(s.header.seek_entry_count, sizes.size());
    EXPECT_EQ(s.header.blocks_per_seek_entry, version == 2 ? 3u : 0u);
    EXPECT_EQ(s.data_start, 24 + 2 * sizes.size());
    EXPECT_EQ(s.seek_table[sizes.size()], 10 * sizes.size());
    ORV_stream_close(handle);
  }
}

TEST_F(StreamOpen, SeekTableIsReadInChunksOf128Entries) {
  HeaderFields h;
  h.seek_word = 300;
  FakeHost host(file_with(h, std::vector<uint16_t>(300, 1)));
  ORV_Stream* handle = host.open();
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(host.reads.size(), 4u);
  EXPECT_EQ(host.reads[0].asked, 24u);
  EXPECT_EQ(host.reads[0].offset, 0);
  EXPECT_EQ(host.reads[1].asked, 256u);
  EXPECT_EQ(host.reads[2].asked, 256u);
  EXPECT_EQ(host.reads[3].asked, 88u);
  EXPECT_EQ(host.reads[3].offset, -1);
  EXPECT_EQ(from_handle(handle)->seek_table[300], 300u);
  ORV_stream_close(handle);

  h.seek_word = 0;
  FakeHost empty(file_with(h, {}));
  handle = empty.open();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(empty.reads.size(), 1u);
  EXPECT_EQ(from_handle(handle)->seek_table[0], 0u);
  EXPECT_EQ(from_handle(handle)->data_start, 24u);
  ORV_stream_close(handle);
}

TEST_F(StreamOpen, ShortSeekTableFreesTheBlock) {
  HeaderFields h;
  h.seek_word = 200;
  FakeHost host(file_with(h, std::vector<uint16_t>(199, 1)));
  EXPECT_EQ(host.open(), nullptr);
  ASSERT_EQ(host.frees.size(), 1u);
  EXPECT_EQ(host.frees[0].line, 243u);
  EXPECT_FALSE(host.block_live());
  EXPECT_EQ(ORV_error(), nullptr);
  EXPECT_TRUE(host.faults.empty());
}

TEST_F(StreamOpen, RefusedAllocationReportsOutOfMemory) {
  FakeHost host(header_bytes({}));
  host.refuse_allocation = true;
  EXPECT_EQ(host.open(), nullptr);
  ASSERT_NE(ORV_error(), nullptr);
  EXPECT_STREQ(ORV_error(), "Out of memory");
  EXPECT_TRUE(host.frees.empty());
}

TEST_F(StreamOpen, HostReadResultsOtherThanTheCountAskedFailTheOpen) {
  HeaderFields h;
  h.seek_word = 300;
  const auto file = file_with(h, std::vector<uint16_t>(300, 1));
  struct Case {
    size_t read;  // the open's read whose result is changed
    int32_t change;
  };
  for (const Case c : {Case{0, 1}, Case{0, -24}, Case{0, -1000}, Case{1, 1},
                       Case{2, -256}, Case{3, 1000}}) {
    FakeHost host(file);
    size_t reads = 0;
    host.result_override = [&](uint32_t asked, uint32_t delivered) {
      const int32_t result = reads++ == c.read
                                 ? static_cast<int32_t>(asked) + c.change
                                 : static_cast<int32_t>(delivered);
      return result;
    };
    EXPECT_EQ(host.open(), nullptr) << c.read << " " << c.change;
    // Refused before the allocation, or the block handed back.
    EXPECT_EQ(host.allocations.empty(), c.read == 0);
    EXPECT_FALSE(host.block_live());
    EXPECT_TRUE(host.faults.empty());
    EXPECT_EQ(ORV_error(), nullptr);
  }
}

TEST_F(StreamOpen, AHugeBlockBoundAsksForNoMoreThanTheLargestBlock) {
  HeaderFields h;
  h.channels = 8;
  h.max_block_size = 65539;
  FakeHost largest(header_bytes(h));
  ORV_Stream* handle = largest.open();
  ASSERT_NE(handle, nullptr);
  ORV_stream_close(handle);
  h.max_block_size = 0xFFFFFFF0u;
  FakeHost huge(header_bytes(h));
  handle = huge.open();
  ASSERT_NE(handle, nullptr);
  ORV_stream_close(handle);
  ASSERT_EQ(huge.allocations.size(), 1u);
  EXPECT_LE(huge.allocated_bytes, largest.allocated_bytes);
}

TEST_F(StreamOpen, ChannelPairsAndDecoderFlags) {
  struct Case {
    uint8_t channels;
    std::vector<uint32_t> pairs;
    uint32_t flags;
  };
  for (const Case& c : {Case{1, {1}, 1}, Case{2, {2}, 1}, Case{5, {2, 2, 1}, 3},
                        Case{8, {2, 2, 2, 2}, 3}}) {
    HeaderFields h;
    h.channels = c.channels;
    h.sample_rate = 48000;
    h.total_samples = 4000000000u;
    FakeHost host(header_bytes(h));
    ORV_Stream* handle = host.open();
    ASSERT_NE(handle, nullptr);
    const DecodeStream& s = *from_handle(handle);
    EXPECT_EQ(s.duration_ms, 83333333u);
    ASSERT_EQ(s.decoder_count, static_cast<int32_t>(c.pairs.size()));
    const uint8_t* previous_end = nullptr;
    for (size_t k = 0; k < c.pairs.size(); ++k) {
      EXPECT_EQ(s.decoder_channels[k], static_cast<int32_t>(c.pairs[k]));
      EXPECT_EQ(s.decoders[k]->transform_count, c.pairs[k]);
      // A one-channel pair never writes planar output.
      EXPECT_EQ(s.decoders[k]->flags, c.pairs[k] == 1 ? 1u : c.flags);
      EXPECT_EQ(s.decoders[k]->first_block, 1);
      const auto* at = reinterpret_cast<const uint8_t*>(s.decoders[k]);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(at) % 16, 0u);
      if (previous_end != nullptr) {
        EXPECT_EQ(at, previous_end);
      }
      previous_end = at + s.decoder_state_size[k];
    }
    EXPECT_LE(previous_end, s.pcm_buffer);
    ORV_stream_close(handle);
    EXPECT_TRUE(host.faults.empty());
  }
}

}  // namespace
}  // namespace orv::test
