#include <gtest/gtest.h>

#include <string>

#include "sdk/orv/vlkdec/plugin_api.h"
#include "stream_files.h"
#include "support/test_data.h"

namespace orv::test {
namespace {

using vlkdec::DecodeStream;
using vlkdec::deferred_present;
using vlkdec::from_handle;

using Vector = KnownAnswerFile;

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from,
                           size_t to = SIZE_MAX) {
  to = std::min(to, v.size());
  return {v.begin() + static_cast<ptrdiff_t>(std::min(from, to)),
          v.begin() + static_cast<ptrdiff_t>(to)};
}

// Opens `v`, lets `set_up` post requests into the stream, decodes it all.
template <typename SetUp>
std::vector<uint8_t> decode_with(const Vector& v, SetUp set_up) {
  FakeHost host(v.file);
  ORV_Stream* handle = host.open();
  EXPECT_NE(handle, nullptr);
  if (handle == nullptr) return {};
  set_up(*from_handle(handle));
  auto out = drain(handle, host, {4096});
  ORV_stream_close(handle);
  EXPECT_TRUE(host.faults.empty());
  return out;
}

// Stereo at 48000 Hz: blocks of 1920 frames, 7680 bytes.
constexpr size_t stereo_block = 7680;

TEST(SkipTrim, StereoDropsWholeSixteenByteSteps) {
  const Vector v = load_known_answer_file("ch2-48000");
  // 1000 frames: the first block delivers 920 of its 1920.
  EXPECT_EQ(decode_with(v, [](DecodeStream& s) { s.skip_samples = 1000; }),
            slice(v.pcm, 4000));
  // 5 frames: 16 bytes (4 frames) dropped, the rest forgotten.
  EXPECT_EQ(decode_with(v, [](DecodeStream& s) { s.skip_samples = 5; }),
            slice(v.pcm, 16));
  // 2000 frames: the first block goes whole, 80 frames of the second.
  EXPECT_EQ(decode_with(v, [](DecodeStream& s) { s.skip_samples = 2000; }),
            slice(v.pcm, stereo_block + 320));
}

TEST(SkipTrim, MonoBelowEightSamplesDropsNothing) {
  const Vector v = load_known_answer_file("ch1-32000");
  EXPECT_EQ(decode_with(v, [](DecodeStream& s) { s.skip_samples = 7; }), v.pcm);
  EXPECT_EQ(decode_with(v, [](DecodeStream& s) { s.skip_samples = 9; }),
            slice(v.pcm, 16));
}

TEST(SkipTrim, MultiChannelIsExactToTheFrame) {
  // 480 frames of 12 bytes a block.
  const Vector v = load_known_answer_file("ch6-16000");
  for (uint32_t skip : {1u, 5u, 479u, 480u, 500u, 1441u}) {
    EXPECT_EQ(
        decode_with(v, [skip](DecodeStream& s) { s.skip_samples = skip; }),
        slice(v.pcm, skip * 12))
        << skip;
  }
}

TEST(LoopEnd, CallEndsAfterTheBlockThatHoldsIt) {
  const Vector v = load_known_answer_file("ch2-48000");
  FakeHost host(v.file);
  ORV_Stream* handle = host.open();
  ASSERT_NE(handle, nullptr);
  DecodeStream& s = *from_handle(handle);
  const auto blocks = block_offsets(v.file);
  s.loop_end_offset = static_cast<uint32_t>(blocks[1]);
  s.loop_end_sample = 100;
  std::vector<uint8_t> out(100000);
  // Block 0 whole, then block 1 cut to 100 frames and held back.
  EXPECT_EQ(ORV_stream_process(handle, out.data(), 100000), stereo_block);
  EXPECT_EQ(s.loop_end_remaining, 0);
  EXPECT_EQ(ORV_stream_process(handle, out.data(), 100000), 400u);
  EXPECT_EQ(slice(out, 0, 400), slice(v.pcm, stereo_block, stereo_block + 400));
  EXPECT_EQ(ORV_stream_process(handle, out.data(), 100000), 0u);
  ORV_stream_close(handle);
}

TEST(LoopEnd, CountdownSpansBlocks) {
  const Vector v = load_known_answer_file("ch2-48000");
  const auto blocks = block_offsets(v.file);
  EXPECT_EQ(decode_with(v,
                        [&](DecodeStream& s) {
                          s.loop_end_offset = static_cast<uint32_t>(blocks[0]);
                          s.loop_end_sample = 3000;
                        }),
            slice(v.pcm, 0, 12000));
}

// The countdown measures the position from the first frame of the block
// that starts it: frames the skip drops count against it as well, so a
// skip and a loop end in the same stretch deliver the frames between them.
TEST(LoopEnd, SkippedFramesCountTowardTheLoopEnd) {
  struct Case {
    const char* file;
    size_t frame_bytes;
    size_t trigger_block;  // the block at the loop end's offset
    uint32_t skip;
    uint32_t loop_end;  // frames from the trigger block's first frame
    size_t first, end;  // the frames expected, of the whole decode
  };
  const Case cases[] = {
      {"ch2-48000", 4, 0, 1000, 3000, 1000, 3000},
      {"ch2-48000", 4, 0, 5, 3000, 4, 3000},  // 16-byte step
      {"ch2-48000", 4, 0, 2000, 3000, 2000, 3000},
      {"ch2-48000", 4, 0, 2000, 1000, 0, 0},  // end before landing
      {"ch2-48000", 4, 1, 2000, 100, 2000, 2020},
      {"ch2-48000", 4, 1, 1000, 100, 1000, 2020},
      {"ch1-32000", 2, 0, 9, 100, 8, 100},
      {"ch1-32000", 2, 0, 7, 100, 0, 100},  // below the step: counted
      {"ch1-32000", 2, 0, 1000, 1500, 1000, 1500},
      {"ch6-16000", 12, 0, 3, 700, 3, 700},
      {"ch6-16000", 12, 0, 500, 700, 500, 700},
      {"ch6-16000", 12, 1, 500, 100, 500, 580},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " skip " + std::to_string(c.skip) +
                 " end " + std::to_string(c.loop_end));
    const Vector v = load_known_answer_file(c.file);
    const auto blocks = block_offsets(v.file);
    ASSERT_GT(blocks.size(), c.trigger_block + 2);
    const std::vector<uint8_t> got = decode_with(v, [&](DecodeStream& s) {
      s.loop_end_offset = static_cast<uint32_t>(blocks[c.trigger_block]);
      s.loop_end_sample = c.loop_end;
      s.skip_samples = c.skip;
    });
    EXPECT_EQ(got,
              slice(v.pcm, c.first * c.frame_bytes, c.end * c.frame_bytes));
  }
}

