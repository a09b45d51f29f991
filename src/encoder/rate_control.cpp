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
// with the ratio of its two outermost points on that side, kept within
// these bounds of the measured sizes.
constexpr double extrapolation_span = 8.0;

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
    : target_(target_bits), lookahead_(std::max<size_t>(lookahead, 1)) {}

std::pair<size_t, size_t> RateController::tabulation_range() const {
  if (window_.empty()) return {0, rate_grid_points - 1};
  // The two grid points around the offset the window would get now.
  const double at = (next_offset() - rate_grid_min_db) / rate_grid_step_db;
  const size_t below =
      std::min(static_cast<size_t>(std::max(at, 0.0)), rate_grid_points - 2);
  return {below, below + 1};
}

void RateController::push(size_t first, const std::vector<uint64_t>& bits) {
  Sizes sizes{};
  const size_t last = first + bits.size() - 1;
  for (size_t i = 0; i < bits.size(); ++i) {
    sizes[first + i] = std::max(1.0, double(bits[i]));
  }
  const double smallest = sizes[first] / extrapolation_span;
  const double largest = sizes[last] * extrapolation_span;
  const double down = sizes[first] / sizes[first + 1];  // per coarser step
  for (size_t i = first; i-- > 0;) {
    sizes[i] = std::clamp(sizes[i + 1] * down, smallest, largest);
  }
  const double up = sizes[last] / sizes[last - 1];  // per finer step
  for (size_t i = last + 1; i < rate_grid_points; ++i) {
    sizes[i] = std::clamp(sizes[i - 1] * up, smallest, largest);
  }
  for (size_t i = 0; i < rate_grid_points; ++i) window_bits_[i] += sizes[i];
  window_.push_back(sizes);
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

void RateController::spent(uint64_t bits) {
  for (size_t i = 0; i < rate_grid_points; ++i) {
    window_bits_[i] -= window_.front()[i];
  }
  window_.pop_front();
  const double cap = reservoir_windows * double(lookahead_) * target_;
  reservoir_ = std::clamp(reservoir_ + target_ - double(bits), -cap, cap);
}

}  // namespace orv::encoder
