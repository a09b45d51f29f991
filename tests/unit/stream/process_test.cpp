// The processing loop through the stream interface: the skip and loop-end
// trims, deferred requests, request sizes and rejected blocks. Skips are
// posted as a host posts a loop start: "Set Looping Samples", then a seek
// with -2, which arms the skip at once while nothing is buffered.
#include <gtest/gtest.h>

#include <string>

#include "stream_files.h"
#include "support/test_data.h"

namespace orv::test {
namespace {

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from,
                           size_t to = SIZE_MAX) {
  to = std::min(to, v.size());
  return {v.begin() + static_cast<ptrdiff_t>(std::min(from, to)),
          v.begin() + static_cast<ptrdiff_t>(to)};
}

// The known-answer files used here, all with 2 blocks per seek entry.
struct File {
  const char* name;
  size_t frame_bytes;
};
constexpr File mono{"ch1-32000", 2};    // 960 frames a block
constexpr File stereo{"ch2-48000", 4};  // 1920 frames a block
constexpr File six{"ch6-16000", 12};    // 480 frames a block
constexpr size_t stereo_block = 7680;   // bytes
constexpr size_t stereo_overlap = 128;  // frames crossfaded after a jump

// The whole decode with a skip of `skip` frames from the start and a loop
// end at frame `end` (-1: none).
std::vector<uint8_t> decode_with(const KnownAnswerFile& v, int32_t skip,
                                 int32_t end) {
  HostStream s(v.file);
  s.set_loop(skip, end);
  EXPECT_EQ(ORV_stream_seek(s.handle, -2), 0);
  return s.drain();
}

TEST(Trim, SkipsAndLoopEndsCutTheOutput) {
  struct Case {
    File file;
    int32_t skip, end;   // end -1: no loop end
    size_t first, last;  // the frames expected of the whole decode
  };
  const Case cases[] = {
      // Mono and stereo skips drop whole 16-byte steps of a block.
      {stereo, 1000, -1, 1000, SIZE_MAX},
      {stereo, 5, -1, 4, SIZE_MAX},
      {stereo, 2000, -1, 2000, SIZE_MAX},  // the first block whole, then 80
      {mono, 7, -1, 0, SIZE_MAX},
      {mono, 9, -1, 8, SIZE_MAX},
      // Files of more than two channels are cut to the frame.
      {six, 1, -1, 1, SIZE_MAX},
      {six, 5, -1, 5, SIZE_MAX},
      {six, 479, -1, 479, SIZE_MAX},
      {six, 480, -1, 480, SIZE_MAX},
      {six, 500, -1, 500, SIZE_MAX},
      {six, 959, -1, 959, SIZE_MAX},
      // The loop end counts from the first frame of its entry's first
      // block; frames the skip drops count toward it.
      {stereo, 0, 3000, 0, 3000},
      {stereo, 0, 3840, 0, 3840},  // the end on an entry's first frame
      {stereo, 1000, 3000, 1000, 3000},
      {stereo, 5, 3000, 4, 3000},
      {stereo, 2000, 3000, 2000, 3000},
      {stereo, 2000, 1000, 0, 0},        // the end before the skip lands
      {stereo, 1000, 3940, 1000, 3940},  // the countdown from block 2
      {mono, 9, 100, 8, 100},
      {mono, 7, 100, 0, 100},
      {mono, 1000, 1500, 1000, 1500},
      {six, 3, 700, 3, 700},
      {six, 500, 700, 500, 700},
      {six, 500, 1060, 500, 1060},  // the countdown from block 2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file.name) + " skip " + std::to_string(c.skip) +
                 " end " + std::to_string(c.end));
    const KnownAnswerFile v = load_known_answer_file(c.file.name);
    const size_t last =
        c.last == SIZE_MAX ? v.pcm.size() : c.last * c.file.frame_bytes;
    EXPECT_EQ(decode_with(v, c.skip, c.end),
              slice(v.pcm, c.first * c.file.frame_bytes, last));
  }
}

TEST(LoopEnd, CallEndsAfterTheBlockThatHoldsIt) {
  // The end 100 frames into entry 1 (block 2).
  const KnownAnswerFile v = load_known_answer_file(stereo.name);
  HostStream s(v.file);
  s.set_loop(-2, 3840 + 100);
  std::vector<uint8_t> out;
  // Blocks 0 and 1 whole; block 2, cut to 100 frames, is held back.
  EXPECT_EQ(s.process(100000, &out), 2 * stereo_block);
  EXPECT_EQ(s.process(100000, &out), 400u);
  EXPECT_EQ(out, slice(v.pcm, 0, 2 * stereo_block + 400));
  EXPECT_EQ(s.process(100000), 0u);
  EXPECT_EQ(s.process(100000), 0u);
}

// Held at a loop end 3839 frames in: the output up to there, then what the
// stream makes of a request posted while later blocks were buffered.
struct HeldRun {
  std::vector<uint8_t> held;  // what came before the request took effect
  std::vector<uint8_t> after;
};