TEST(Deferred, SkipAppliesWhereTheBufferDrains) {
  const Vector v = load_known_answer_file("ch2-48000");
  FakeHost host(v.file);
  ORV_Stream* handle = host.open();
  ASSERT_NE(handle, nullptr);
  DecodeStream& s = *from_handle(handle);
  std::vector<uint8_t> out(100);
  ASSERT_EQ(ORV_stream_process(handle, out.data(), 100), 100u);
  ASSERT_GT(s.in_bytes, s.in_read_offset);  // later blocks are buffered
  s.deferred_skip = deferred_present | 10;  // 40 bytes: 32 dropped
  s.loop_end_remaining = 5000;
  auto rest = drain(handle, host, {4096});
  rest.insert(rest.begin(), out.begin(), out.end());
  ASSERT_EQ(rest.size(), v.pcm.size() - 32);
  size_t first = 0;
  while (rest[first] == v.pcm[first]) ++first;
  EXPECT_EQ(first % stereo_block, 0u);
  EXPECT_GT(first, stereo_block);
  EXPECT_EQ(slice(rest, first), slice(v.pcm, first + 32));
  EXPECT_EQ(s.loop_end_remaining, -1);
  EXPECT_EQ(s.deferred_skip, 0u);
  ORV_stream_close(handle);
}

