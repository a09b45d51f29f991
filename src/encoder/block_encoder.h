// One block: transform every channel, choose quantisers, code the runs and
// write the payload (one sub-block per channel pair).
#ifndef ORV_ENCODER_BLOCK_ENCODER_H
#define ORV_ENCODER_BLOCK_ENCODER_H

#include <cstdint>
#include <vector>

#include "encoder/forward_dct.h"
#include "encoder/psychoacoustic.h"

namespace orv::encoder {

// How finely a block is quantised.
struct QuantSetting {
  // Finest quantisers that keep every magnitude within 15 bits.
  bool finest = false;
  // Otherwise: each band's noise stays this many dB under its masking
  // threshold (above it when negative), at the coarsest quantiser that
  // does.
  double mask_offset_db = 0.0;
  // Coefficients from this one on are left out (the coded bandwidth).
  uint32_t cutoff = UINT32_MAX;
  // Added to every band's quantiser index: coarsening for oversize blocks.
  unsigned index_offset = 0;
};

// Energy of a band's coded coefficients, the finest quantiser that keeps
// its largest magnitude within the format's width, and log10 of its
// allowed noise per coefficient times 12 at offset 0 (where the search for
// its quantiser starts).
struct BandStats {
  double energy = 0.0;
  unsigned min_index = 0;
  double log_allowance = 0.0;
};

// A transformed block with its masking thresholds.
struct BlockAnalysis {
  std::vector<double> coeffs;     // channels * n, channel c at c * n
  std::vector<double> threshold;  // channels * bands: allowed noise energy
  // Measurements for the cut-off `noise_cutoff`, taken by the first
  // quantise call: the rate control quantises a block at several
  // trade-offs, which share them. Per channel and band, its statistics and
  // its noise at each quantiser (negative where not yet measured).
  mutable std::vector<BandStats> bands;
  mutable std::vector<double> noise;
  mutable uint32_t noise_cutoff = 0;
};

class BlockEncoder {
 public:
  BlockEncoder(unsigned channels, unsigned sample_rate);

  // Transforms the block's input and finds its masking thresholds:
  // `planar` holds channels * n samples, channel c at c * n. Blocks are
  // analysed in order (the thresholds carry temporal masking forward).
  void analyse(const float* planar, BlockAnalysis& out);
  // Quantises an analysed block at `setting` and returns the bits of its
  // payload, sub-block padding included. The codes are kept for
  // write_payload.
  uint64_t quantise(const BlockAnalysis& block, const QuantSetting& setting);
  // Appends the payload of the last quantise call to out.
  void write_payload(std::vector<uint8_t>& out) const;
  // Quantiser indices of channel c chosen by the last quantise call.
  const std::vector<uint8_t>& indices(unsigned c) const {
    return codes_[c].indices;
  }

  uint32_t frame_length() const { return n_; }
  unsigned band_count() const { return band_count_; }
  unsigned sample_rate() const { return sample_rate_; }

 private:
  struct ChannelCode {
    uint32_t float0 = 0, float1 = 0;   // 29-bit patterns of a[0], a[1]
    std::vector<uint8_t> indices;      // one per band
    std::vector<uint16_t> magnitudes;  // coefficient k at k (k >= 2)
    uint32_t nonzero = 0;              // magnitudes that are not zero
    std::vector<uint8_t> negative;
    std::vector<uint8_t> run_groups;  // per run: its length in 8-groups
    std::vector<uint8_t> run_widths;
    uint64_t bits = 0;
  };

  void quantise_channel(const BlockAnalysis& block, unsigned c,
                        const QuantSetting& setting, ChannelCode& code);
  void measure_bands(const BlockAnalysis& block, uint32_t cutoff) const;
  void plan_runs(ChannelCode& code);
  void write_channel(const ChannelCode& code, class BitWriter& writer) const;

  unsigned channels_;
  unsigned sample_rate_;
  uint32_t n_;
  unsigned band_count_;
  std::vector<uint32_t> band_edges_;  // in coefficient pairs
  std::vector<double> steps_;         // the quantiser table, exactly
  std::vector<double> inverse_steps_;
  ForwardDct dct_;
  PsychoacousticModel model_;
  std::vector<std::vector<double>> previous_threshold_;  // per channel
  std::vector<ChannelCode> codes_;
  // Scratch for run planning.
  std::vector<uint8_t> group_bits_;
  std::vector<uint64_t> plan_cost_;
  std::vector<uint8_t> plan_groups_;
  std::vector<uint8_t> plan_width_;
  // Cheapest cover of the last m groups when all of them are zero, and the
  // groups of its first run: the same for every block.
  std::vector<uint32_t> zero_cost_;
  std::vector<uint8_t> zero_groups_;
};

}  // namespace orv::encoder

#endif
