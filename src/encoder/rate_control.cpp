#include "encoder/rate_control.h"

#include <algorithm>
#include <cmath>

namespace orv::encoder {

namespace {

constexpr double grid_min_db = -36.0;
constexpr double grid_step_db = 3.0;
constexpr int grid_points = 27;  // up to +42 dB
// Savings beyond this many windows' worth are not carried forward: bits
// that silence could not use should not flood the music after it.
constexpr double reservoir_windows = 1.0;
// Quality 50 (the default) keeps the noise this far under the threshold;
// every quality step moves it by the slope.
constexpr double default_quality_offset_db = 2.0;
constexpr double quality_offset_slope_db = 0.3;

// Grid points tabulated on each side of the current offset.
constexpr size_t tabulation_reach = 4;

}  // namespace

const std::vector<double>& rate_offset_grid() {
  static const std::vector<double> grid = [] {
    std::vector<double> g;
    for (int i = 0; i < grid_points; ++i) {
      g.push_back(grid_min_db + grid_step_db * i);
    }
    return g;
  }();
  return grid;
}

double cutoff_hz_for_rate(double kbps_per_channel) {
  // 12 kHz at 64 kbit/s per channel, 15 kHz at 96, and so on (measured:
  // narrower cuts cost dense music more than they give sparse music).
  return 12000.0 + (kbps_per_channel - 64.0) * (3000.0 / 32.0);
}

double mask_offset_for_quality(int quality) {
  return default_quality_offset_db +
         quality_offset_slope_db * (std::clamp(quality, 0, 100) - 50);
}

double cutoff_hz_for_quality(int quality) {
  return 11000.0 + 130.0 * std::clamp(quality, 0, 100);
}

RateController::RateController(double target_bits, size_t lookahead)
    : target_(target_bits), lookahead_(std::max<size_t>(lookahead, 1)) {}

double RateController::bits_at(const Table& table, double offset) {
  const double t = (offset - grid_min_db) / grid_step_db - double(table.first);
  const double last = double(table.bits.size() - 1);
  if (t <= 0.0) return double(table.bits.front());
  if (t >= last) return double(table.bits.back());
  const double i = std::floor(t);
  const size_t lo = static_cast<size_t>(i);
  const double f = t - i;
  return (1.0 - f) * double(table.bits[lo]) + f * double(table.bits[lo + 1]);
}

std::pair<size_t, size_t> RateController::tabulation_range() const {
  if (window_.empty()) return {0, grid_points - 1};
  const double centre =
      std::round((next_offset() - grid_min_db) / grid_step_db);
  const size_t c = static_cast<size_t>(centre);
  return {c > tabulation_reach ? c - tabulation_reach : 0,
          std::min<size_t>(c + tabulation_reach, grid_points - 1)};
}

void RateController::push(size_t first, std::vector<uint64_t> bits) {
  window_.push_back(Table{first, std::move(bits)});
}

double RateController::next_offset() const {
  const double budget = target_ * double(window_.size()) + reservoir_;
  auto total = [&](double offset) {
    double sum = 0.0;
    for (const auto& table : window_) sum += bits_at(table, offset);
    return sum;
  };
  // Search where every table of the window is known (where they do not
  // overlap, in the newest one's).
  size_t first = 0, last = grid_points - 1;
  for (const auto& table : window_) {
    first = std::max(first, table.first);
    last = std::min(last, table.first + table.bits.size() - 1);
  }
  if (first >= last) {
    first = window_.back().first;
    last = first + window_.back().bits.size() - 1;
  }
  const auto& grid = rate_offset_grid();
  double lo = grid[first], hi = grid[last];
  if (total(hi) <= budget) return hi;
  if (total(lo) > budget) return lo;
  for (int i = 0; i < 24; ++i) {
    const double mid = 0.5 * (lo + hi);
    (total(mid) <= budget ? lo : hi) = mid;
  }
  return lo;
}

void RateController::spent(uint64_t bits) {
  window_.pop_front();
  const double cap = reservoir_windows * double(lookahead_) * target_;
  reservoir_ = std::clamp(reservoir_ + target_ - double(bits), -cap, cap);
}

}  // namespace orv::encoder
