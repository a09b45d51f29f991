// Average bit rate control: one trade-off (the masking offset) for a window
// of blocks ahead, found by bisection against their bit counts, plus a
// reservoir that carries the bits saved or overspent so far.
#ifndef ORV_ENCODER_RATE_CONTROL_H
#define ORV_ENCODER_RATE_CONTROL_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace orv::encoder {

// Masking offsets (dB) at which a block's size is tabulated, ascending.
const std::vector<double>& rate_offset_grid();

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

  // Grid points [first, last] worth tabulating for the next block: all of
  // them while the window is empty, else those within a few steps of the
  // offset the window would get now (the offset moves slowly).
  std::pair<size_t, size_t> tabulation_range() const;
  // Appends the next block: its bits at the grid offsets from `first` on.
  void push(size_t first, std::vector<uint64_t> bits);
  bool full() const { return window_.size() >= lookahead_; }
  bool empty() const { return window_.empty(); }

  // Offset for the oldest pushed block: the finest that keeps the window
  // within its share of the bits, the reservoir included.
  double next_offset() const;
  // The oldest block took `bits`; it leaves the window.
  void spent(uint64_t bits);

 private:
  double target_;
  size_t lookahead_;
  double reservoir_ = 0.0;  // bits below the target so far (may be < 0)
  struct Table {
    size_t first;  // grid index of bits[0]
    std::vector<uint64_t> bits;
  };
  // Bits of a block at `offset`, interpolated (constant beyond its table).
  static double bits_at(const Table& table, double offset);
  std::deque<Table> window_;
};

}  // namespace orv::encoder

#endif