template <typename Post>
HeldRun run_held(const KnownAnswerFile& v, int32_t loop_start, Post post) {
  HeldRun run;
  HostStream s(v.file);
  s.host.follow = s.handle;
  s.set_loop(loop_start, 3839);
  s.process(100, &run.held);
  EXPECT_GT(s.query(ORV_TOKEN_OUTPUT_RESERVOIR), 0u);
  post(s);
  const std::vector<uint8_t> rest = s.drain();
  run.held.insert(run.held.end(), rest.begin(), rest.end());
  const size_t held_bytes = std::min<size_t>(3839 * 4, run.held.size());
  run.after = slice(run.held, held_bytes);
  run.held.resize(held_bytes);
  return run;
}

TEST(Deferred, SkipWaitsForTheBufferToDrainAndEndsTheCountdown) {
  const KnownAnswerFile v = load_known_answer_file(stereo.name);
  // The loop start's skip of 10 frames (8 at the 16-byte step), posted
  // after block 0: it waits for the buffered blocks, and then the
  // countdown starts again, 3839 frames from the next block.
  const HeldRun run = run_held(v, 10, [](HostStream& s) {
    EXPECT_EQ(ORV_stream_seek(s.handle, -2), 0);
  });
  EXPECT_EQ(run.held, slice(v.pcm, 0, 3839 * 4));
  ASSERT_EQ(run.after.size(), (3839 - 8) * 4);
  size_t block = 1;
  while (block < 12 && run.after != slice(v.pcm, (block * 1920 + 8) * 4,
                                          (block * 1920 + 3839) * 4)) {
    ++block;
  }
  EXPECT_LT(block, 12u) << "no block boundary where the skip applied";
  EXPECT_GE(block, 2u) << "applied before the buffered blocks were decoded";
}

TEST(Deferred, SeekWaitsForTheBufferToDrainAndEndsTheCountdown) {
  const KnownAnswerFile v = load_known_answer_file(stereo.name);
  // A "Stream seek position" to entry 3 (block 6), posted after block 0:
  // the buffered blocks come first; then the countdown starts again from
  // the target's first block, which is crossfaded with the last block
  // decoded.
  const uint32_t target = static_cast<uint32_t>(block_offsets(v.file)[6]);
  const HeldRun run = run_held(v, -2, [target](HostStream& s) {
    const uint32_t before = s.query(ORV_TOKEN_POSITION);
    EXPECT_EQ(s.set(ORV_TOKEN_STREAM_SEEK_POSITION, int32_t(target)), 1);
    EXPECT_EQ(s.query(ORV_TOKEN_POSITION), before);
  });
  EXPECT_EQ(run.held, slice(v.pcm, 0, 3839 * 4));
  ASSERT_EQ(run.after.size(), 3839u * 4);
  EXPECT_EQ(
      slice(run.after, stereo_overlap * 4),
      slice(v.pcm, (6 * 1920 + stereo_overlap) * 4, (6 * 1920 + 3839) * 4));
}

TEST(Process, ZeroRequestStillResynchronises) {
  // Garbage before the first block: the first call loses sync; a call for
  // 0 bytes then finds the block, and nothing of the file is lost.
  const KnownAnswerFile v = load_known_answer_file(stereo.name);
  auto file = v.file;
  const auto first_block = static_cast<ptrdiff_t>(block_offsets(file)[0]);
  file.insert(file.begin() + first_block, 50, 0x42);
  HostStream s(file);
  EXPECT_EQ(s.process(4096), 0u);
  const uint32_t waiting = s.query(ORV_TOKEN_OUTPUT_RESERVOIR);
  EXPECT_EQ(ORV_stream_process(s.handle, nullptr, 0), 0u);
  EXPECT_EQ(s.query(ORV_TOKEN_OUTPUT_RESERVOIR), waiting - 50);
  EXPECT_EQ(s.drain(), v.pcm);
}

TEST(Process, RequestSmallerThanTheBlockLeavesTheRestBuffered) {
  const KnownAnswerFile v = load_known_answer_file(stereo.name);
  HostStream s(v.file);
  std::vector<uint8_t> out;
  EXPECT_EQ(s.process(3, &out), 3u);
  EXPECT_EQ(s.query(ORV_TOKEN_OUTPUT_RESERVOIR), stereo_block - 3);
  EXPECT_EQ(s.process(stereo_block - 3, &out), stereo_block - 3);
  EXPECT_EQ(out, slice(v.pcm, 0, stereo_block));
}

std::vector<uint8_t> small_file(
    uint8_t channels, const std::vector<std::vector<uint8_t>>& blocks) {
  HeaderFields h;
  h.channels = channels;
  h.max_block_size = 100;
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
  HostStream s(small_file(2, {frame(2), frame(0), frame(0)}));
  EXPECT_EQ(s.process(100000), 0u);
  EXPECT_EQ(s.process(100000), 2 * stereo_block);
}

}  // namespace
}  // namespace orv::test
