#include <cmath>

#include "stream_files.h"

namespace orv::test {

std::vector<int16_t> test_music(uint32_t channels, uint32_t sample_rate,
                                size_t frames, uint32_t seed) {
  std::vector<int16_t> pcm(frames * channels);
  uint32_t noise = seed * 2654435761u + 7;
  const double pi = 3.14159265358979323846;
  for (size_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) / sample_rate;
    for (uint32_t c = 0; c < channels; ++c) {
      // Each channel has its own fundamental, so that swapped channels
      // show up in a correlation check.
      const double base = 110.0 * (c + 1) + 13.0 * seed;
      double v = 6000.0 * std::sin(2 * pi * base * t) +
                 2500.0 * std::sin(2 * pi * base * 2.01 * t + c) +
                 1200.0 * std::sin(2 * pi * base * 3.03 * t);
      noise = noise * 1664525u + 1013904223u;
      v += static_cast<double>(static_cast<int32_t>(noise >> 20) - 2048) * 0.5;
      pcm[f * channels + c] = static_cast<int16_t>(std::lround(v));
    }
  }
  return pcm;
}

}  // namespace orv::test
