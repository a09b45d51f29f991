#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sdk/orv/vlkdec/stream.h"

namespace orv::vlkdec {
namespace {

// A sample value that names its channel and frame.
int16_t tag(uint32_t channel, uint32_t frame) {
  return static_cast<int16_t>(channel * 4096 + frame);
}

struct Region {
  std::vector<int16_t> storage;
  int16_t* samples;
  explicit Region(size_t count) : storage(count + 8) {
    auto address = reinterpret_cast<uintptr_t>(storage.data());
    samples = storage.data() + ((16 - address % 16) % 16) / 2;
  }
};

TEST(Interleave, EveryChannelCountAndBlockLengthGivesFrameOrder) {
  for (uint32_t channels = 2; channels <= 8; ++channels) {
    for (uint32_t frames : {480u, 960u, 1920u, 16u, 8u}) {
      Region region(size_t{channels} * frames);
      for (uint32_t c = 0; c < channels; ++c) {
        for (uint32_t f = 0; f < frames; ++f) {
          region.samples[c * frames + f] = tag(c, f);
        }
      }
      interleave_channels(region.samples, frames, channels);
      for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels; ++c) {
          ASSERT_EQ(region.samples[f * channels + c], tag(c, f))
              << channels << " channels, " << frames << " frames, frame " << f
              << " channel " << c;
        }
      }
    }
  }
}

TEST(Interleave, StaleBitmapContentsDoNotMatter) {
  // Run a large interleave first so the stack that holds the bitmap is
  // dirty, then one whose mark count (3 x 60 = 180) ends mid-byte.
  for (uint32_t channels : {8u, 3u, 5u, 7u}) {
    const uint32_t frames = channels == 8 ? 1920 : 480;
    Region region(size_t{channels} * frames);
    for (uint32_t c = 0; c < channels; ++c) {
      for (uint32_t f = 0; f < frames; ++f)
        region.samples[c * frames + f] = tag(c, f);
    }
    interleave_channels(region.samples, frames, channels);
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < channels; ++c) {
        ASSERT_EQ(region.samples[f * channels + c], tag(c, f));
      }
    }
  }
}

TEST(Interleave, FewerThanEightFramesOrUnknownCountsTouchNothing) {
  Region region(64);
  for (int i = 0; i < 64; ++i) region.samples[i] = static_cast<int16_t>(i);
  interleave_channels(region.samples, 7, 4);
  interleave_channels(region.samples, 8, 9);
  interleave_channels(region.samples, 8, 1);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(region.samples[i], i);
}

}  // namespace
}  // namespace orv::vlkdec
