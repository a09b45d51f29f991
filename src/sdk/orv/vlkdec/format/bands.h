// The quantiser bands of a frame: which coefficients share a quantiser.
#ifndef ORV_VLKDEC_FORMAT_BANDS_H
#define ORV_VLKDEC_FORMAT_BANDS_H

#include <cstdint>

namespace orv::vlkdec {

constexpr uint32_t max_band_count = 25;

// Band j covers coefficients 2 * edges[j] up to 2 * edges[j + 1] - 1; entry
// `count` is half the frame length and the entries after it are 0. For
// rates 1 to 65535 the edges ascend strictly from 1, so no band is empty
// and coefficients 0 and 1 (the two raw floats) lie in none.
struct BandEdges {
  uint32_t count;
  uint32_t edges[max_band_count + 1];
};

// The bands below the Nyquist frequency of `sample_rate`, as edges at its
// frame length. A rate of 0 has no bands.
BandEdges band_edges_for_rate(uint32_t sample_rate);

}  // namespace orv::vlkdec

#endif
