#include "encoder/rate_control.h"

#include <algorithm>
#include <cmath>

namespace orv::encoder {

namespace {

// Savings beyond this many windows' worth are not carried forward: bits
// that silence could not use should not flood the music after it.
constexpr double reservoir_windows = 1.0;
// Quality 50 (the default) keeps the noise this far under the threshold;
// every quality step moves it by the slope. Measured on nine excerpts
// (mean kbit/s, mean ODG, worst ODG): 0 dB 237, -0.47, -1.01; 1 dB 246,
// -0.41, -0.89; 2 dB 256, -0.37, -0.86. Dense music takes the most (about
// 350 kbit/s), so 1 dB keeps room under 256 kbit/s on average.
constexpr double default_quality_offset_db = 1.0;
constexpr double quality_offset_slope_db = 0.3;
// Bandwidth in constant-quality mode: the base plus the slope per quality
// step (17.5 kHz at the default quality).
constexpr double quality_cutoff_base_hz = 11000.0;
constexpr double quality_cutoff_slope_hz = 130.0;
// Bit-rate mode: the bandwidth at 64 kbit/s per channel, and its slope per
// kbit/s (12 kHz at 64, 15 kHz at 96; measured: narrower cuts cost dense
// music more than they give sparse music).
constexpr double rate_cutoff_base_hz = 12000.0;
constexpr double rate_cutoff_base_kbps = 64.0;
constexpr double rate_cutoff_slope_hz = 3000.0 / 32.0;

// Beyond its measured points a block's size is extrapolated geometrically
// with the learnt growth per step, kept within these bounds of the
// measured sizes.
constexpr double extrapolation_span = 8.0;
// The growth (natural log of the size ratio per grid step): where it
// starts, its largest value, how fast each coded block moves it, and how
// far (in grid steps) a block must be coded from where it was measured to
// count.
constexpr double initial_growth = 0.2;
constexpr double max_growth = 1.0;
constexpr double growth_rate = 0.05;
constexpr double growth_min_steps = 0.2;

}  // namespace

double cutoff_hz_for_rate(double kbps_per_channel) {
  return rate_cutoff_base_hz +
         (kbps_per_channel - rate_cutoff_base_kbps) * rate_cutoff_slope_hz;
}

double mask_offset_for_quality(int quality) {
  return default_quality_offset_db +
         quality_offset_slope_db * (std::clamp(quality, 0, 100) - 50);
}

double cutoff_hz_for_quality(int quality) {
  return quality_cutoff_base_hz +
         quality_cutoff_slope_hz * std::clamp(quality, 0, 100);
}

RateController::RateController(double target_bits, size_t lookahead)
    : target_(target_bits),
      lookahead_(std::max<size_t>(lookahead, 1)),
      growth_(initial_growth) {}

std::pair<size_t, size_t> RateController::tabulation_range() const {
  if (window_.empty()) return {0, rate_grid_points - 1};
  const double at =
      std::round((next_offset() - rate_grid_min_db) / rate_grid_step_db);
  const auto nearest =
      static_cast<size_t>(std::clamp(at, 0.0, double(rate_grid_points - 1)));
  return {nearest, nearest};
}

void RateController::push(size_t first, const std::vector<uint64_t>& bits) {
  Block block{};
  Sizes& sizes = block.sizes;
  const size_t last = first + bits.size() - 1;
  for (size_t i = 0; i < bits.size(); ++i) {
    sizes[first + i] = std::max(1.0, double(bits[i]));
  }
  block.measured = (first + last) / 2;
  // Beyond the measured points: geometric, with the learnt growth.
  const double smallest = sizes[first] / extrapolation_span;
  const double largest = sizes[last] * extrapolation_span;
  const double step = std::exp(growth_);
  for (size_t i = first; i-- > 0;) {
    sizes[i] = std::clamp(sizes[i + 1] / step, smallest, largest);
  }
  for (size_t i = last + 1; i < rate_grid_points; ++i) {
    sizes[i] = std::clamp(sizes[i - 1] * step, smallest, largest);
  }
  for (size_t i = 0; i < rate_grid_points; ++i) window_bits_[i] += sizes[i];
  window_.push_back(block);
}

double RateController::next_offset() const {
  const double budget = target_ * double(window_.size()) + reservoir_;
  // Finer offsets cost more bits. The finest grid point within the budget
  // and the next one bracket the answer; between them the window's bits
  // are taken as linear in the offset.
  size_t i = rate_grid_points - 1;
  if (window_bits_[i] <= budget) return rate_grid_offset(i);
  while (i > 0 && window_bits_[i] > budget) --i;
  if (window_bits_[i] > budget) return rate_grid_offset(0);
  const double f =
      (budget - window_bits_[i]) / (window_bits_[i + 1] - window_bits_[i]);
  return rate_grid_offset(i) + f * rate_grid_step_db;
}

void RateController::spent(uint64_t bits, double offset) {
  const Block& oldest = window_.front();
  const double steps =
      (offset - rate_grid_offset(oldest.measured)) / rate_grid_step_db;
  if (std::fabs(steps) >= growth_min_steps && bits > 0) {
    const double sample =
        std::log(double(bits) / oldest.sizes[oldest.measured]) / steps;
    growth_ += growth_rate * (std::clamp(sample, 0.0, max_growth) - growth_);
  }
  for (size_t i = 0; i < rate_grid_points; ++i) {
    window_bits_[i] -= oldest.sizes[i];
  }
  window_.pop_front();
  const double cap = reservoir_windows * double(lookahead_) * target_;
  reservoir_ = std::clamp(reservoir_ + target_ - double(bits), -cap, cap);
}

}  // namespace orv::encoder
