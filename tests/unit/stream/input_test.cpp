#include <gtest/gtest.h>

#include "stream_files.h"

namespace orv::test {
namespace {

using vlkdec::carry_out_seek;
using vlkdec::discard_input;
using vlkdec::fill_input;
using vlkdec::Framing;
using vlkdec::framing_test;
using vlkdec::resynchronise;

std::vector<uint8_t> garbage(size_t count, uint8_t seed = 1) {
  std::vector<uint8_t> out(count);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
    if (b == 0x99) b = 0x42;  // no accidental sync words
  }
  return out;
}

TEST(FillInput, NeedIsTheBlockPlusTheNextFrameHeader) {
  // max_block_size 1000, a block of 200 payload bytes: the need is 208.
  auto blocks = frame(200);
  append(blocks, frame(200));
  FakeHost host(blocks);
  BareStream bare(host, 1000);
  auto& s = bare.stream;

  bare.buffer({blocks.begin(), blocks.begin() + 208});
  EXPECT_TRUE(fill_input(s));
  EXPECT_TRUE(host.reads.empty());

  bare.buffer({blocks.begin(), blocks.begin() + 207});
  host.position = 207;
  EXPECT_TRUE(fill_input(s));
  ASSERT_EQ(host.reads.size(), 1u);
  EXPECT_EQ(host.reads[0].asked, s.in_capacity - 207);
  EXPECT_EQ(host.reads[0].offset, -1);
  EXPECT_EQ(s.in_bytes, blocks.size());
  EXPECT_EQ(s.file_position, blocks.size() - 207);

  // The input ends with 204 to 207 bytes waiting: the block is whole.
  for (uint32_t have : {204u, 207u}) {
    FakeHost cut;
    BareStream b(cut, 1000);
    b.buffer({blocks.begin(), blocks.begin() + have});
    EXPECT_TRUE(fill_input(b.stream)) << have;
    EXPECT_EQ(framing_test(b.stream), Framing::decode) << have;
  }
  FakeHost cut;
  BareStream b(cut, 1000);
  b.buffer({blocks.begin(), blocks.begin() + 203});
  EXPECT_FALSE(fill_input(b.stream));
}

TEST(FillInput, ABlockCompletedByTheFirstReadIsDecodable) {
  // The header arrives with the read that also ends the input: a short
  // file's only block decodes in the same call.
  FakeHost host(frame(300));
  BareStream bare(host, 1000);
  EXPECT_TRUE(fill_input(bare.stream));
  EXPECT_EQ(framing_test(bare.stream), Framing::decode);
}

TEST(FillInput, LargeOrMissingSizeFieldsNeedMaxBlockBytes) {
  FakeHost host;
  BareStream bare(host, 1000);
  auto& s = bare.stream;
  // 996 + 8 = 1004 = max_block_bytes still makes a whole block fit.
  bare.buffer(frame(996));
  EXPECT_TRUE(fill_input(s));
  EXPECT_EQ(framing_test(s), Framing::decode);
  bare.buffer(std::vector<uint8_t>(1003, 0));
  host.file.assign(10, 0);
  host.position = 0;
  EXPECT_TRUE(fill_input(s));
  EXPECT_EQ(host.reads.back().asked, s.in_capacity - 1003);
  // Garbage of max_block_bytes waiting needs no read.
  host.reads.clear();
  bare.buffer(std::vector<uint8_t>(1004, 0));
  EXPECT_TRUE(fill_input(s));
  EXPECT_TRUE(host.reads.empty());
}

TEST(FillInput, CompactsOnlyWhenTheNeedNoLongerFits) {
  FakeHost host(std::vector<uint8_t>(5000, 0));
  BareStream bare(host, 1000);  // capacity 2008
  auto& s = bare.stream;
  std::vector<uint8_t> content(1500, 0);
  auto block = frame(200, 0x33);
  std::copy(block.begin(), block.end(), content.begin() + 1000);
  bare.buffer(content);
  s.in_read_offset = 1000;  // 500 waiting, need 208: satisfied, no move
  EXPECT_TRUE(fill_input(s));
  EXPECT_EQ(s.in_read_offset, 1000u);

  // 100 waiting at 1900: 108 bytes of room behind the offset < 1004.
  bare.buffer(std::vector<uint8_t>(2000, 0x55));
  s.in_read_offset = 1900;
  EXPECT_TRUE(fill_input(s));
  EXPECT_EQ(s.in_read_offset, 0u);
  EXPECT_EQ(s.in_bytes, s.in_capacity);
  EXPECT_EQ(s.in_buffer[99], 0x55);
  EXPECT_EQ(host.reads.back().asked, s.in_capacity - 100);

  // A read offset beyond the buffered bytes is pulled back.
  bare.buffer(std::vector<uint8_t>(10, 0));
  s.in_read_offset = 50;
  fill_input(s);
  EXPECT_LE(s.in_read_offset, s.in_bytes);
}

TEST(FillInput, DeferredRequestLetsTheBufferDrainAtTheBlockEnd) {
  auto file = frame(100);
  append(file, frame(100));
  FakeHost host(file);
  BareStream bare(host, 1000);
  auto& s = bare.stream;
  bare.buffer({file.begin(), file.begin() + 4});
  host.position = 4;
  s.deferred_skip = vlkdec::deferred_present | 5;
  EXPECT_TRUE(fill_input(s));
  EXPECT_EQ(host.reads.back().asked, 100u);
  EXPECT_EQ(s.in_bytes, 104u);
  EXPECT_EQ(framing_test(s), Framing::decode);
}

TEST(FillInput, HostFaultsNeverMoveOffsetsBeyondTheBuffer) {
  FakeHost host(std::vector<uint8_t>(100000, 7));
  BareStream bare(host, 1000);
  auto& s = bare.stream;
  host.result_override = [](uint32_t asked, uint32_t) {
    return static_cast<int32_t>(asked) * 3;
  };
  fill_input(s);
  EXPECT_EQ(s.in_bytes, s.in_capacity);
  EXPECT_EQ(s.file_position, s.in_capacity);
  bare.buffer({});
  s.file_position = 0;
  host.result_override = [](uint32_t, uint32_t) { return -5; };
  EXPECT_FALSE(fill_input(s));
  EXPECT_EQ(s.in_bytes, 0u);
  EXPECT_EQ(s.file_position, 0u);
}

TEST(Framing, SuccessorSyncDecidesAndTheLastBlockEndsTheBuffer) {
  FakeHost host;
  BareStream bare(host, 1000);
  auto& s = bare.stream;
  auto abc = frame(10, 1);
  append(abc, frame(20, 2));
  append(abc, frame(30, 3));
  bare.buffer(abc);
  EXPECT_EQ(framing_test(s), Framing::decode);
  s.in_read_offset = 14;
  EXPECT_EQ(framing_test(s), Framing::decode);
  s.in_read_offset = 38;
  EXPECT_EQ(framing_test(s), Framing::decode);

  // A damaged successor: the block itself is intact but not trusted.
  abc[14] = 0x98;
  bare.buffer(abc);
  EXPECT_EQ(framing_test(s), Framing::sync_lost);
  // Not a sync at the read offset, a size above the bound.
  s.in_read_offset = 14;
  EXPECT_EQ(framing_test(s), Framing::sync_lost);
  bare.buffer(frame(997));
  EXPECT_EQ(framing_test(s), Framing::sync_lost);
  bare.buffer(frame(996));
  EXPECT_EQ(framing_test(s), Framing::decode);
}

TEST(Framing, CutFrameHeadersReadNothingBeyondTheBufferedBytes) {
  FakeHost host;
  BareStream bare(host, 1000);
  auto& s = bare.stream;
  bare.buffer({});
  EXPECT_EQ(framing_test(s), Framing::wait);
  for (size_t n = 1; n < 4; ++n) {
    auto cut = frame(10);
    cut.resize(n);
    bare.buffer(cut);
    EXPECT_EQ(framing_test(s), Framing::sync_lost) << n;
  }
  // One byte of the following frame header: it must match the sync.
  auto block = frame(10);
  block.push_back(0x99);
  bare.buffer(block);
  EXPECT_EQ(framing_test(s), Framing::decode);
  block.back() = 0x98;
  bare.buffer(block);
  EXPECT_EQ(framing_test(s), Framing::sync_lost);
  // Incomplete block.
  block = frame(10);
  block.pop_back();
  bare.buffer(block);
  EXPECT_EQ(framing_test(s), Framing::wait);
}

TEST(Resynchronise, CutsToAWholeBlockFollowedByASync) {
  auto buffered = garbage(37);
  append(buffered, frame(60, 5));
  append(buffered, frame(3, 6));
  FakeHost host;
  BareStream bare(host, 1000);
  bare.buffer(buffered);
  bare.stream.in_read_offset = 3;
  bare.stream.resync_pending = 1;
  resynchronise(bare.stream);
  EXPECT_TRUE(host.reads.empty());
  EXPECT_EQ(bare.stream.resync_pending, 0u);
  EXPECT_EQ(bare.stream.in_read_offset, 0u);
  EXPECT_EQ(bare.waiting(),
            std::vector<uint8_t>(buffered.begin() + 37, buffered.end()));
}

TEST(Resynchronise, SyncWithSizeAboveTheBoundIsNeverTaken) {
  // max_block_size 100: a size of 97 makes a block of 101 bytes.
  auto buffered = frame(97, 0);
  append(buffered, frame(10, 1));
  append(buffered, frame(10, 2));
  FakeHost host;
  BareStream bare(host, 100);
  bare.buffer(buffered);
  resynchronise(bare.stream);
  EXPECT_EQ(bare.stream.in_bytes, 28u);
  EXPECT_EQ(vlkdec::framing_test(bare.stream), Framing::decode);
}

TEST(Resynchronise, CandidateConfirmedByTheNextRead) {
  // Capacity 200, max_block_bytes 100 (max_block_size 96).
  auto buffered = garbage(20);
  auto block = frame(50, 7);
  append(buffered, block);
  buffered.resize(60);
  std::vector<uint8_t> more(block.begin() + 40, block.end());
  auto next = frame(20, 8);
  append(more, next);
  more.resize(40);
  FakeHost host(more);
  BareStream bare(host, 96);
  bare.buffer(buffered);
  resynchronise(bare.stream);
  ASSERT_EQ(host.reads.size(), 1u);
  EXPECT_EQ(host.reads[0].asked, 140u);
  EXPECT_EQ(bare.stream.in_bytes, 80u);
  EXPECT_EQ(bare.stream.in_buffer[0], 0x99);
  EXPECT_EQ(bare.stream.in_buffer[54], 0x99);
  EXPECT_EQ(bare.stream.file_position, 40u);
}

TEST(Resynchronise, DropsMaxBlockBytesPlusFourBeforeReading) {
  // 180 bytes, a candidate at 150 announcing 60 bytes: 104 bytes dropped,
  // the candidate moves to 46, 124 bytes are asked for.
  auto buffered = garbage(150);
  append(buffered, frame(60, 9));
  buffered.resize(180);
  auto more = frame(60, 9);
  more.erase(more.begin(), more.begin() + 30);
  append(more, frame(10, 1));
  more.resize(124, 0);
  FakeHost host(more);
  BareStream bare(host, 96);
  bare.buffer(buffered);
  resynchronise(bare.stream);
  ASSERT_EQ(host.reads.size(), 1u);
  EXPECT_EQ(host.reads[0].asked, 124u);
  EXPECT_EQ(bare.stream.in_bytes, 154u);
  EXPECT_EQ(bare.stream.in_buffer[64], 0x99);
}

TEST(Resynchronise, EndOfInputKeepsAnIntactLastBlock) {
  auto buffered = garbage(33);
  auto last = frame(40, 3);
  append(buffered, last);
  FakeHost host;
  BareStream bare(host, 1000);
  bare.buffer(buffered);
  bare.stream.resync_pending = 1;
  resynchronise(bare.stream);
  EXPECT_EQ(bare.stream.resync_pending, 0u);
  EXPECT_EQ(bare.waiting(), last);
  EXPECT_EQ(framing_test(bare.stream), Framing::decode);

  // Without such a block the buffer is emptied.
  buffered.pop_back();
  bare.buffer(buffered);
  bare.stream.resync_pending = 1;
  resynchronise(bare.stream);
  EXPECT_EQ(bare.stream.resync_pending, 0u);
  EXPECT_EQ(bare.stream.in_bytes, 0u);
}

TEST(Resynchronise, LastBlockSurvivesTheDropBeforeTheEnd) {
  // Garbage, then the file's last block, more bytes buffered than
  // max_block_bytes + 4: the drop would cut into the block.
  auto buffered = garbage(150);
  auto last = frame(80, 4);
  append(buffered, last);  // 234 bytes, capacity 2 * 200
  FakeHost host;
  BareStream bare(host, 196);
  bare.buffer(buffered);
  resynchronise(bare.stream);
  EXPECT_EQ(bare.waiting(), last);
}

TEST(CarryOutSeek, WalksTheTableToTheNextStretch) {
  struct Case {
    uint32_t position, discarded, arrival;
    uint32_t pending;
  };
  // data_start 44 set directly; table 0, 100, 300, 350; file size 394.
  for (const Case& c :
       {Case{44, 0, 44, 0}, Case{20, 24, 44, 0}, Case{144, 0, 144, 0},
        Case{150, 194, 344, 0}, Case{390, 4, 394, 0}, Case{394, 0, 394, 0},
        Case{500, 0, 500, 0}}) {
    FakeHost host(std::vector<uint8_t>(1000, 0));
    BareStream bare(host, 1000);
    auto& s = bare.stream;
    bare.set_table({0, 100, 300, 350});
    s.data_start = 44;
    s.header.file_size = 394;
    s.file_position = c.position;
    s.seek_pending = 1;
    carry_out_seek(s);
    uint32_t asked = 0;
    for (const auto& r : host.reads) asked += r.asked;
    EXPECT_EQ(asked, c.discarded) << c.position;
    EXPECT_EQ(s.file_position, c.arrival) << c.position;
    EXPECT_EQ(s.seek_pending, c.pending) << c.position;
  }
}

TEST(CarryOutSeek, AnEmptyTableLeavesTheSeekPending) {
  FakeHost host(std::vector<uint8_t>(1000, 0));
  BareStream bare(host, 1000);
  auto& s = bare.stream;
  s.data_start = 24;
  bare.set_table({0});
  s.file_position = 100;
  s.seek_pending = 1;
  carry_out_seek(s);
  EXPECT_EQ(s.seek_pending, 1u);
  carry_out_seek(s);
  EXPECT_EQ(s.seek_pending, 1u);
  EXPECT_TRUE(host.reads.empty());
  EXPECT_EQ(s.file_position, 100u);
}

TEST(DiscardInput, ChunksOfTheBufferCapacityWhateverComes) {
  FakeHost host(std::vector<uint8_t>(5000, 0));
  BareStream bare(host, 2000);  // capacity 4008
  bare.stream.file_position = 7;
  discard_input(bare.stream, 10000);
  ASSERT_EQ(host.reads.size(), 3u);
  EXPECT_EQ(host.reads[0].asked, 4008u);
  EXPECT_EQ(host.reads[1].asked, 4008u);
  EXPECT_EQ(host.reads[2].asked, 1984u);
  EXPECT_EQ(bare.stream.file_position, 10007u);
}

}  // namespace
}  // namespace orv::test
