// Encoder output decoded block by block through the block decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "encoder/velk_encoder.h"
#include "encoder_test_support.h"
#include "format/bands.h"
#include "format/frame.h"
#include "support/test_data.h"

namespace orv::test {
namespace {

using encoder::EncoderOptions;

const std::vector<Signal> music = {Signal::chord_vibrato, Signal::noise_bursts,
                                   Signal::chirp, Signal::full_scale_clip};

size_t delivered_frames(size_t frames, unsigned rate) {
  const size_t hop = vlkdec::samples_per_block(rate);
  return (frames + hop - 1) / hop * hop;
}

// RMS error over the crossfaded frames (the first n/16 of every block but
// the first) and over all other frames of one channel.
std::pair<double, double> crossfade_and_interior_rms(
    const std::vector<int16_t>& input, const std::vector<int16_t>& decoded,
    unsigned channels, unsigned c, unsigned rate) {
  const size_t n = vlkdec::frame_length_for_rate(rate);
  const size_t hop = vlkdec::hop_for_frame_length(n);
  double cross = 0.0, inner = 0.0;
  size_t cross_count = 0, inner_count = 0;
  for (size_t i = 0; i < input.size() / channels; ++i) {
    const double d = decoded[i * channels + c] - input[i * channels + c];
    if (i >= hop && i % hop < n / 16) {
      cross += d * d;
      ++cross_count;
    } else {
      inner += d * d;
      ++inner_count;
    }
  }
  return {std::sqrt(cross / std::max<size_t>(cross_count, 1)),
          std::sqrt(inner / std::max<size_t>(inner_count, 1))};
}

class EncoderRoundTrip
    : public ::testing::TestWithParam<std::tuple<unsigned, unsigned>> {};

TEST_P(EncoderRoundTrip, DecodesMusicLikeSignalsCleanlyAtEachQuality) {
  const auto [channels, rate] = GetParam();
  const size_t frames = rate / 2;
  const uint32_t seed = test_seed(1234);
  SCOPED_TRACE("seed " + std::to_string(seed));
  const std::vector<int16_t> input =
      make_signal(music, channels, rate, frames, seed);

  // Below quality 100 the noise follows the masking threshold, not an SNR
  // (the chirp is even cut above the coded bandwidth): there only the
  // crossfades are checked.
  for (const auto& [quality, min_snr] :
       {std::pair{encoder::default_quality, -HUGE_VAL},
        std::pair{encoder::quality_max, 60.0}}) {
    SCOPED_TRACE("quality " + std::to_string(quality));
    EncoderOptions options;
    options.quality = quality;
    const std::vector<uint8_t> file = encoder::encode_to_memory(
        input.data(), frames, channels, rate, options);
    const DecodedFile decoded = decode_file(file);
    ASSERT_EQ(decoded.error, "");
    EXPECT_EQ(decoded.header.total_samples, frames);
    EXPECT_EQ(decoded.header.file_size, file.size());
    ASSERT_EQ(decoded.pcm.size(), delivered_frames(frames, rate) * channels);
    for (unsigned c = 0; c < channels; ++c) {
      SCOPED_TRACE(std::string("channel ") + std::to_string(c) + " " +
                   signal_name(music[c % music.size()]));
      EXPECT_GE(channel_snr_db(input, decoded.pcm, channels, c), min_snr);
      // No click: the crossfades are no worse than the blocks around them.
      const auto [cross, inner] =
          crossfade_and_interior_rms(input, decoded.pcm, channels, c, rate);
      EXPECT_LE(cross, 1.5 * inner + 1.0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    ChannelsAndRates, EncoderRoundTrip,
    ::testing::Combine(::testing::Values(1u, 2u, 3u, 5u, 6u, 8u),
                       ::testing::Values(8000u, 22050u, 32000u, 44100u,
                                         48000u)),
    [](const auto& param_info) {
      return std::to_string(std::get<0>(param_info.param)) + "ch" +
             std::to_string(std::get<1>(param_info.param));
    });

TEST(EncoderRoundTrip, SilenceStaysExactlySilent) {
  const size_t frames = 5000;
  const auto input = make_signal({Signal::silence}, 3, 22050, frames, 1);
  const auto decoded =
      decode_file(encoder::encode_to_memory(input.data(), frames, 3, 22050));
  ASSERT_EQ(decoded.error, "");
  for (int16_t s : decoded.pcm) ASSERT_EQ(s, 0);
}

TEST(EncoderRoundTrip, ShortInputAndBlockBoundaryLengths) {
  // One frame, exactly one hop, one hop + 1: block counts ceil(frames / h).
  const unsigned rate = 8000;
  const size_t hop = vlkdec::hop_for_frame_length(512);
  for (size_t frames : {size_t{1}, hop, hop + 1, 3 * hop}) {
    SCOPED_TRACE(frames);
    const auto input = make_signal({Signal::chord_vibrato}, 2, rate, frames, 5);
    const auto decoded =
        decode_file(encoder::encode_to_memory(input.data(), frames, 2, rate));
    ASSERT_EQ(decoded.error, "");
    EXPECT_EQ(decoded.block_offsets.size(), (frames + hop - 1) / hop);
    EXPECT_EQ(decoded.pcm.size(), delivered_frames(frames, rate) * 2);
  }
}

TEST(EncoderRoundTrip, OversizeBlocksAreCoarsenedUntilTheyFit) {
  const unsigned channels = 8, rate = 48000;
  const size_t frames = 6000;
  const auto input = make_signal({Signal::noise_bursts, Signal::chirp},
                                 channels, rate, frames, 9);
  EncoderOptions options;
  options.quality = encoder::quality_max;
  options.max_payload_bytes = 6000;
  encoder::Encoder enc(channels, rate, options);
  enc.write(input.data(), frames);
  std::vector<uint8_t> file;
  const auto stats = enc.finish(
      [&](const uint8_t* d, size_t s) { file.insert(file.end(), d, d + s); });
  EXPECT_GT(stats.coarsened_blocks, 0u);
  EXPECT_LE(stats.max_block_size, 6004u);
  const auto decoded = decode_file(file);
  ASSERT_EQ(decoded.error, "");
  for (unsigned c = 0; c < channels; ++c) {
    EXPECT_GT(channel_snr_db(input, decoded.pcm, channels, c), 10.0);
  }
}

TEST(EncoderRoundTrip, BitRateModeLandsWithinThreePercentOverAMinute) {
  // 22.05 kHz keeps the minute quick under the sanitizers.
  const unsigned channels = 2, rate = 22050;
  const size_t frames = 60 * rate;
  const auto input = make_signal(music, channels, rate, frames, 3);
  for (double kbps : {96.0}) {
    SCOPED_TRACE(kbps);
    EncoderOptions options;
    options.bitrate_kbps = kbps;
    const auto file = encoder::encode_to_memory(input.data(), frames, channels,
                                                rate, options);
    const double achieved =
        file.size() * 8.0 / (double(frames) / rate) / 1000.0;
    EXPECT_NEAR(achieved, kbps, kbps * 0.03);
  }
}

TEST(EncoderRoundTrip, EveryPayloadFitsTheFormatAtEverySetting) {
  // Eight channels of loud noise and sweeps: the largest payloads.
  const unsigned channels = 8, rate = 48000;
  const size_t frames = rate / 2;
  const auto input = make_signal(
      {Signal::noise_bursts, Signal::chirp, Signal::full_scale_clip}, channels,
      rate, frames, 11);
  struct Setting {
    int quality;
    double kbps;
  };
  for (const Setting s :
       {Setting{0, 0}, Setting{50, 0}, Setting{99, 0}, Setting{100, 0},
        Setting{50, 8}, Setting{50, 6000}, Setting{50, 60000}}) {
    SCOPED_TRACE(std::to_string(s.quality) + " " + std::to_string(s.kbps));
    EncoderOptions options;
    options.quality = s.quality;
    options.bitrate_kbps = s.kbps;
    encoder::Encoder enc(channels, rate, options);
    enc.write(input.data(), frames);
    std::vector<uint8_t> file;
    const auto stats = enc.finish(
        [&](const uint8_t* d, size_t n) { file.insert(file.end(), d, d + n); });
    EXPECT_LE(stats.max_block_size, 4u + 65535u);
    ASSERT_EQ(decode_file(file).error, "");
  }
}

}  // namespace
}  // namespace orv::test
