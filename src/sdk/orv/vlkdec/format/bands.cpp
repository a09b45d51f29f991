#include "format/bands.h"

#include "format/frame.h"

namespace orv::vlkdec {
namespace {

// Start frequencies in Hz of the quantiser bands.
constexpr uint32_t critical_frequencies[max_band_count] = {
    0,    100,  200,  300,  400,  510,   630,  770,  920,
    1080, 1270, 1480, 1720, 2000, 2320,  2700, 3150, 3700,
    4400, 5300, 6400, 7700, 9500, 12000, 15500};

}  // namespace

BandEdges band_edges_for_rate(uint32_t sample_rate) {
  const uint32_t n = frame_length_for_rate(sample_rate);
  // Bands below the Nyquist frequency; 64 bits so that no rate wraps.
  const auto half = static_cast<uint32_t>((uint64_t{sample_rate} + 1) / 2);
  BandEdges bands{};
  while (bands.count < max_band_count &&
         critical_frequencies[bands.count] < half) {
    ++bands.count;
  }
  // half > critical_frequencies[j] >= 0 for every j < count, so the
  // division is safe; edges of 0 become 1 so that band 0 starts at
  // coefficient 2, after the two raw floats.
  for (uint32_t j = 0; j < bands.count; ++j) {
    const uint32_t edge = critical_frequencies[j] * (n / 2) / half;
    bands.edges[j] = edge == 0 ? 1 : edge;
  }
  bands.edges[bands.count] = n / 2;
  return bands;
}

}  // namespace orv::vlkdec
