// Band tracking of the coefficient reader. Internal linkage: included by
// translation units built for different instruction sets, each of which
// keeps its own copy.
#ifndef ORV_VLKDEC_KERNELS_RUN_BANDS_H
#define ORV_VLKDEC_KERNELS_RUN_BANDS_H

#include <cstdint>
#include <cstring>

#include "kernels/runs.h"

namespace orv::vlkdec {
namespace {

// Band j starts at coefficient 2 * band_edges[j]; edges ascend strictly
// from 1 and the last is n / 2, so each coefficient k >= 2 takes the step
// of the band that contains it without a search. The band < band_count
// guards only keep a malformed edge list inside `steps`.
//
// Runs of zeros are cleared and move past every band that starts before
// their end.
inline void skip_zeros(const ChannelLayout& ch, RunState& r, uint32_t run_end) {
  std::memset(ch.coeffs + r.k, 0, (run_end - r.k) * sizeof(float));
  while (r.band < ch.band_count && run_end > 2 * ch.band_edges[r.band]) {
    r.step = ch.steps[r.band++];
  }
  r.k = run_end;
}

// Runs of values: a band changes only at a coefficient equal to its start,
// so the run goes in stretches of one step each, handled by `stretch(k,
// end, step)`, which returns false to stop.
template <typename Stretch>
inline bool for_each_stretch(const ChannelLayout& ch, RunState& r,
                             uint32_t run_end, Stretch stretch) {
  while (r.k < run_end) {
    if (r.band < ch.band_count && r.k == 2 * ch.band_edges[r.band]) {
      r.step = ch.steps[r.band++];
    }
    uint32_t stretch_end = run_end;
    if (r.band < ch.band_count) {
      const uint32_t next_start = 2 * ch.band_edges[r.band];
      if (next_start > r.k && next_start < run_end) stretch_end = next_start;
    }
    if (!stretch(r.k, stretch_end, r.step)) return false;
    r.k = stretch_end;
  }
  return true;
}

inline uint32_t run_end_for(uint32_t k, uint32_t length, uint32_t n) {
  return n - k < length ? n : k + length;
}

}  // namespace
}  // namespace orv::vlkdec

#endif
