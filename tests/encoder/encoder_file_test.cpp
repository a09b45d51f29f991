// File-level output of the encoder: header, seek table, framing, options.
#include <gtest/gtest.h>

#include <vector>

#include "encoder/velk_encoder.h"
#include "encoder_test_support.h"
#include "format/file_header.h"
#include "format/seek_table.h"

namespace orv::test {
namespace {

using encoder::EncodeError;
using encoder::EncoderOptions;

// Every stretch of the seek table starts on a block and spans exactly
// `per_entry` blocks (the last one possibly fewer); the sizes add up to the
// block data.
void expect_seek_table_consistent(const std::vector<uint8_t>& file,
                                  const DecodedFile& decoded,
                                  uint32_t per_entry) {
  const uint32_t entries = decoded.header.seek_entry_count;
  const uint8_t* table = file.data() + vlkdec::file_header_bytes;
  size_t offset = vlkdec::data_start_for(entries);
  for (uint32_t e = 0; e < entries; ++e) {
    const size_t block = size_t{e} * per_entry;
    ASSERT_LT(block, decoded.block_offsets.size());
    EXPECT_EQ(decoded.block_offsets[block], offset) << "entry " << e;
    offset += vlkdec::read_seek_entry(table, e);
  }
  if (entries > 0) {
    EXPECT_EQ(offset, file.size());
    EXPECT_EQ((decoded.block_offsets.size() + per_entry - 1) / per_entry,
              entries);
  }
}

TEST(EncoderFile, WritesEveryVersionWithAndWithoutSeekTable) {
  const unsigned channels = 2, rate = 32000;
  const size_t frames = rate;
  const auto input =
      make_signal({Signal::chord_vibrato}, channels, rate, frames, 2);
  std::vector<int16_t> reference;
  for (unsigned version : {0u, 1u, 2u}) {
    for (bool table : {true, false}) {
      SCOPED_TRACE(testing::Message()
                   << "version " << version << " table " << table);
      EncoderOptions options;
      options.format_version = version;
      options.seek_table = table;
      options.blocks_per_seek_entry = 4;
      const auto file = encoder::encode_to_memory(input.data(), frames,
                                                  channels, rate, options);
      const auto decoded = decode_file(file);
      ASSERT_EQ(decoded.error, "");
      const auto& h = decoded.header;
      EXPECT_EQ(h.version, version);
      EXPECT_EQ(h.channels, channels);
      EXPECT_EQ(h.sample_rate, rate);
      EXPECT_EQ(h.file_size, file.size());
      uint32_t largest = 0;
      for (size_t b = 0; b < decoded.block_offsets.size(); ++b) {
        const size_t end = b + 1 < decoded.block_offsets.size()
                               ? decoded.block_offsets[b + 1]
                               : file.size();
        largest = std::max<uint32_t>(
            largest, static_cast<uint32_t>(end - decoded.block_offsets[b]));
      }
      EXPECT_EQ(h.max_block_size, largest);
      if (table) {
        EXPECT_EQ(h.seek_entry_count, (decoded.block_offsets.size() + 3) / 4);
        EXPECT_EQ(h.blocks_per_seek_entry, version == 2 ? 4u : 0u);
        expect_seek_table_consistent(file, decoded, 4);
      } else {
        EXPECT_EQ(h.seek_entry_count, 0u);
        EXPECT_EQ(h.blocks_per_seek_entry, 0u);
        EXPECT_EQ(decoded.block_offsets.front(), 24u);
      }
      // The audio does not depend on the container options.
      if (reference.empty()) reference = decoded.pcm;
      EXPECT_EQ(decoded.pcm, reference);
    }
  }
}

TEST(EncoderFile, AutomaticStretchesFitSixteenBits) {
  // Eight channels of noise at the finest quality: blocks of about 30 KB,
  // so a stretch can hold at most two of them.
  const unsigned channels = 8, rate = 48000;
  const size_t frames = rate / 2;
  const auto input =
      make_signal({Signal::noise_bursts, Signal::full_scale_clip}, channels,
                  rate, frames, 4);
  EncoderOptions options;
  options.quality = encoder::quality_max;
  encoder::Encoder enc(channels, rate, options);
  enc.write(input.data(), frames);
  std::vector<uint8_t> file;
  const auto stats = enc.finish(
      [&](const uint8_t* d, size_t s) { file.insert(file.end(), d, d + s); });
  const auto decoded = decode_file(file);
  ASSERT_EQ(decoded.error, "");
  EXPECT_GT(stats.max_block_size, 10000u);
  EXPECT_GE(stats.blocks_per_seek_entry, 1u);
  EXPECT_LE(stats.blocks_per_seek_entry * stats.max_block_size, 65535u * 2);
  EXPECT_EQ(decoded.header.blocks_per_seek_entry, stats.blocks_per_seek_entry);
  expect_seek_table_consistent(file, decoded, stats.blocks_per_seek_entry);

  // Asking for stretches that cannot fit is refused.
  EncoderOptions too_long = options;
  too_long.blocks_per_seek_entry = 100;
  encoder::Encoder refused(channels, rate, too_long);
  refused.write(input.data(), frames);
  EXPECT_THROW(refused.finish([](const uint8_t*, size_t) {}), EncodeError);
}

TEST(EncoderFile, ChunkedWritesGiveTheSameFile) {
  const unsigned channels = 3, rate = 22050;
  const size_t frames = 7777;
  const auto input = make_signal({Signal::chirp, Signal::noise_bursts},
                                 channels, rate, frames, 6);
  const auto whole =
      encoder::encode_to_memory(input.data(), frames, channels, rate);
  encoder::Encoder enc(channels, rate);
  for (size_t done = 0, step = 1; done < frames;
       done += step, step = step * 3 + 1) {
    step = std::min(step, frames - done);
    enc.write(input.data() + done * channels, step);
  }
  std::vector<uint8_t> chunked;
  enc.finish([&](const uint8_t* d, size_t s) {
    chunked.insert(chunked.end(), d, d + s);
  });
  EXPECT_EQ(chunked, whole);
}

TEST(EncoderFile, EmptyInputIsAHeaderOnlyFile) {
  const auto file = encoder::encode_to_memory(nullptr, 0, 2, 44100);
  ASSERT_EQ(file.size(), 24u);
  const auto h = vlkdec::parse_file_header(file.data(), file.size());
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(h->total_samples, 0u);
  EXPECT_EQ(h->file_size, 24u);
  EXPECT_EQ(h->seek_entry_count, 0u);
}

TEST(EncoderFile, RejectsWhatTheFormatCannotHold) {
  EXPECT_THROW(encoder::Encoder(0, 44100), EncodeError);
  EXPECT_THROW(encoder::Encoder(9, 44100), EncodeError);
  EXPECT_THROW(encoder::Encoder(2, 0), EncodeError);
  EXPECT_THROW(encoder::Encoder(2, 65536), EncodeError);
  EncoderOptions bad;
  bad.format_version = 3;
  EXPECT_THROW(encoder::Encoder(2, 44100, bad), EncodeError);
  bad = {};
  bad.quality = 101;
  EXPECT_THROW(encoder::Encoder(2, 44100, bad), EncodeError);
  bad = {};
  bad.bitrate_kbps = -1;
  EXPECT_THROW(encoder::Encoder(2, 44100, bad), EncodeError);
  // The extremes of the rate range work.
  const std::vector<int16_t> pcm(600, 1000);
  EXPECT_EQ(decode_file(encoder::encode_to_memory(pcm.data(), 600, 1, 1)).error,
            "");
  EXPECT_EQ(
      decode_file(encoder::encode_to_memory(pcm.data(), 300, 2, 65535)).error,
      "");
}

}  // namespace
}  // namespace orv::test
