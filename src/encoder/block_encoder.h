// One block: transform every channel, choose quantisers, code the runs and
// write the payload (one sub-block per channel pair).
#ifndef ORV_ENCODER_BLOCK_ENCODER_H
#define ORV_ENCODER_BLOCK_ENCODER_H

#include <cstdint>
#include <vector>

#include "encoder/forward_dct.h"

namespace orv::encoder {

// How finely a block is quantised.
struct QuantSetting {
  // Finest quantisers that keep every magnitude within 15 bits.
  bool finest = false;
  // Otherwise: noise aimed at this many dB below each band's energy (and
  // never finer than that many dB + a margin below the channel's mean).
  double band_snr_db = 36.0;
  // Added to every band's quantiser index: coarsening for oversize blocks.
  unsigned index_offset = 0;
};

// Target band SNR in dB for a quality below quality_max.
double band_snr_for_quality(int quality);

class BlockEncoder {
 public:
  BlockEncoder(unsigned channels, unsigned sample_rate);

  // Transforms the block's input: `planar` holds channels * n samples,
  // channel c at c * n.
  void analyse(const float* planar);
  // Payload bits the analysed block takes at `setting`, sub-block padding
  // included.
  uint64_t payload_bits(const QuantSetting& setting);
  // Appends the payload at `setting` to out.
  void write_payload(const QuantSetting& setting, std::vector<uint8_t>& out);

  uint32_t frame_length() const { return n_; }
  unsigned band_count() const { return band_count_; }

 private:
  struct ChannelCode {
    uint32_t float0 = 0, float1 = 0;   // 29-bit patterns of a[0], a[1]
    std::vector<uint8_t> indices;      // one per band
    std::vector<uint16_t> magnitudes;  // coefficient k at k (k >= 2)
    std::vector<uint8_t> negative;
    std::vector<uint8_t> run_groups;  // per run: its length in 8-groups
    std::vector<uint8_t> run_widths;
    uint64_t bits = 0;
  };

  void quantise_channel(unsigned c, const QuantSetting& setting,
                        ChannelCode& code);
  void plan_runs(ChannelCode& code);
  void write_channel(const ChannelCode& code, class BitWriter& writer) const;

  unsigned channels_;
  uint32_t n_;
  unsigned band_count_;
  std::vector<uint32_t> band_edges_;  // in coefficient pairs
  std::vector<double> steps_;         // quantiser_step(0..95), exactly
  ForwardDct dct_;
  std::vector<double> coeffs_;  // channels * n
  std::vector<ChannelCode> codes_;
  // Scratch for run planning.
  std::vector<uint8_t> group_bits_;
  std::vector<uint64_t> plan_cost_;
  std::vector<uint8_t> plan_groups_;
  std::vector<uint8_t> plan_width_;
};

}  // namespace orv::encoder

#endif
