// The host library's streams through the real plug-in: whole decodes and
// the end of a stream, the plug-in's answers, sample-exact seeks and loops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "format/seek_table.h"
#include "host/plugin_host.h"
#include "host/velk_host_testing.h"
#include "support/host_test_files.h"
#include "support/test_data.h"

namespace orv::host {
namespace {

using test::EncodedCase;

// Frames at the start of a block that are crossfaded with the tail of the
// block decoded before it: after a jump they differ from a straight decode.
uint32_t crossfade_frames(uint32_t sample_rate) {
  if (sample_rate >= 44100) return 128;
  if (sample_rate >= 22050) return 64;
  return 32;
}

uint32_t samples_per_entry(const VelkHostFileHeader& h) {
  const uint32_t per_block = h.sample_rate >= 44100   ? 1920
                             : h.sample_rate >= 22050 ? 960
                                                      : 480;
  return h.blocks_per_seek_entry * per_block;
}

// Frame `i` of interleaved PCM bytes, as bytes.
bool same_frames(const std::vector<uint8_t>& a, size_t a_frame,
                 const std::vector<uint8_t>& b, size_t b_frame, size_t frames,
                 unsigned channels) {
  const size_t fb = size_t{2} * channels;
  if ((a_frame + frames) * fb > a.size() ||
      (b_frame + frames) * fb > b.size()) {
    return false;
  }
  return std::memcmp(a.data() + a_frame * fb, b.data() + b_frame * fb,
                     frames * fb) == 0;
}

class HostStreamTest : public ::testing::Test {
 protected:
  Plugin plugin{ORV_PLUGIN_PATH};
  test::TempDir dir;
};

TEST_F(HostStreamTest, PullsKnownAnswerFilesWholeInAnyChunkSize) {
  for (const char* name : test::known_answer_names) {
    const std::string base =
        test::data_path(std::string("vectors/files/") + name);
    const std::vector<uint8_t> expected = test::read_file(base + ".pcm");
    for (size_t chunk : {size_t{3}, size_t{4096}, size_t{1} << 22}) {
      SCOPED_TRACE(std::string(name) + " chunk " + std::to_string(chunk));
      Stream stream = plugin.open(base + ".VELKA");
      const std::vector<uint8_t> pcm = stream.pull_all(chunk);
      EXPECT_TRUE(stream.ended());
      EXPECT_EQ(pcm.size(), expected.size());
      EXPECT_TRUE(pcm == expected);
      const VelkHostReadStats reads =
          orv::host::testing::read_stats(stream.get());
      EXPECT_EQ(reads.header_reads, 1u);
      EXPECT_EQ(reads.other_offsets, 0u);
      // Once ended, a stream stays ended and delivers nothing.
      uint8_t more[64];
      EXPECT_EQ(stream.pull(more, sizeof more), 0u);
    }
  }
}

TEST_F(HostStreamTest, GathersThePluginsAnswers) {
  for (const EncodedCase& c : test::standard_cases()) {
    SCOPED_TRACE(c.name);
    const std::string path = test::write_encoded_file(dir, c);
    Stream stream = plugin.open(path);
    const VelkHostFileHeader& h = stream.header();
    EXPECT_EQ(h.channels, c.channels);
    EXPECT_EQ(h.sample_rate, c.sample_rate);
    EXPECT_EQ(h.total_samples, c.frames);
    const VelkHostStreamInfo info = stream.info();
    const uint32_t all_but_duration =
        VELK_HOST_INFO_ALL & ~uint32_t{VELK_HOST_INFO_DURATION};
    EXPECT_EQ(info.answered & all_but_duration, all_but_duration);
    const auto format = stream.output_format();
    EXPECT_TRUE(format.playable);
    EXPECT_EQ(format.from_plugin, 1);
    EXPECT_EQ(format.sample_rate, c.sample_rate);
    EXPECT_EQ(format.channels, c.channels);
    EXPECT_EQ(format.bytes_per_frame, 2 * c.channels);
    EXPECT_EQ(info.input_sample_rate, c.sample_rate);
    EXPECT_EQ(info.output_sample_rate, c.sample_rate);
    EXPECT_EQ(info.input_channels, c.channels);
    EXPECT_EQ(info.output_channels, c.channels);
    EXPECT_EQ(info.input_sample_width, 16u);
    EXPECT_EQ(info.output_sample_width, 16u);
    EXPECT_EQ(info.output_bit_rate, c.sample_rate * c.channels * 16);
    const uint32_t duration_ms =
        static_cast<uint32_t>(uint64_t{c.frames} * 1000 / c.sample_rate);
    EXPECT_EQ(info.input_bit_rate, static_cast<uint32_t>(uint64_t{h.file_size} *
                                                         8000 / duration_ms));
    if (h.seek_entry_count != 0 && h.blocks_per_seek_entry != 0) {
      EXPECT_NE(info.answered & VELK_HOST_INFO_DURATION, 0u);
      EXPECT_EQ(info.duration_ms, duration_ms);
    }
  }
}

TEST_F(HostStreamTest, SampleExactSeeksDeliverWhatAWholeDecodeHasThere) {
  for (const EncodedCase& c : test::standard_cases()) {
    if (c.options.format_version != 2 || !c.options.seek_table) continue;
    SCOPED_TRACE(c.name);
    const std::string path = test::write_encoded_file(dir, c);
    const std::vector<uint8_t> full = plugin.open(path).pull_all();
    const size_t full_frames = test::frame_count(full, c.channels);
    const uint32_t duration_ms =
        static_cast<uint32_t>(uint64_t{c.frames} * 1000 / c.sample_rate);
    const uint32_t overlap = crossfade_frames(c.sample_rate);
    const uint32_t step = c.channels == 1 ? 8 : c.channels == 2 ? 4 : 1;

    // One stream that seeks again and again, with PCM and input buffered
    // from the previous position, and a fresh stream for each target.
    Stream reused = plugin.open(path);
    const uint32_t targets[] = {0,
                                1,
                                7,
                                45,
                                333,
                                1000,
                                duration_ms / 2,
                                duration_ms / 3 + 11,
                                duration_ms - 1,
                                duration_ms + 500};
    for (const uint32_t ms : targets) {
      SCOPED_TRACE("target " + std::to_string(ms) + " ms");
      for (Stream* stream : {&reused, static_cast<Stream*>(nullptr)}) {
        Stream fresh = plugin.open(path);
        Stream& s = stream != nullptr ? *stream : fresh;
        VelkHostSeek seek{};
        ASSERT_TRUE(s.seek_ms(ms, &seek));
        const uint32_t target = std::min<uint32_t>(
            static_cast<uint32_t>(uint64_t{ms} * c.sample_rate / 1000),
            c.frames - 1);
        EXPECT_LE(seek.entry_first_sample, seek.start_sample);
        EXPECT_LE(seek.start_sample, target);
        EXPECT_LT(target - seek.start_sample, step);
        EXPECT_EQ(s.timeline_frame(), seek.start_sample);
        std::vector<uint8_t> after = s.pull_all();
        // Everything from the start sample on comes out, and nothing else.
        ASSERT_EQ(test::frame_count(after, c.channels),
                  full_frames - seek.start_sample);
        const uint32_t exact_from =
            std::max(seek.start_sample, seek.entry_first_sample + overlap);
        const size_t offset = exact_from - seek.start_sample;
        EXPECT_TRUE(same_frames(after, offset, full, exact_from,
                                full_frames - exact_from, c.channels));
        if (stream != nullptr) {
          // Leave the reused stream part-way through for the next seek.
          Stream& r = *stream;
          r.seek_ms(ms / 2);
          std::vector<uint8_t> some(3000);
          r.pull(some.data(), some.size());
        }
      }
    }
  }
}

TEST_F(HostStreamTest, StreamsWithoutSeekTableRefuseSeeksAndLoopsUnchanged) {
  EncodedCase c;
  c.name = "no-table";
  c.frames = 20000;
  c.options.seek_table = false;
  const std::string path = test::write_encoded_file(dir, c);
  const std::vector<uint8_t> full = plugin.open(path).pull_all();
  Stream stream = plugin.open(path);
  EXPECT_FALSE(stream.seek_ms(100));
  EXPECT_FALSE(stream.set_loop(100, 5000, 2));
  EXPECT_TRUE(stream.pull_all() == full);
}

// The output of a loop played `passes` times from the start of the file.
std::vector<uint8_t> expected_loop(const std::vector<uint8_t>& full,
                                   unsigned channels, uint32_t loop_start,
                                   uint32_t end, uint32_t passes) {
  const size_t fb = size_t{2} * channels;
  std::vector<uint8_t> out(full.begin(), full.begin() + end * fb);
  for (uint32_t p = 1; p < passes; ++p) {
    out.insert(out.end(), full.begin() + loop_start * fb,
               full.begin() + end * fb);
  }
  return out;
}

TEST_F(HostStreamTest, LoopsRepeatTheirSpanExactlyAfterTheCrossfade) {
  for (const EncodedCase& c : test::standard_cases()) {
    if (c.options.format_version != 2 || !c.options.seek_table) continue;
    SCOPED_TRACE(c.name);
    const std::string path = test::write_encoded_file(dir, c);
    const std::vector<uint8_t> full = plugin.open(path).pull_all();
    const uint32_t per_entry = samples_per_entry(plugin.open(path).header());
    ASSERT_NE(per_entry, 0u);
    const uint32_t overlap = crossfade_frames(c.sample_rate);
    struct Span {
      uint32_t start, end;
    };
    // Start well inside an entry (the crossfade falls in the skipped part)
    // and on an entry boundary; ends inside later entries.
    const Span spans[] = {
        {per_entry + 1003, std::min(c.frames, 3 * per_entry + 517)},
        {per_entry, std::min(c.frames, 2 * per_entry + 1)},
        {0, std::min(c.frames, per_entry + 77)},
    };
    for (const Span span : spans) {
      for (const uint32_t passes : {1u, 2u, 4u}) {
        SCOPED_TRACE("loop " + std::to_string(span.start) + ".." +
                     std::to_string(span.end) + " x" + std::to_string(passes));
        Stream stream = plugin.open(path);
        VelkHostLoop loop{};
        ASSERT_TRUE(stream.set_loop(span.start, span.end, passes, &loop));
        const std::vector<uint8_t> out = stream.pull_all(5000);
        EXPECT_TRUE(stream.ended());
        EXPECT_EQ(stream.loop_passes_done(), passes);
        const std::vector<uint8_t> want = expected_loop(
            full, c.channels, loop.start_sample, span.end, passes);
        ASSERT_EQ(out.size(), want.size());
        const uint32_t entry_first = loop.start_sample / per_entry * per_entry;
        const uint32_t skipped = loop.start_sample - entry_first;
        const uint32_t inexact = skipped >= overlap ? 0 : overlap - skipped;
        const size_t span_frames = span.end - loop.start_sample;
        size_t at = span.end;  // frame of `out` where the second pass starts
        EXPECT_TRUE(same_frames(out, 0, want, 0, at, c.channels));
        for (uint32_t p = 1; p < passes; ++p) {
          EXPECT_TRUE(same_frames(out, at + inexact, want, at + inexact,
                                  span_frames - inexact, c.channels))
              << "pass " << p + 1;
          at += span_frames;
        }
      }
    }
  }
}

TEST_F(HostStreamTest, LoopStartsAndEndsInOneSeekEntry) {
  EncodedCase c;
  c.name = "one-entry-loop";
  c.frames = 60000;
  c.options.blocks_per_seek_entry = 8;
  const std::string path = test::write_encoded_file(dir, c);
  const std::vector<uint8_t> full = plugin.open(path).pull_all();
  const uint32_t per_entry = samples_per_entry(plugin.open(path).header());
  Stream stream = plugin.open(path);
  VelkHostLoop loop{};
  const uint32_t start = per_entry + 2000;
  const uint32_t end = per_entry + 9000;
  ASSERT_TRUE(stream.set_loop(start, end, 3, &loop));
  const std::vector<uint8_t> out = stream.pull_all();
  const std::vector<uint8_t> want =
      expected_loop(full, 2, loop.start_sample, end, 3);
  EXPECT_EQ(out.size(), want.size());
  EXPECT_TRUE(out == want);
}

TEST_F(HostStreamTest, ASeekIntoTheLoopEndsEntryStillStopsAtTheEnd) {
  EncodedCase c;
  c.name = "seek-then-loop";
  c.frames = 80000;
  c.options.blocks_per_seek_entry = 8;  // 15360 frames per entry
  const std::string path = test::write_encoded_file(dir, c);
  const std::vector<uint8_t> full = plugin.open(path).pull_all();
  Stream stream = plugin.open(path);
  VelkHostSeek seek{};
  ASSERT_TRUE(stream.seek_ms(800, &seek));  // frame 35280, in entry 2
  VelkHostLoop loop{};
  const uint32_t end = 2 * 15360 + 9000;
  ASSERT_TRUE(stream.set_loop(20000, end, 2, &loop));
  const std::vector<uint8_t> out = stream.pull_all();
  std::vector<uint8_t> want(full.begin() + seek.start_sample * 4,
                            full.begin() + end * 4);
  want.insert(want.end(), full.begin() + loop.start_sample * 4,
              full.begin() + end * 4);
  ASSERT_EQ(out.size(), want.size());
  // Both passes start past their entry's crossfade region.
  EXPECT_TRUE(out == want);
}

TEST_F(HostStreamTest, AByteSeekMovesTheFileAndRevivesAnEndedStream) {
  const std::string path = test::write_encoded_file(dir, "rewind", 30000);
  Stream stream = plugin.open(path);
  const std::vector<uint8_t> full = stream.pull_all();
  ASSERT_TRUE(stream.ended());
  const auto data_start = static_cast<uint32_t>(
      orv::vlkdec::data_start_for(stream.header().seek_entry_count));
  ASSERT_EQ(
      velk_host_stream_seek(stream.get(), static_cast<int32_t>(data_start)), 1);
  EXPECT_FALSE(stream.ended());
  const std::vector<uint8_t> again = stream.pull_all();
  ASSERT_EQ(again.size(), full.size());
  // The first block is crossfaded with the last one decoded before.
  const uint32_t overlap = crossfade_frames(44100);
  EXPECT_TRUE(same_frames(again, overlap, full, overlap,
                          test::frame_count(full, 2) - overlap, 2));
  const VelkHostReadStats reads = orv::host::testing::read_stats(stream.get());
  EXPECT_EQ(reads.header_reads, 1u);
  EXPECT_EQ(reads.other_offsets, 0u);
}

TEST_F(HostStreamTest, OneHostServesStreamsOnSeveralThreads) {
  std::vector<std::string> paths;
  std::vector<std::vector<uint8_t>> expected;
  for (const EncodedCase& c : test::standard_cases()) {
    paths.push_back(test::write_encoded_file(dir, c));
    expected.push_back(plugin.open(paths.back()).pull_all());
  }
  std::vector<int> matches(paths.size(), 0);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < paths.size(); ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 3; ++round) {
        Stream stream = plugin.open(paths[i]);
        matches[i] += stream.pull_all(1000 + 999 * i) == expected[i] ? 1 : 0;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < paths.size(); ++i)
    EXPECT_EQ(matches[i], 3) << paths[i];
  const VelkHostAllocationStats stats =
      orv::host::testing::allocation_stats(plugin.get());
  EXPECT_EQ(stats.allocations, stats.frees);
  EXPECT_EQ(stats.outstanding_bytes, 0u);
}

TEST_F(HostStreamTest, TimelineFollowsPullsSeeksAndLoopJumps) {
  EncodedCase c;
  c.name = "timeline";
  c.frames = 50000;
  c.options.blocks_per_seek_entry = 2;
  const std::string path = test::write_encoded_file(dir, c);
  Stream stream = plugin.open(path);
  std::vector<uint8_t> buffer(4 * 1000);
  EXPECT_EQ(stream.timeline_frame(), 0u);
  stream.pull(buffer.data(), buffer.size());
  EXPECT_EQ(stream.timeline_frame(), 1000u);
  VelkHostSeek seek{};
  ASSERT_TRUE(stream.seek_ms(500, &seek));
  EXPECT_EQ(seek.target_sample, 22050u);
  EXPECT_EQ(stream.timeline_frame(), 22048u);  // 4-frame steps for stereo
  stream.pull(buffer.data(), buffer.size());
  EXPECT_EQ(stream.timeline_frame(), 23048u);
}

// What a stream reports of damage: the places where its PCM jumps over lost
// blocks, and an input that ends before the header's file size.
TEST_F(HostStreamTest, DamageNamesGapsAndACutInput) {
  const std::string clean = test::write_encoded_file(dir, "clean", 30000);
  std::vector<uint8_t> bytes = test::read_file(clean);
  const size_t clean_size = bytes.size();
  bytes.resize(clean_size / 2);
  test::write_bytes(dir.file("cut.velka"), bytes);
  Stream whole = plugin.open(clean);
  const uint64_t clean_frames = whole.pull_all().size() / 4;
  Stream half = plugin.open(dir.file("cut.velka"));
  const uint64_t cut_frames = half.pull_all().size() / 4;
  ASSERT_LT(cut_frames, clean_frames);
  const struct {
    std::string path;
    std::vector<uint64_t> places;
    uint64_t input_end;
    int32_t cut;
    uint64_t missing;
  } cases[] = {
      {clean, {}, clean_size, 0, 0},
      {dir.file("cut.velka"), {}, clean_size / 2, 1, clean_frames - cut_frames},
      // Garbage after blocks 16 and 19, each taking that block with it.
      {test::data_path("vectors/files/damage-garbage-between.VELKA"),
       {16 * 960, 18 * 960},
       0,
       0,
       2 * 960},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.path);
    Stream stream = plugin.open(k.path);
    stream.pull_all();
    const VelkHostDamage damage = stream.damage();
    EXPECT_EQ(damage.gaps, k.places.size());
    EXPECT_EQ(std::vector<uint64_t>(damage.places,
                                    damage.places + damage.places_kept),
              k.places);
    if (k.input_end != 0) {
      EXPECT_EQ(damage.input_end, k.input_end);
    }
    EXPECT_EQ(damage.input_cut, k.cut);
    EXPECT_EQ(damage.frames_missing, k.missing);
  }
}

}  // namespace
}  // namespace orv::host
