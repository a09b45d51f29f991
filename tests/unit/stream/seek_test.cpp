// ORV_stream_seek on a stream in the middle of a file: what each kind of
// seek does to the output and the input, and what it leaves alone.
#include <gtest/gtest.h>

#include "stream_files.h"
#include "support/test_data.h"

namespace orv::test {
namespace {

// Stereo at 48000 Hz, 2 blocks of 1920 frames per seek entry.
constexpr const char* stereo = "ch2-48000";

std::vector<uint8_t> frames(const std::vector<uint8_t>& pcm, size_t first,
                            size_t end) {
  end = std::min(end * 4, pcm.size());
  return {pcm.begin() + static_cast<ptrdiff_t>(std::min(first * 4, end)),
          pcm.begin() + static_cast<ptrdiff_t>(end)};
}

TEST(StreamSeek, BytePositionEmptiesTheBuffersAndKeepsSkipAndLoop) {
  // Held at a loop end at frame 3000, then a sample-exact seek to 20 ms
  // (frame 960 of entry 0): "Exact seek" arms the skip, the host moves its
  // input, the byte seek empties the buffers and ends the countdown; the
  // skip and the loop end survive it.
  const KnownAnswerFile v = load_known_answer_file(stereo);
  HostStream s(v.file);
  s.set_loop(-2, 3000);
  EXPECT_EQ(s.drain(), frames(v.pcm, 0, 3000));
  uint32_t entry[2] = {0, 0};
  ASSERT_EQ(s.set(ORV_TOKEN_EXACT_SEEK, 20, 0, entry), 1);
  s.host.position = entry[0];
  EXPECT_EQ(ORV_stream_seek(s.handle, static_cast<int32_t>(entry[0])), 0);
  EXPECT_EQ(s.query(ORV_TOKEN_POSITION), entry[0]);
  EXPECT_EQ(s.query(ORV_TOKEN_OUTPUT_RESERVOIR), 0u);
  // Block 0's crossfaded start lies inside the skip.
  EXPECT_EQ(s.drain(), frames(v.pcm, 960, 3000));
}

TEST(StreamSeek, MinusOneRealignsFromWhereTheInputStands) {
  // Block 0 decoded, later blocks buffered. -1 forgets them; the next call
  // reads on from the host's position to the next stretch boundary, where
  // decoding resumes with the skip that was armed.
  const KnownAnswerFile v = load_known_answer_file(stereo);
  const auto blocks = block_offsets(v.file);
  HostStream s(v.file);
  std::vector<uint8_t> out;
  ASSERT_EQ(s.process(100, &out), 100u);
  const uint32_t position = s.query(ORV_TOKEN_POSITION);
  uint32_t entry[2] = {0, 0};
  ASSERT_EQ(s.set(ORV_TOKEN_EXACT_SEEK, 10, 0, entry), 1);  // skip 480
  EXPECT_EQ(ORV_stream_seek(s.handle, -1), 0);
  EXPECT_EQ(s.query(ORV_TOKEN_POSITION), position);
  EXPECT_EQ(s.query(ORV_TOKEN_OUTPUT_RESERVOIR), 0u);
  size_t next = 0;
  while (next < blocks.size() && blocks[next] < position) next += 2;
  ASSERT_LT(next, blocks.size());
  ORV_stream_process(s.handle, nullptr, 0);
  EXPECT_EQ(s.query(ORV_TOKEN_POSITION), blocks[next]);
  EXPECT_EQ(s.drain(), frames(v.pcm, next * 1920 + 480, SIZE_MAX / 4));
}

TEST(StreamSeek, MinusTwoWithoutALoopStartChangesNothing) {
  const KnownAnswerFile v = load_known_answer_file(stereo);
  HostStream s(v.file);
  std::vector<uint8_t> out;
  ASSERT_EQ(s.process(100, &out), 100u);
  const uint32_t reservoir = s.query(ORV_TOKEN_OUTPUT_RESERVOIR);
  EXPECT_EQ(ORV_stream_seek(s.handle, -2), 0);
  EXPECT_EQ(s.query(ORV_TOKEN_OUTPUT_RESERVOIR), reservoir);
  const auto rest = s.drain();
  out.insert(out.end(), rest.begin(), rest.end());
  EXPECT_EQ(out, v.pcm);
}

TEST(StreamSeek, NullStreamIsIgnoredByEveryCall) {
  uint32_t value = 0xA5A5A5A5u;
  EXPECT_EQ(ORV_stream_seek(nullptr, 100), 0);
  EXPECT_EQ(ORV_stream_seek(nullptr, -1), 0);
  EXPECT_EQ(ORV_stream_seek(nullptr, -2), 0);
  EXPECT_EQ(ORV_stream_process(nullptr, &value, 4), 0u);
  EXPECT_EQ(ORV_stream_property(nullptr, ORV_TOKEN_POSITION, &value, nullptr,
                                nullptr),
            0);
  EXPECT_EQ(value, 0xA5A5A5A5u);
  EXPECT_EQ(ORV_stream_close(nullptr), 0);
}

}  // namespace
}  // namespace orv::test
