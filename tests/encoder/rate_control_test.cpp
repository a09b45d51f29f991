// The bit-rate controller against blocks whose sizes follow a known law:
// size = base * exp(growth * grid index).
#include "encoder/rate_control.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace orv::test {
namespace {

using encoder::rate_grid_offset;
using encoder::rate_grid_points;
using encoder::RateController;

constexpr double true_growth = 0.3;

double block_bits(double base, double offset) {
  const double index =
      (offset - encoder::rate_grid_min_db) / encoder::rate_grid_step_db;
  return base * std::exp(true_growth * index);
}

struct Coded {
  double mean_bits;
  std::vector<double> offsets;  // per coded block
};

// Codes `bases` (one per block) through a controller aiming at `target`.
Coded code_blocks(const std::vector<double>& bases, double target,
                  size_t lookahead, RateController* keep = nullptr) {
  RateController local(target, lookahead);
  RateController& rc = keep ? *keep : local;
  Coded result{0.0, {}};
  size_t next_coded = 0;
  auto code_oldest = [&] {
    const double offset = rc.next_offset();
    const double bits = std::round(block_bits(bases[next_coded++], offset));
    result.mean_bits += bits;
    result.offsets.push_back(offset);
    rc.spent(static_cast<uint64_t>(bits), offset);
  };
  for (double base : bases) {
    const auto [first, last] = rc.tabulation_range();
    std::vector<uint64_t> bits;
    for (size_t i = first; i <= last; ++i) {
      bits.push_back(static_cast<uint64_t>(
          std::round(block_bits(base, rate_grid_offset(i)))));
    }
    rc.push(first, bits);
    if (rc.full()) code_oldest();
  }
  while (!rc.empty()) code_oldest();
  result.mean_bits /= double(bases.size());
  return result;
}

TEST(RateController, MeetsTheTargetOverLoudAndQuietStretches) {
  struct Case {
    double loud, quiet, target;
  };
  for (const Case c :
       {Case{400, 100, 3000}, Case{50, 400, 8000}, Case{1000, 1000, 20000}}) {
    std::vector<double> bases(400, c.loud);
    bases.insert(bases.end(), 400, c.quiet);
    RateController rc(c.target, 30);
    const Coded r = code_blocks(bases, c.target, 30, &rc);
    EXPECT_NEAR(r.mean_bits, c.target, 0.02 * c.target);
    // One trade-off per stretch, once the window sees only that stretch,
    // and the harder stretch gets the coarser one.
    EXPECT_NEAR(r.offsets[300], r.offsets[360], 0.5);
    EXPECT_NEAR(r.offsets[700], r.offsets[760], 0.5);
    if (c.loud != c.quiet) {
      EXPECT_EQ(c.loud > c.quiet, r.offsets[360] < r.offsets[760]);
      // Blocks coded between grid points teach the controller the growth.
      EXPECT_NEAR(rc.growth(), true_growth, 0.03);
    }
  }
}

TEST(RateController, StaysOnTheGridWhenNoOffsetMeetsTheBudget) {
  const double finest = rate_grid_offset(rate_grid_points - 1);
  const double coarsest = rate_grid_offset(0);
  // Every offset within the budget: the finest; none: the coarsest.
  EXPECT_EQ(code_blocks(std::vector<double>(50, 1.0), 1e9, 10).offsets.back(),
            finest);
  EXPECT_EQ(code_blocks(std::vector<double>(50, 1e6), 1.0, 10).offsets.front(),
            coarsest);
}

TEST(RateController, MeasuresEveryGridPointFirstThenOneNearTheOffset) {
  RateController rc(1000.0, 4);
  EXPECT_EQ(rc.tabulation_range(),
            std::make_pair(size_t{0}, rate_grid_points - 1));
  std::vector<uint64_t> bits;
  for (size_t i = 0; i < rate_grid_points; ++i) {
    bits.push_back(static_cast<uint64_t>(block_bits(100, rate_grid_offset(i))));
  }
  rc.push(0, bits);
  const auto [first, last] = rc.tabulation_range();
  EXPECT_EQ(first, last);
  EXPECT_NEAR(rate_grid_offset(first), rc.next_offset(),
              encoder::rate_grid_step_db / 2);
}

}  // namespace
}  // namespace orv::test
