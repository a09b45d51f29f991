// The coefficient reader's run kernel: the unchecked reader of a channel's
// runs, which has processor variants, and the records it shares with the
// checked reader (decoder/coefficients.cpp).
#ifndef ORV_VLKDEC_KERNELS_RUNS_H
#define ORV_VLKDEC_KERNELS_RUNS_H

#include <cstdint>

namespace orv::vlkdec {

// Where the runs of a channel stand: the next coefficient, the band that
// gives the current step, and the step.
struct RunState {
  uint32_t k;
  uint32_t band;
  float step;
};

// What a channel's runs are read into: n coefficients and the band layout
// with the channel's steps (band j starts at coefficient 2 * band_edges[j]).
struct ChannelLayout {
  float* coeffs;
  uint32_t n;
  uint32_t band_count;
  const uint32_t* band_edges;
  const float* steps;
};

// Reads runs of the channel from bit `pos` of the sub-block at `base`, from
// coefficient r.k on, while each run ends by bit `safe`, which lies at least
// 16 bytes before the readable end; no other check is made. Stops before the
// first run that may not fit, or at n. `pos` and `r` move past the runs
// read, with the coefficients written exactly as the checked reader would.
//
// With `scratch` (room for max_run_length coefficients), a run that may or may
// not fit is tried too: parsed into `scratch`, checked every eight
// coefficients, and taken only when it ends by `safe`; the reader then needs 64
// readable bytes after bit `safe`. The portable code; dsp().read_runs is the
// variant for this processor.
void read_runs_portable(const ChannelLayout& channel, RunState& r,
                        const uint8_t* base, uint64_t& pos, uint64_t safe,
                        float* scratch);

}  // namespace orv::vlkdec

#endif
