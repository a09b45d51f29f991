#include "encoder/block_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "encoder/bit_writer.h"
#include "format/bands.h"
#include "format/coding.h"
#include "format/frame.h"

namespace orv::encoder {

namespace {

constexpr uint32_t max_magnitude = (1u << vlkdec::max_magnitude_bits) - 1;
// log10 of the ratio between neighbouring quantiser steps.
constexpr double step_log10 = 0.0664;
// A magnitude is rounded up only from 1 - rounding_bias of a step rather
// than from a half: a little more noise per band, but fewer non-zero
// coefficients and narrower runs, so the rate control affords finer steps
// (measured: a better grade at every rate than plain rounding; 0.42 was the
// best of 0.3 to 0.5, and biasing only the rounding to zero did less).
constexpr double rounding_bias = 0.42;

// Run lengths in groups of 8 coefficients, ascending: 1 is the run whose
// flag is 0, option r + 1 the run selected by run index r.
constexpr size_t run_option_count = 17;
uint32_t run_groups_of_option(size_t option) {
  return option == 0 ? 1 : vlkdec::run_length_table[option - 1];
}

unsigned run_index_for_groups(uint32_t groups) {
  for (unsigned r = 0; r + 1 < run_option_count; ++r) {
    if (vlkdec::run_length_table[r] == groups) return r;
  }
  return 0;  // not reached: only the options' lengths are planned
}

// A run's header: the flag, the run index unless the run is one group, and
// the width.
constexpr uint32_t run_header_bits(uint32_t groups) {
  return vlkdec::run_flag_bits + (groups > 1 ? vlkdec::run_index_bits : 0) +
         vlkdec::run_width_bits;
}
// Any stretch of up to 63 groups is covered by at most three runs (one of
// up to 32 or 64 groups, then two of up to 16).
constexpr uint32_t max_cover_header_bits = 3 * run_header_bits(2);

// How much wider than option o's run a longer run must be to lose to it
// for certain (see plan_runs): the bits of max_cover_header_bits plus one,
// less the header bits the longer run's full header adds, spread over the
// option's coefficients. Where the option's run is cut short by the end no
// longer option follows.
unsigned prune_widening(size_t option) {
  static const auto table = [] {
    std::array<unsigned, run_option_count> t{};
    for (size_t o = 0; o < run_option_count; ++o) {
      const uint32_t groups = run_groups_of_option(o);
      const uint32_t margin = max_cover_header_bits + 1 -
                              (run_header_bits(2) - run_header_bits(groups));
      t[o] = (margin + 8 * groups - 1) / (8 * groups);
    }
    return t;
  }();
  return table[option];
}

unsigned bits_for(uint32_t magnitude) {
  return static_cast<unsigned>(std::bit_width(magnitude));
}

// Entry j is the start of band j in coefficient pairs; the last is n / 2.
std::vector<uint32_t> band_edge_list(unsigned sample_rate) {
  const vlkdec::BandEdges bands = vlkdec::band_edges_for_rate(sample_rate);
  return {bands.edges, bands.edges + bands.count + 1};
}

}  // namespace

BlockEncoder::BlockEncoder(unsigned channels, unsigned sample_rate)
    : channels_(channels),
      sample_rate_(sample_rate),
      n_(vlkdec::frame_length_for_rate(sample_rate)),
      band_edges_(band_edge_list(sample_rate)),
      dct_(n_),
      model_(n_, sample_rate, band_edges_),
      previous_threshold_(channels),
      codes_(channels) {
  band_count_ = static_cast<unsigned>(band_edges_.size() - 1);
  for (unsigned i = 0; i < vlkdec::quantiser_count; ++i) {
    steps_.push_back(vlkdec::quantiser_table[i]);
    inverse_steps_.push_back(1.0 / steps_.back());
  }
  const uint32_t groups = (n_ - vlkdec::raw_coefficient_count + 7) / 8;
  group_bits_.resize(groups);
  plan_cost_.resize(groups + 1);
  plan_groups_.resize(groups + 1);
  plan_width_.resize(groups + 1);
  zero_cost_.assign(groups + 1, 0);
  zero_groups_.assign(groups + 1, 0);
  for (uint32_t m = 1; m <= groups; ++m) {
    zero_cost_[m] = std::numeric_limits<uint32_t>::max();
    for (size_t o = 0; o < run_option_count; ++o) {
      const uint32_t option = run_groups_of_option(o);
      const uint32_t cost =
          run_header_bits(option) + zero_cost_[m - std::min(option, m)];
      if (cost < zero_cost_[m]) {
        zero_cost_[m] = cost;
        zero_groups_[m] = static_cast<uint8_t>(option);
      }
      if (option >= m) break;
    }
  }
  for (auto& code : codes_) {
    code.indices.resize(band_count_);
    // Whole groups of 8 from the first quantised coefficient on; the padding
    // stays zero.
    code.magnitudes.resize(vlkdec::raw_coefficient_count + 8 * size_t{groups});
    code.negative.resize(n_);
  }
}

void BlockEncoder::analyse(const float* planar, BlockAnalysis& out) {
  out.coeffs.resize(static_cast<size_t>(channels_) * n_);
  out.threshold.resize(static_cast<size_t>(channels_) * band_count_);
  for (unsigned c = 0; c < channels_; ++c) {
    const float* x = planar + static_cast<size_t>(c) * n_;
    double* a = out.coeffs.data() + static_cast<size_t>(c) * n_;
    dct_.transform(x, a);
    double* threshold = out.threshold.data() + size_t{c} * band_count_;
    model_.masking_threshold(x, a, previous_threshold_[c], threshold);
    model_.protect_onsets(x, threshold);
  }
}

void BlockEncoder::quantise_channel(const BlockAnalysis& block, unsigned c,
                                    const QuantSetting& setting,
                                    ChannelCode& code) {
  const double* a = block.coeffs.data() + static_cast<size_t>(c) * n_;
  const double* threshold = block.threshold.data() + size_t{c} * band_count_;
  double* measured =
      block.noise.data() + size_t{c} * band_count_ * vlkdec::quantiser_count;
  code.float0 = vlkdec::encode_float29(a[0]);
  code.float1 = vlkdec::encode_float29(a[1]);
  const double gain = std::pow(10.0, -setting.mask_offset_db / 10.0);
  // The finest setting keeps plain rounding: it is there for accuracy.
  const double bias = setting.finest ? 0.5 : rounding_bias;
  uint32_t nonzero = 0;

  for (unsigned b = 0; b < band_count_;
       ++b, measured += vlkdec::quantiser_count) {
    const uint32_t lo = 2 * band_edges_[b];
    const uint32_t hi = 2 * band_edges_[b + 1];
    // Only coefficients below the cut-off are coded.
    const uint32_t coded = std::clamp(setting.cutoff, lo, hi);
    const BandStats& stats = block.bands[size_t{c} * band_count_ + b];
    const unsigned min_index = stats.min_index;
    // Noise of the band's coded part at quantiser `i`, measured once per
    // block. Magnitudes stay within 15 bits from min_index on, so the
    // truncation is a floor.
    auto noise = [&](unsigned i) {
      if (measured[i] >= 0.0) return measured[i];
      const double step = steps_[i], inverse = inverse_steps_[i];
      double sum = 0.0;
      for (uint32_t k = lo; k < coded; ++k) {
        const double m = std::fabs(a[k]);
        const double d = m - step * static_cast<int32_t>(m * inverse + bias);
        sum += d * d;
      }
      return measured[i] = sum;
    };
    unsigned index = min_index;
    const double allowed = threshold[b] * gain;
    if (setting.finest || coded == lo) {
      index = coded == lo ? vlkdec::quantiser_count - 1 : min_index;
    } else if (stats.energy <= allowed) {
      index =
          vlkdec::quantiser_count - 1;  // the whole band is masked: all zero
    } else {
      // Start where uniform noise of step^2 / 12 per coefficient would
      // meet the allowance, then move to the coarsest step that keeps the
      // measured noise under it.
      const double guess = std::floor(
          0.5 * (stats.log_allowance - setting.mask_offset_db / 10.0) /
          step_log10);
      index = static_cast<unsigned>(std::clamp(
          guess, double(min_index), double(vlkdec::quantiser_count - 1)));
      if (noise(index) <= allowed) {
        while (index + 1 < vlkdec::quantiser_count &&
               noise(index + 1) <= allowed) {
          ++index;
        }
      } else {
        while (index > min_index && noise(index) > allowed) --index;
      }
    }
    index = std::min(index + setting.index_offset, vlkdec::quantiser_count - 1);
    code.indices[b] = static_cast<uint8_t>(index);
    const double inverse = inverse_steps_[index];
    for (uint32_t k = lo; k < coded; ++k) {
      const auto m = static_cast<uint16_t>(std::fabs(a[k]) * inverse + bias);
      code.magnitudes[k] = m;
      code.negative[k] = a[k] < 0.0 ? 1 : 0;
      nonzero += m != 0;
    }
    for (uint32_t k = coded; k < hi; ++k) code.magnitudes[k] = 0;
  }
  code.nonzero = nonzero;
  plan_runs(code);
}

void BlockEncoder::measure_bands(const BlockAnalysis& block,
                                 uint32_t cutoff) const {
  block.noise.assign(size_t{channels_} * band_count_ * vlkdec::quantiser_count,
                     -1.0);
  block.noise_cutoff = cutoff;
  block.bands.resize(size_t{channels_} * band_count_);
  for (unsigned c = 0; c < channels_; ++c) {
    const double* a = block.coeffs.data() + static_cast<size_t>(c) * n_;
    for (unsigned b = 0; b < band_count_; ++b) {
      const uint32_t lo = 2 * band_edges_[b];
      const uint32_t coded = std::clamp(cutoff, lo, 2 * band_edges_[b + 1]);
      double energy = 0.0, peak = 0.0;
      for (uint32_t k = lo; k < coded; ++k) {
        energy += a[k] * a[k];
        peak = std::max(peak, std::fabs(a[k]));
      }
      // Finest step at which the band's largest magnitude still fits, with
      // the largest rounding bias and the same arithmetic as quantise_channel.
      unsigned min_index = 0;
      while (min_index + 1 < vlkdec::quantiser_count &&
             peak * inverse_steps_[min_index] + 0.5 >= max_magnitude + 1.0) {
        ++min_index;
      }
      // log10 of 12 / width times the threshold: the uniform noise of a
      // step s is s^2 / 12 per coefficient.
      const double* threshold =
          block.threshold.data() + size_t{c} * band_count_;
      const double log_allowance =
          coded > lo ? std::log10(12.0 * threshold[b] / (coded - lo)) : 0.0;
      block.bands[size_t{c} * band_count_ + b] = {energy, min_index,
                                                  log_allowance};
    }
  }
}

// Chooses run lengths and widths that minimise the bits of the runs, by
// dynamic programming over groups of 8 coefficients from the end. A run's
// cost is its header plus width bits per coefficient; sign bits do not
// depend on the choice and are added once. Past the last non-zero group the
// cheapest cover is the same for every block and comes from a table.
void BlockEncoder::plan_runs(ChannelCode& code) {
  const uint32_t groups = static_cast<uint32_t>(group_bits_.size());
  uint32_t zero_from = 0;  // groups from here on are all zero
  // A group's width is that of its largest magnitude, which is that of
  // all of them or-ed; the last group reads zeros past the end.
  const uint16_t* m = code.magnitudes.data() + vlkdec::raw_coefficient_count;
  for (uint32_t g = 0; g < groups; ++g, m += 8) {
    const uint32_t all = m[0] | m[1] | m[2] | m[3] | m[4] | m[5] | m[6] | m[7];
    group_bits_[g] = static_cast<uint8_t>(bits_for(all));
    if (all != 0) zero_from = g + 1;
  }
  for (uint32_t t = zero_from; t <= groups; ++t) {
    plan_cost_[t] = zero_cost_[groups - t];
    plan_groups_[t] = zero_groups_[groups - t];
    plan_width_[t] = 0;
  }
  for (uint32_t t = zero_from; t-- > 0;) {
    uint32_t best = std::numeric_limits<uint32_t>::max();
    unsigned width = 0;
    uint32_t covered = t;  // groups before this one are in `width`
    const uint32_t first = vlkdec::raw_coefficient_count + 8 * t;
    // Pruning: a run over groups [t, t + L) at width W loses to a shorter
    // option L' < L at width W' once (W - W') * (coefficients of the
    // shorter run) exceeds max_cover_header_bits less the header difference:
    // the shorter run, then at most three runs no wider than W over the
    // rest, cost no more. Longer runs only grow wider, so the search stops
    // at the first width that reaches `widest`.
    unsigned widest = std::numeric_limits<unsigned>::max();
    uint32_t chosen_groups = 0, chosen_width = 0;
    for (size_t o = 0; o < run_option_count; ++o) {
      const uint32_t option = run_groups_of_option(o);
      const uint32_t end = std::min(t + option, groups);
      for (; covered < end; ++covered) {
        width = std::max<unsigned>(width, group_bits_[covered]);
      }
      if (width >= widest) break;
      const uint32_t count =
          std::min(vlkdec::raw_coefficient_count + 8 * end, n_) - first;
      const uint32_t cost =
          run_header_bits(option) + count * width + plan_cost_[end];
      // Without branches: which option wins is data, not a pattern.
      const bool better = cost < best;
      best = better ? cost : best;
      chosen_groups = better ? option : chosen_groups;
      chosen_width = better ? width : chosen_width;
      widest = std::min(widest, width + prune_widening(o));
      if (end == groups) break;  // longer runs are cut to the same end
    }
    plan_groups_[t] = static_cast<uint8_t>(chosen_groups);
    plan_width_[t] = static_cast<uint8_t>(chosen_width);
    plan_cost_[t] = best;
  }
  code.run_groups.clear();
  code.run_widths.clear();
  for (uint32_t t = 0; t < groups; t += plan_groups_[t]) {
    code.run_groups.push_back(plan_groups_[t]);
    code.run_widths.push_back(plan_width_[t]);
  }
  code.bits = vlkdec::raw_coefficient_count * vlkdec::float29_bits +
              uint64_t{vlkdec::quantiser_index_bits} * band_count_ +
              plan_cost_[0] + code.nonzero * uint64_t{vlkdec::sign_bits};
}

uint64_t BlockEncoder::quantise(const BlockAnalysis& block,
                                const QuantSetting& setting) {
  const size_t cells =
      size_t{channels_} * band_count_ * vlkdec::quantiser_count;
  if (block.noise.size() != cells || block.noise_cutoff != setting.cutoff) {
    measure_bands(block, setting.cutoff);
  }
  uint64_t total = 0;
  for (unsigned first = 0; first < channels_; first += 2) {
    const unsigned last = std::min(first + 2, channels_);
    uint64_t bits = vlkdec::sub_block_skip_bits;
    for (unsigned c = first; c < last; ++c) {
      quantise_channel(block, c, setting, codes_[c]);
      bits += codes_[c].bits;
    }
    total += (bits + 31) / 32 * 32;
  }
  return total;
}

void BlockEncoder::write_channel(const ChannelCode& code,
                                 BitWriter& writer) const {
  writer.put(code.float0, vlkdec::float29_bits);
  writer.put(code.float1, vlkdec::float29_bits);
  for (uint8_t index : code.indices) {
    writer.put(index, vlkdec::quantiser_index_bits);
  }
  uint32_t k = vlkdec::raw_coefficient_count;
  for (size_t r = 0; r < code.run_groups.size(); ++r) {
    const uint32_t groups = code.run_groups[r];
    const unsigned width = code.run_widths[r];
    if (groups == 1) {
      writer.put(0, vlkdec::run_flag_bits);
    } else {
      writer.put(1, vlkdec::run_flag_bits);
      writer.put(run_index_for_groups(groups), vlkdec::run_index_bits);
    }
    writer.put(width, vlkdec::run_width_bits);
    const uint32_t end = std::min(k + 8 * groups, n_);
    if (width > 0) {
      // A magnitude and the sign bit after it (when not zero) as one field.
      for (; k < end; ++k) {
        const uint32_t m = code.magnitudes[k];
        writer.put(m | uint32_t{code.negative[k]} << width,
                   width + (m != 0 ? vlkdec::sign_bits : 0));
      }
    }
    k = end;
  }
}

void BlockEncoder::write_payload(std::vector<uint8_t>& out) const {
  BitWriter writer(out);
  for (unsigned first = 0; first < channels_; first += 2) {
    const unsigned last = std::min(first + 2, channels_);
    writer.put(0, vlkdec::sub_block_skip_bits);
    for (unsigned c = first; c < last; ++c) write_channel(codes_[c], writer);
    writer.align_to_word();
  }
}

}  // namespace orv::encoder