TEST(Deferred, SeekWaitsForTheBufferToDrain) {
  const Vector v = load_known_answer_file("ch2-48000");
  FakeHost host(v.file);
  ORV_Stream* handle = host.open();
  ASSERT_NE(handle, nullptr);
  DecodeStream& s = *from_handle(handle);
  std::vector<uint8_t> out(stereo_block);
  ASSERT_EQ(ORV_stream_process(handle, out.data(), 100), 100u);
  ASSERT_LT(s.in_read_offset + 8, s.in_bytes);  // later blocks buffered
  const uint32_t target = s.file_position + 3000;
  s.deferred_seek = deferred_present | target;
  s.loop_end_remaining = 100000;
  uint32_t calls = 0;
  while (s.deferred_seek != 0 && calls < 20) {
    // Until it applies, blocks decode whole from the buffer.
    EXPECT_EQ(s.loop_end_remaining, 100000 - 1920 * static_cast<int>(calls));
    ASSERT_EQ(ORV_stream_process(handle, out.data(), stereo_block),
              stereo_block);
    ++calls;
  }
  EXPECT_GT(calls, 1u);
  EXPECT_EQ(s.loop_end_remaining, -1);
  // The input moved on from the target, never back before it.
  EXPECT_GE(s.file_position, target);
  ORV_stream_close(handle);
}

TEST(Process, ZeroRequestStillResynchronises) {
  const Vector v = load_known_answer_file("ch2-48000");
  FakeHost host(v.file);
  ORV_Stream* handle = host.open();
  ASSERT_NE(handle, nullptr);
  from_handle(handle)->resync_pending = 1;
  EXPECT_EQ(ORV_stream_process(handle, nullptr, 0), 0u);
  EXPECT_EQ(from_handle(handle)->resync_pending, 0u);
  EXPECT_GT(host.reads.size(), 2u);
  auto out = drain(handle, host, {4096});
  EXPECT_EQ(out, v.pcm);
  ORV_stream_close(handle);
}

TEST(Process, RequestSmallerThanTheBlockLeavesTheRestBuffered) {
  const Vector v = load_known_answer_file("ch2-48000");
  FakeHost host(v.file);
  ORV_Stream* handle = host.open();
  ASSERT_NE(handle, nullptr);
  std::vector<uint8_t> out(stereo_block);
  EXPECT_EQ(ORV_stream_process(handle, out.data(), 3), 3u);
  EXPECT_EQ(from_handle(handle)->pcm_bytes, stereo_block);
  EXPECT_EQ(ORV_stream_process(handle, out.data() + 3, stereo_block - 3),
            stereo_block - 3);
  EXPECT_EQ(out, slice(v.pcm, 0, stereo_block));
  ORV_stream_close(handle);
}

std::vector<uint8_t> small_file(uint8_t channels,
                                const std::vector<std::vector<uint8_t>>& blocks,
                                uint32_t max_block_size = 100) {
  HeaderFields h;
  h.channels = channels;
  h.sample_rate = 44100;
  h.max_block_size = max_block_size;
  auto file = header_bytes(h);
  for (const auto& b : blocks) append(file, b);
  return file;
}

TEST(Process, PairsWithoutASubBlockAreSilence) {
  // Zero-size payloads: every pair starts at the payload end. The fake
  // host's block starts out full of non-zero bytes.
  for (uint8_t channels : {1, 2, 3, 8}) {
    FakeHost host(small_file(channels, {frame(0), frame(0), frame(0)}));
    const auto out = decode_all(host, {4096});
    EXPECT_EQ(out, std::vector<uint8_t>(3 * 1920 * 2 * channels, 0))
        << int{channels};
  }
}

TEST(Process, OverrunBlockDeliversNothingAndSyncIsFoundAgain) {
  // A 2-byte payload cannot hold a sub-block of whole words.
  FakeHost host(small_file(2, {frame(2), frame(0), frame(0)}));
  ORV_Stream* handle = host.open();
  ASSERT_NE(handle, nullptr);
  std::vector<uint8_t> out(100000, 1);
  EXPECT_EQ(ORV_stream_process(handle, out.data(), 100000), 0u);
  EXPECT_EQ(from_handle(handle)->resync_pending, 1u);
  EXPECT_EQ(ORV_stream_process(handle, out.data(), 100000), 2 * stereo_block);
  ORV_stream_close(handle);
}

}  // namespace
}  // namespace orv::test
