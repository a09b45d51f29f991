// The input side through the stream interface: what the host is asked to
// read, the framing decisions on the edge of the buffered bytes, and the
// move to a stretch boundary after a seek. Damaged files and the search
// for sync are in bad_input_test.cpp.
#include <gtest/gtest.h>

#include "stream_files.h"

namespace orv::test {
namespace {

// Stereo at 44100 Hz: a block with an empty payload decodes to 1920 frames
// of silence.
constexpr uint32_t silent_block_bytes = 1920 * 4;

std::vector<uint8_t> file_of(uint32_t max_block_size,
                             const std::vector<uint8_t>& blocks,
                             std::vector<uint16_t> stretches = {}) {
  HeaderFields h;
  h.max_block_size = max_block_size;
  h.seek_word = static_cast<uint32_t>(stretches.size()) | 1u << 16;
  auto file = header_bytes(h);
  for (uint16_t size : stretches) put_u16(file, size);
  append(file, blocks);
  return file;
}

std::vector<uint8_t> silent_blocks(int count) {
  std::vector<uint8_t> blocks;
  for (int i = 0; i < count; ++i) append(blocks, frame(0));
  return blocks;
}

TEST(Input, ReadsAskForAllFreeSpaceAndOnlyWhenTheBlockIsNotWhole) {
  // max_block_size 1000: a 2008-byte buffer. A block of 4 bytes needs 8
  // (itself and the next frame header). The host delivers 10 bytes a read.
  HostStream s(file_of(1000, silent_blocks(20)));
  s.host.max_read = 10;
  const size_t after_open = s.host.reads.size();
  for (int block = 0; block < 20; ++block) {
    ASSERT_EQ(s.process(silent_block_bytes), silent_block_bytes) << block;
  }
  // Reads only when fewer than 8 bytes wait, each into all the space
  // behind the buffered bytes: the bytes already there are not moved while
  // a block still fits behind them.
  std::vector<uint32_t> asked;
  for (size_t i = after_open; i < s.host.reads.size(); ++i) {
    asked.push_back(s.host.reads[i].asked);
  }
  ASSERT_GE(asked.size(), 3u);
  EXPECT_EQ(asked[0], 2008u);
  EXPECT_EQ(asked[1], 1998u);
  EXPECT_EQ(asked[2], 1988u);
  EXPECT_LE(asked.size(), 9u);  // 80 bytes in reads of 10, and the end
  EXPECT_EQ(s.process(silent_block_bytes), 0u);
}

TEST(Input, HostResultsOutsideTheRequestMoveNothingBeyondIt) {
  // A result above the count asked counts as the count asked; a negative
  // one as nothing.
  for (const int32_t result : {3 * 2008, -5}) {
    HostStream s(file_of(1000, silent_blocks(3)));
    s.host.result_override = [result](uint32_t, uint32_t) { return result; };
    const size_t first = s.host.reads.size();
    const uint32_t got = s.process(silent_block_bytes);
    EXPECT_EQ(s.query(ORV_TOKEN_POSITION),
              24 + (result < 0 ? 0 : s.asked_since(first)));
    EXPECT_EQ(got, result < 0 ? 0 : silent_block_bytes);
  }
}

TEST(Framing, OneByteOfTheNextFrameHeaderMustBeTheSyncsFirst) {
  // Two blocks, then a single byte: the second block is decoded only when
  // that byte could start a sync word.
  for (const uint8_t last : {uint8_t{0x99}, uint8_t{0x98}}) {
    auto blocks = silent_blocks(2);
    blocks.push_back(last);
    HostStream s(file_of(1000, blocks));
    EXPECT_EQ(s.drain().size(), (last == 0x99 ? 2 : 1) * silent_block_bytes)
        << int{last};
  }
}

TEST(CarryOutSeek, MovesForwardToTheNextStretchBoundary) {
  // Stretches of 100, 200 and 50 bytes from the data start at 30; the
  // header gives the file's size as 380. A "Stream seek position" with
  // nothing buffered realigns at the next processing call, even one that
  // asks for nothing.
  struct Case {
    uint32_t position, discarded, arrival;
  };
  HeaderFields h;
  h.file_size = 380;
  h.seek_word = 3 | 1u << 16;
  auto file = header_bytes(h);
  for (uint16_t size : {100, 200, 50}) put_u16(file, size);
  file.resize(1000, 0);
  for (const Case& c : {Case{30, 0, 30}, Case{20, 10, 30}, Case{130, 0, 130},
                        Case{136, 194, 330}, Case{376, 4, 380},
                        Case{380, 0, 380}, Case{500, 0, 500}}) {
    HostStream s(file);
    ASSERT_EQ(s.set(ORV_TOKEN_STREAM_SEEK_POSITION, int32_t(c.position)), 1);
    s.host.position = c.position;  // the host moves its input there
    const size_t first = s.host.reads.size();
    EXPECT_EQ(ORV_stream_process(s.handle, nullptr, 0), 0u);
    EXPECT_EQ(s.asked_since(first), c.discarded) << c.position;
    EXPECT_EQ(s.query(ORV_TOKEN_POSITION), c.arrival) << c.position;
  }
}

TEST(CarryOutSeek, DiscardsInChunksOfTheInputBuffer) {
  // max_block_size 2000: a 4008-byte buffer. 10000 bytes to the boundary.
  HostStream s(file_of(2000, std::vector<uint8_t>(30000, 0), {20000, 10}));
  const auto data_start = static_cast<uint32_t>(vlkdec::data_start_for(2));
  ASSERT_EQ(s.set(ORV_TOKEN_STREAM_SEEK_POSITION, int32_t(data_start + 10000)),
            1);
  s.host.position = data_start + 10000;
  const size_t first = s.host.reads.size();
  ORV_stream_process(s.handle, nullptr, 0);
  ASSERT_EQ(s.host.reads.size(), first + 3);
  EXPECT_EQ(s.host.reads[first].asked, 4008u);
  EXPECT_EQ(s.host.reads[first + 1].asked, 4008u);
  EXPECT_EQ(s.host.reads[first + 2].asked, 1984u);
  EXPECT_EQ(s.query(ORV_TOKEN_POSITION), data_start + 20000);
}

TEST(CarryOutSeek, AnEmptyTableReadsNothing) {
  HostStream s(file_of(1000, silent_blocks(3)));
  ASSERT_EQ(s.set(ORV_TOKEN_STREAM_SEEK_POSITION, 100), 1);
  const size_t first = s.host.reads.size();
  ORV_stream_process(s.handle, nullptr, 0);
  EXPECT_EQ(s.host.reads.size(), first);
  EXPECT_EQ(s.query(ORV_TOKEN_POSITION), 100u);
}

}  // namespace
}  // namespace orv::test
