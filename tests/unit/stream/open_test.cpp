#include <gtest/gtest.h>

#include <cstring>

#include "stream.h"
#include "stream_files.h"

namespace orv::test {
namespace {

using vlkdec::compute_layout;

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

// "Seek table lookup" of the entry that holds `frame` at 44100 Hz.
std::array<uint32_t, 2> lookup(HostStream& s, uint32_t frame) {
  std::array<uint32_t, 2> result = {0, 0};
  const auto ms =
      static_cast<int32_t>((uint64_t{frame} * 1000 + 44099) / 44100);
  EXPECT_EQ(s.set(ORV_TOKEN_SEEK_TABLE_LOOKUP, ms, 0, result.data()), 1);
  return result;
}

TEST_F(StreamOpen, ReadsHeaderAndTableIntoOneAllocation) {
  HeaderFields h;
  h.total_samples = 441000;
  h.max_block_size = 2000;
  h.file_size = 123456;
  h.seek_word = 3 | 7u << 16;  // 3 entries of 7 blocks
  std::vector<uint8_t> file = file_with(h, {100, 200, 50});
  file.resize(5000, 0);
  HostStream s(file);
  ASSERT_EQ(s.host.allocations.size(), 1u);
  EXPECT_EQ(s.host.allocations[0].line, 202u);
  EXPECT_EQ(s.host.allocated_bytes,
            compute_layout(2, 44100, 2000, 3).block_size);
  EXPECT_EQ(s.query(ORV_TOKEN_POSITION), 30u);  // past the table
  // The stored sizes as offsets from the data start, entries 7 * 1920
  // frames apart.
  EXPECT_EQ(lookup(s, 0), (std::array<uint32_t, 2>{30, 0}));
  EXPECT_EQ(lookup(s, 13440), (std::array<uint32_t, 2>{130, 13440}));
  EXPECT_EQ(lookup(s, 26880), (std::array<uint32_t, 2>{330, 26880}));
  // The table's end (350) is the end of the timeline: 10 s.
  uint32_t ms = 0;
  ASSERT_EQ(s.set(ORV_TOKEN_EXACT_GET_POSITION, 30 + 350, 0, &ms), 1);
  EXPECT_EQ(ms, 10000u);
  // The input buffer holds two blocks of max_block_size + 4.
  const size_t first = s.host.reads.size();
  s.process(4);
  ASSERT_GT(s.host.reads.size(), first);
  EXPECT_EQ(s.host.reads[first].asked, 4008u);

  EXPECT_EQ(ORV_stream_close(s.handle), 0);
  s.handle = nullptr;
  ASSERT_EQ(s.host.frees.size(), 1u);
  EXPECT_EQ(s.host.frees[0].line, 280u);
  EXPECT_EQ(s.host.frees[0].source_file, s.host.allocations[0].source_file);
  EXPECT_FALSE(s.host.block_live());
}

TEST_F(StreamOpen, VersionsSplitTheSeekWordDifferently) {
  for (uint8_t version : {0, 1, 2}) {
    HeaderFields h;
    h.version = version;
    h.seek_word = 3u << 16 | 5;
    const size_t entries = version == 2 ? 5 : 196613;
    HostStream s(file_with(h, std::vector<uint16_t>(entries, 10)));
    ASSERT_NE(s.handle, nullptr) << int{version};
    EXPECT_EQ(s.query(ORV_TOKEN_POSITION), vlkdec::data_start_for(entries));
    EXPECT_EQ(s.host.reads.size(), 1 + (entries + 127) / 128);
    // Only version 2 has blocks per entry (3), which the lookups need.
    uint32_t result[2] = {0, 0};
    EXPECT_EQ(s.set(ORV_TOKEN_SEEK_TABLE_LOOKUP, 200, 0, result),
              version == 2 ? 1 : 0);
    if (version == 2) {
      EXPECT_EQ(result[0], vlkdec::data_start_for(entries) + 10);
      EXPECT_EQ(result[1], 3u * 1920);
    }
  }
}

TEST_F(StreamOpen, SeekTableIsReadInChunksOf128Entries) {
  HeaderFields h;
  h.total_samples = 1000000;
  h.seek_word = 300 | 1u << 16;
  HostStream s(file_with(h, std::vector<uint16_t>(300, 1)));
  ASSERT_EQ(s.host.reads.size(), 4u);
  EXPECT_EQ(s.host.reads[0].asked, 24u);
  EXPECT_EQ(s.host.reads[0].offset, 0);
  EXPECT_EQ(s.host.reads[1].asked, 256u);
  EXPECT_EQ(s.host.reads[2].asked, 256u);
  EXPECT_EQ(s.host.reads[3].asked, 88u);
  EXPECT_EQ(s.host.reads[3].offset, -1);
  // Entries from every chunk are in their places.
  for (uint32_t entry : {0u, 127u, 128u, 255u, 256u, 299u}) {
    EXPECT_EQ(lookup(s, entry * 1920)[0], 24 + 600 + entry) << entry;
  }

  h.seek_word = 0;
  HostStream empty(file_with(h, {}));
  EXPECT_EQ(empty.host.reads.size(), 1u);
  EXPECT_EQ(empty.query(ORV_TOKEN_POSITION), 24u);
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

TEST_F(StreamOpen, DurationIsExactBeyond32Bits) {
  // 4000000000 frames at 48000 Hz: 83333333 ms, the answer at the end of
  // the timeline.
  HeaderFields h;
  h.sample_rate = 48000;
  h.total_samples = 4000000000u;
  h.seek_word = 1 | 1u << 16;
  HostStream s(file_with(h, {100}));
  uint32_t ms = 0;
  ASSERT_EQ(s.set(ORV_TOKEN_EXACT_GET_POSITION, 26 + 100, 0, &ms), 1);
  EXPECT_EQ(ms, 83333333u);
}

}  // namespace
}  // namespace orv::test
