// Average bit rate control: one trade-off (the masking offset) for a window
// of blocks ahead, found against their bit counts, plus a reservoir that
// carries the bits saved or overspent so far.
#ifndef ORV_ENCODER_RATE_CONTROL_H
#define ORV_ENCODER_RATE_CONTROL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace orv::encoder {

// Masking offsets (dB) at which a block's size is known, ascending.
constexpr double rate_grid_min_db = -36.0;
constexpr double rate_grid_step_db = 3.0;
constexpr size_t rate_grid_points = 27;  // up to +42 dB
constexpr double rate_grid_offset(size_t i) {
  return rate_grid_min_db + rate_grid_step_db * double(i);
}

// Coded bandwidth in Hz for an average rate per channel: narrower at low
// rates, where the bits do more good below it.
double cutoff_hz_for_rate(double kbps_per_channel);

// Constant-quality mode: the masking offset and bandwidth for a quality
// below quality_max.
double mask_offset_for_quality(int quality);
double cutoff_hz_for_quality(int quality);

class RateController {
 public:
  // target_bits: bits per block at the asked rate; lookahead: blocks whose
  // sizes are known before the first of them is coded.
  RateController(double target_bits, size_t lookahead);

  // Grid points [first, last] to measure the next block at: all of them
  // while the window is empty, else the one nearest the offset the window
  // would get now (the offset moves slowly; the block's size elsewhere is
  // extrapolated with the growth learnt so far).
  std::pair<size_t, size_t> tabulation_range() const;
  // Appends the next block: its bits at the grid points from `first` on.
  void push(size_t first, const std::vector<uint64_t>& bits);
  bool full() const { return window_.size() >= lookahead_; }
  bool empty() const { return window_.empty(); }

  // Offset for the oldest pushed block: the finest that keeps the window
  // within its share of the bits, the reservoir included.
  double next_offset() const;
  // The oldest block took `bits` at `offset`; it leaves the window. Its
  // size there against its size where it was measured refines the growth.
  void spent(uint64_t bits, double offset);

  // Natural log of how much a block's size grows per finer grid step, as
  // learnt so far.
  double growth() const { return growth_; }

 private:
  using Sizes = std::array<double, rate_grid_points>;
  struct Block {
    Sizes sizes;      // bits at every grid point, measured or extrapolated
    size_t measured;  // a grid point where the size was measured
  };
  double target_;
  size_t lookahead_;
  double reservoir_ = 0.0;  // bits below the target so far (may be < 0)
  double growth_;
  std::deque<Block> window_;
  Sizes window_bits_{};  // the window's sums
};

}  // namespace orv::encoder

#endif
