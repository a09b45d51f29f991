#include <gtest/gtest.h>

#include <cmath>

#include "encoder/velk_encoder.h"
#include "plugin_api.h"
#include "stream_files.h"

namespace orv::test {
namespace {

struct Encoded {
  std::vector<int16_t> pcm;
  std::vector<uint8_t> file;
};

Encoded encode(uint32_t channels, uint32_t rate, size_t frames) {
  Encoded e;
  e.pcm = test_music(channels, rate, frames, channels);
  encoder::EncoderOptions options;
  options.quality = 80;
  e.file =
      encoder::encode_to_memory(e.pcm.data(), frames, channels, rate, options);
  return e;
}

int16_t sample_at(const std::vector<uint8_t>& bytes, size_t index) {
  return static_cast<int16_t>(bytes[2 * index] | bytes[2 * index + 1] << 8);
}

// The decoded channel that best matches input channel `c`.
uint32_t best_match(const std::vector<uint8_t>& decoded,
                    const std::vector<int16_t>& input, uint32_t channels,
                    uint32_t c, size_t frames) {
  uint32_t best = channels;
  double best_error = 0;
  for (uint32_t d = 0; d < channels; ++d) {
    double error = 0;
    for (size_t f = 0; f < frames; ++f) {
      const double diff = sample_at(decoded, f * channels + d) -
                          static_cast<double>(input[f * channels + c]);
      error += diff * diff;
    }
    if (best == channels || error < best_error) {
      best = d;
      best_error = error;
    }
  }
  return best;
}

TEST(EncodedFiles, EveryChannelCountAndFrameLengthDecodesAlike) {
  for (uint32_t rate : {16000u, 32000u, 48000u}) {
    const uint32_t hop = vlkdec::frame_length_for_rate(rate) * 15 / 16;
    for (uint32_t channels = 1; channels <= 8; ++channels) {
      const Encoded e = encode(channels, rate, 6 * hop + 100);
      const size_t blocks = block_offsets(e.file).size();
      FakeHost host(e.file);
      const auto reference = decode_all(host, {4096});
      // Every block delivers its frames, nothing more.
      EXPECT_EQ(reference.size(), blocks * hop * channels * 2)
          << channels << " channels at " << rate;
      // Channels come out in their own places.
      for (uint32_t c = 0; c < channels; ++c) {
        EXPECT_EQ(best_match(reference, e.pcm, channels, c, 4 * hop), c)
            << channels << " channels at " << rate;
      }
      for (const std::vector<uint32_t>& requests :
           {std::vector<uint32_t>{1}, {3}, {4093, 7, 1, 30000, 2}}) {
        FakeHost again(e.file);
        EXPECT_EQ(decode_all(again, requests), reference)
            << channels << " channels at " << rate << " requests "
            << requests.front();
      }
      for (const std::vector<uint32_t>& reads :
           {std::vector<uint32_t>{1}, {3}, {1000, 1, 77}}) {
        FakeHost again(e.file);
        again.read_pattern = reads;
        again.full_reads = open_reads(e.file);
        EXPECT_EQ(decode_all(again, {4096}), reference)
            << channels << " channels at " << rate << " reads "
            << reads.front();
      }
    }
  }
}

TEST(EncodedFiles, SixChannelBlockAt48kHzIs23040Bytes) {
  HostStream s(encode(6, 48000, 3 * 1920).file);
  EXPECT_EQ(s.process(1), 1u);
  EXPECT_EQ(s.query(ORV_TOKEN_OUTPUT_RESERVOIR), 23040u - 1);
}

}  // namespace
}  // namespace orv::test
