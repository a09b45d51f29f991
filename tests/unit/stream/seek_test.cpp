// ORV_stream_seek on hand-built streams: what each kind of seek posts and
// what it leaves alone.
#include <gtest/gtest.h>

#include <cstdint>

#include "sdk/orv/vlkdec/plugin_api.h"
#include "sdk/orv/vlkdec/stream.h"

namespace {

using orv::vlkdec::DecodeStream;

// A stream in the middle of decoding: input and PCM buffered, a loop-end
// countdown running.
DecodeStream busy_stream() {
  DecodeStream s{};
  s.data_start = 30;
  s.file_position = 9000;
  s.in_bytes = 3000;
  s.in_read_offset = 1200;
  s.pcm_bytes = 7680;
  s.pcm_read_offset = 100;
  s.loop_end_remaining = 250;
  s.loop_end_offset = 5000;
  s.loop_end_sample = 300;
  s.skip_samples = 12;
  return s;
}

void expect_reset(const DecodeStream& s) {
  EXPECT_EQ(s.loop_end_remaining, -1);
  EXPECT_EQ(s.in_bytes, 0u);
  EXPECT_EQ(s.in_read_offset, 0u);
  EXPECT_EQ(s.pcm_bytes, 0u);
  EXPECT_EQ(s.pcm_read_offset, 0u);
}

TEST(StreamSeek, BytePositionMovesInputAndKeepsSkip) {
  DecodeStream s = busy_stream();
  EXPECT_EQ(ORV_stream_seek(orv::vlkdec::to_handle(&s), 4000), 0);
  EXPECT_EQ(s.file_position, 4000u);
  EXPECT_EQ(s.seek_pending, 0u);
  // The skip armed by "Exact seek" survives the move; the loop points too.
  EXPECT_EQ(s.skip_samples, 12u);
  EXPECT_EQ(s.loop_end_offset, 5000u);
  EXPECT_EQ(s.loop_end_sample, 300u);
  expect_reset(s);

  // Position 0 is a byte position like any other.
  s = busy_stream();
  EXPECT_EQ(ORV_stream_seek(orv::vlkdec::to_handle(&s), 0), 0);
  EXPECT_EQ(s.file_position, 0u);
  expect_reset(s);
}

TEST(StreamSeek, MinusOneRealignsFromCurrentPosition) {
  DecodeStream s = busy_stream();
  EXPECT_EQ(ORV_stream_seek(orv::vlkdec::to_handle(&s), -1), 0);
  EXPECT_EQ(s.seek_pending, 1u);
  EXPECT_EQ(s.file_position, 9000u);
  EXPECT_EQ(s.skip_samples, 12u);
  expect_reset(s);
}

TEST(StreamSeek, MinusTwoArmsLoopStart) {
  // Nothing armed: nothing changes.
  DecodeStream s = busy_stream();
  EXPECT_EQ(ORV_stream_seek(orv::vlkdec::to_handle(&s), -2), 0);
  EXPECT_EQ(s.skip_samples, 12u);
  EXPECT_EQ(s.deferred_skip, 0u);
  EXPECT_EQ(s.in_bytes, 3000u);

  // Compressed bytes still unparsed: the skip waits for them.
  s.loop_start_skip = 700;
  EXPECT_EQ(ORV_stream_seek(orv::vlkdec::to_handle(&s), -2), 0);
  EXPECT_EQ(s.deferred_skip, 0x80000000u | 700u);
  EXPECT_EQ(s.skip_samples, 12u);

  // Input drained: at once. No reset, and a countdown that has reached 0
  // stays there.
  s = busy_stream();
  s.loop_start_skip = 700;
  s.in_read_offset = s.in_bytes;
  s.loop_end_remaining = 0;
  EXPECT_EQ(ORV_stream_seek(orv::vlkdec::to_handle(&s), -2), 0);
  EXPECT_EQ(s.skip_samples, 700u);
  EXPECT_EQ(s.deferred_skip, 0u);
  EXPECT_EQ(s.loop_end_remaining, 0);
  EXPECT_EQ(s.pcm_bytes, 7680u);
  EXPECT_EQ(s.file_position, 9000u);
}

TEST(StreamSeek, NullStreamIsIgnored) {
  EXPECT_EQ(ORV_stream_seek(nullptr, 100), 0);
  EXPECT_EQ(ORV_stream_seek(nullptr, -1), 0);
  EXPECT_EQ(ORV_stream_seek(nullptr, -2), 0);
}

}  // namespace
