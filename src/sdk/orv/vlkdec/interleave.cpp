// In-place conversion of a block's planar channel runs into frame order.
//
// The region is C runs of F samples. Taken as 16-byte units of 8 samples,
// channel r's run is units r*G .. r*G+G-1 (G = F/8). Unit placement moves
// every unit n to where source(n) = (n mod C)*G + n/C says, following each
// permutation cycle once with a visited bit per unit, so that group g
// (units g*C .. g*C+C-1) holds the g-th unit of every channel. A C x 8
// transposition inside each group then yields frames 8g .. 8g+7.
#include <cstring>

#include "stream.h"

namespace orv::vlkdec {
namespace {

constexpr uint32_t unit_samples = 8;
constexpr uint32_t unit_bytes = 16;
// Room for the visited bits of 2048 units; a block has at most 8 x 240.
constexpr uint32_t max_units = 2048;

// 65536 / C, rounded up where it is not exact, so that (n * r) >> 16 is
// n / C for every unit index n below max_units.
constexpr uint32_t reciprocal[max_channels + 1] = {
    0, 0, 32768, 21846, 16384, 13108, 10923, 9363, 8192};

struct UnitMap {
  uint32_t channels;
  uint32_t groups;
  uint32_t source(uint32_t n) const {
    const uint32_t quotient = (n * reciprocal[channels]) >> 16;
    return (n - channels * quotient) * groups + quotient;
  }
};

void copy_unit(int16_t* region, uint32_t to, uint32_t from) {
  std::memcpy(region + to * unit_samples, region + from * unit_samples,
              unit_bytes);
}

// Sample r*8+k of the group (channel r, frame k) goes to k*C+r.
void transpose_group(int16_t* group, uint32_t channels) {
  int16_t planar[max_channels * unit_samples];
  std::memcpy(planar, group, channels * unit_bytes);
  for (uint32_t r = 0; r < channels; ++r) {
    for (uint32_t k = 0; k < unit_samples; ++k) {
      group[k * channels + r] = planar[r * unit_samples + k];
    }
  }
}

}  // namespace

void interleave_channels(int16_t* region, uint32_t frames, uint32_t channels) {
  if (channels < 2 || channels > max_channels) return;
  const uint32_t groups = frames / unit_samples;
  const uint32_t units = groups * channels;
  if (groups == 0 || units > max_units) return;

  uint8_t visited[max_units / 8];
  std::memset(visited, 0, (units + 7) / 8);
  const auto mark = [&visited](uint32_t n) {
    visited[n >> 3] = static_cast<uint8_t>(visited[n >> 3] | 1u << (n & 7));
  };
  const auto marked = [&visited](uint32_t n) {
    return (visited[n >> 3] >> (n & 7) & 1u) != 0;
  };

  const UnitMap map{channels, groups};
  for (uint32_t g = 0; g < groups; ++g) {
    for (uint32_t u = g * channels; u < (g + 1) * channels; ++u) {
      if (marked(u)) continue;
      int16_t saved[unit_samples];
      std::memcpy(saved, region + u * unit_samples, unit_bytes);
      uint32_t e = u;
      for (uint32_t d = map.source(u); d != u; d = map.source(d)) {
        copy_unit(region, e, d);
        mark(e);
        e = d;
      }
      std::memcpy(region + e * unit_samples, saved, unit_bytes);
      mark(e);
    }
    // Every cycle starts at its smallest unit, so this group is final.
    transpose_group(region + g * channels * unit_samples, channels);
  }
}

}  // namespace orv::vlkdec
