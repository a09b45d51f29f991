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
  }
  const uint32_t groups = (n_ - vlkdec::raw_coefficient_count + 7) / 8;
  group_bits_.resize(groups);
  plan_cost_.resize(groups + 1);
  plan_groups_.resize(groups);
  plan_width_.resize(groups);
  for (auto& code : codes_) {
    code.indices.resize(band_count_);
    code.magnitudes.resize(n_);
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
    const double attack = std::pow(10.0, -model_.attack_protection_db(x) / 10);
    for (unsigned b = 0; b < band_count_; ++b) threshold[b] *= attack;
  }
}

void BlockEncoder::quantise_channel(const BlockAnalysis& block, unsigned c,
                                    const QuantSetting& setting,
                                    ChannelCode& code) {
  const double* a = block.coeffs.data() + static_cast<size_t>(c) * n_;
  const double* threshold = block.threshold.data() + size_t{c} * band_count_;
  code.float0 = vlkdec::encode_float29(a[0]);
  code.float1 = vlkdec::encode_float29(a[1]);
  const double gain = std::pow(10.0, -setting.mask_offset_db / 10.0);
  // The finest setting keeps plain rounding: it is there for accuracy.
  const double bias = setting.finest ? 0.5 : rounding_bias;

  for (unsigned b = 0; b < band_count_; ++b) {
    const uint32_t lo = 2 * band_edges_[b];
    const uint32_t hi = 2 * band_edges_[b + 1];
    // Only coefficients below the cut-off are coded.
    const uint32_t coded = std::clamp(setting.cutoff, lo, hi);
    double energy = 0.0, peak = 0.0;
    for (uint32_t k = lo; k < coded; ++k) {
      energy += a[k] * a[k];
      peak = std::max(peak, std::fabs(a[k]));
    }
    // Finest step at which the band's largest magnitude still fits.
    unsigned min_index = 0;
    while (min_index + 1 < vlkdec::quantiser_count &&
           std::nearbyint(peak / steps_[min_index]) > max_magnitude) {
      ++min_index;
    }
    // Noise of the band's coded part at quantiser `i`.
    auto noise = [&](unsigned i) {
      const double step = steps_[i];
      double sum = 0.0;
      for (uint32_t k = lo; k < coded; ++k) {
        const double m = std::fabs(a[k]);
        const double d = m - step * std::floor(m / step + bias);
        sum += d * d;
      }
      return sum;
    };
    unsigned index = min_index;
    const double allowed = threshold[b] * gain;
    if (setting.finest || coded == lo) {
      index = coded == lo ? vlkdec::quantiser_count - 1 : min_index;
    } else if (energy <= allowed) {
      index =
          vlkdec::quantiser_count - 1;  // the whole band is masked: all zero
    } else {
      // Start where uniform noise of step^2 / 12 per coefficient would
      // meet the allowance, then move to the coarsest step that keeps the
      // measured noise under it.
      const double width = coded - lo;
      const double guess = std::floor(
          std::log10(std::sqrt(12.0 * allowed / width)) / step_log10);
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
    const double step = steps_[index];
    for (uint32_t k = lo; k < coded; ++k) {
      const double m = std::floor(std::fabs(a[k]) / step + bias);
      code.magnitudes[k] = static_cast<uint16_t>(m);
      code.negative[k] = a[k] < 0.0 ? 1 : 0;
    }
    for (uint32_t k = coded; k < hi; ++k) code.magnitudes[k] = 0;
  }
  plan_runs(code);
}

// Chooses run lengths and widths that minimise the bits of the runs, by
// dynamic programming over groups of 8 coefficients from the end. A run's
// cost is its header plus width bits per coefficient; sign bits do not
// depend on the choice and are added once.
void BlockEncoder::plan_runs(ChannelCode& code) {
  const uint32_t groups = static_cast<uint32_t>(group_bits_.size());
  uint64_t sign_bits = 0;
  for (uint32_t g = 0; g < groups; ++g) {
    const uint32_t lo = vlkdec::raw_coefficient_count + 8 * g,
                   hi = std::min(lo + 8, n_);
    uint32_t peak = 0;
    for (uint32_t k = lo; k < hi; ++k) {
      peak = std::max<uint32_t>(peak, code.magnitudes[k]);
      sign_bits += code.magnitudes[k] != 0;
    }
    group_bits_[g] = static_cast<uint8_t>(bits_for(peak));
  }
  plan_cost_[groups] = 0;
  for (uint32_t t = groups; t-- > 0;) {
    uint64_t best = std::numeric_limits<uint64_t>::max();
    unsigned width = 0;
    uint32_t covered = 0;  // groups from t whose widths are in `width`
    for (size_t o = 0; o < run_option_count; ++o) {
      const uint32_t option = run_groups_of_option(o);
      const uint32_t end = std::min(t + option, groups);
      while (t + covered < end) {
        width = std::max<unsigned>(width, group_bits_[t + covered]);
        ++covered;
      }
      const uint32_t first = vlkdec::raw_coefficient_count + 8 * t;
      const uint32_t count =
          std::min(vlkdec::raw_coefficient_count + 8 * end, n_) - first;
      const uint64_t header = vlkdec::run_flag_bits +
                              (option > 1 ? vlkdec::run_index_bits : 0) +
                              vlkdec::run_width_bits;
      const uint64_t cost = header + uint64_t{count} * width + plan_cost_[end];
      if (cost < best) {
        best = cost;
        plan_groups_[t] = static_cast<uint8_t>(option);
        plan_width_[t] = static_cast<uint8_t>(width);
      }
      if (end == groups) break;  // longer runs are cut to the same end
    }
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
              plan_cost_[0] + sign_bits;
}

uint64_t BlockEncoder::payload_bits(const BlockAnalysis& block,
                                    const QuantSetting& setting) {
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
      for (; k < end; ++k) {
        writer.put(code.magnitudes[k], width);
        if (code.magnitudes[k] != 0) {
          writer.put(code.negative[k], vlkdec::sign_bits);
        }
      }
    }
    k = end;
  }
}

void BlockEncoder::write_payload(const BlockAnalysis& block,
                                 const QuantSetting& setting,
                                 std::vector<uint8_t>& out) {
  BitWriter writer(out);
  for (unsigned first = 0; first < channels_; first += 2) {
    const unsigned last = std::min(first + 2, channels_);
    writer.put(0, vlkdec::sub_block_skip_bits);
    for (unsigned c = first; c < last; ++c) {
      quantise_channel(block, c, setting, codes_[c]);
      write_channel(codes_[c], writer);
    }
    writer.align_to_word();
  }
}

}  // namespace orv::encoder
