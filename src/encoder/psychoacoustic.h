// Masking model of the encoder: how much quantisation noise each quantiser
// band of a block can carry before it is heard.
#ifndef ORV_ENCODER_PSYCHOACOUSTIC_H
#define ORV_ENCODER_PSYCHOACOUSTIC_H

#include <cstdint>
#include <vector>

#include "encoder/forward_dct.h"

namespace orv::encoder {

// Playback level assumed for the absolute threshold of hearing: a full-scale
// sine is heard at this many dB SPL.
constexpr double full_scale_spl_db = 92.0;

class PsychoacousticModel {
 public:
  // band_edges: band starts in coefficient pairs, the last entry n / 2 (the
  // decoder's layout for the rate).
  PsychoacousticModel(uint32_t n, unsigned sample_rate,
                      const std::vector<uint32_t>& band_edges);

  // Masking threshold of one channel of a block: for every band, the noise
  // energy (summed over the band's coefficients, in the units of the
  // squared coefficients) that stays inaudible. `x` holds the block's n
  // samples, `a` their coefficients. `previous` is the channel's threshold
  // of the block before (empty for the first block; temporal masking) and
  // is replaced by this block's.
  void masking_threshold(const float* x, const double* a,
                         std::vector<double>& previous, double* threshold);

  // Lowers a block's thresholds for an onset: quantisation noise spreads
  // over the whole block, so it must also stay under the level of the
  // quietest stretch before the block's loudest one. Every band is judged
  // on the whole signal, and the bands from high_onset_hz on also on its
  // first difference, where the hits of drums stand out from the sustained
  // bass and mids that fill the stretch before them. At most
  // attack_max_db.
  void protect_onsets(const float* x, double* threshold) const;

  static constexpr double attack_max_db = 25.0;

 private:
  // dB of protection for the signal (or its first difference) at margin_db.
  double attack_protection_db(const float* x, bool difference,
                              double margin_db) const;

  uint32_t n_;
  unsigned bands_;
  std::vector<uint32_t> lo_, hi_;  // band b: coefficients [lo, hi)
  std::vector<double> spread_;     // bands x bands, maskee-major, linear
  std::vector<double> quiet_;      // absolute threshold per band, energy
  std::vector<double> tonal_db_;   // offset of a tonal masker per band
  std::vector<double> low_boost_;  // extra protection per band, linear
  unsigned high_onset_band_;       // first band judged on the difference
  ForwardDct dct_;                 // for the windowed analysis
  std::vector<float> hann_;
  std::vector<float> windowed_;
  std::vector<double> spectrum_;
  std::vector<double> log_prefix_, power_prefix_;
  std::vector<double> energy_, spread_energy_;
};

}  // namespace orv::encoder

#endif
