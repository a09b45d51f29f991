#include "encoder/psychoacoustic.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

#include "format/coding.h"

namespace orv::encoder {

namespace {

// Tonality is judged over at least this many coefficients around a band:
// the low bands hold only a few, too few to tell a tone from noise.
constexpr uint32_t tonality_window = 48;
// Noise stays this many dB under the spread energy of noise-like content,
// and tonal_base_db + the band's Bark value (up to tonal_max_db) under
// tonal content. Measured with objective grades on music and speech, noisy
// bands need more room than the classic figures give them (coarse noise
// there is heard as a change of texture), and tonal ones no more than this.
constexpr double noise_masker_db = 22.0;
constexpr double tonal_base_db = 14.5;
constexpr double tonal_max_db = 24.0;
// Spectral flatness over pairs of windowed coefficients: white noise
// averages about -2.5 dB (each pair's power is exponentially distributed,
// so the flatness is -10 log10(e) times Euler's constant), real noise-like
// content a little lower, a steady tone below -25 dB. Content is taken as
// wholly noise-like down to -4 dB, wholly tonal from -25 dB, and tonality
// rises linearly between.
constexpr double flatness_noise_db = -4.0;
constexpr double flatness_tone_db = -25.0;
// Added to each pair's power so that silence has a finite logarithm (far
// under the power of one least significant bit spread over a block).
constexpr double flatness_power_floor = 1e-3;
// The previous block's threshold still masks this many dB lower.
constexpr double temporal_decay_db = 15.0;
// Onsets: segments of n / 16 samples; only a quiet stretch more than this
// many dB under the block's mean gets protection (the rest of the block and
// backward masking cover shallower dips; measured, smaller margins spent
// bits without a better grade).
constexpr unsigned attack_segments = 16;
constexpr double attack_margin_db = 20.0;
// The bands from this frequency on are also judged on the signal's first
// difference (which rises 6 dB per octave), with a smaller margin: a drum
// hit's upper partials start from near silence even where the bass and
// mids fill the stretch before it, and their noise is heard there first
// (measured on dense drums: -3.21 to -2.59 at 128 kbit/s, -2.41 to -1.51 at
// 192; from 1.1 to 2.7 kHz and margins of 8 to 10 dB within 0.05 of each
// other; no other excerpt worse by more than 0.05).
constexpr double high_onset_hz = 1700.0;
constexpr double high_attack_margin_db = 8.0;
// A segment quieter than this (mean square per sample) counts as this loud:
// below it the input's own rounding noise dominates.
constexpr double attack_floor = 1.0;
// Bands below low_protection_bark are protected this many dB more per Bark
// under it: noise in the bass and lower mids is heard as rumble and
// roughness well before the model predicts (measured: this tilt was worth
// more than any other single setting, most of all on dense music).
constexpr double low_protection_db_per_bark = 1.0;
constexpr double low_protection_bark = 20.0;

// Critical-band rate (Bark) of a frequency: Zwicker's approximation,
// z = 13 atan(0.00076 f) + 3.5 atan((f / 7500)^2).
constexpr double bark_linear_scale = 13.0;
constexpr double bark_linear_per_hz = 0.00076;
constexpr double bark_high_scale = 3.5;
constexpr double bark_high_hz = 7500.0;

double bark(double hz) {
  const double high = hz / bark_high_hz;
  return bark_linear_scale * std::atan(bark_linear_per_hz * hz) +
         bark_high_scale * std::atan(high * high);
}

// Threshold in quiet of a tone at f kHz, dB SPL (Terhardt's curve):
// 3.64 f^-0.8 - 6.5 exp(-0.6 (f - 3.3)^2) + 0.001 f^4, from 20 Hz up.
constexpr double quiet_low_db = 3.64;
constexpr double quiet_low_exponent = -0.8;
constexpr double quiet_dip_db = 6.5;
constexpr double quiet_dip_width = 0.6;
constexpr double quiet_dip_khz = 3.3;
constexpr double quiet_high_db = 1e-3;
constexpr double quiet_lowest_hz = 20.0;

double quiet_threshold_db(double hz) {
  const double khz = std::max(hz, quiet_lowest_hz) / 1000.0;
  const double dip = khz - quiet_dip_khz;
  return quiet_low_db * std::pow(khz, quiet_low_exponent) -
         quiet_dip_db * std::exp(-quiet_dip_width * dip * dip) +
         quiet_high_db * khz * khz * khz * khz;
}

// Spread of a masker at Bark distance dz (maskee minus masker), dB: the
// classic two-slope function 15.81 + 7.5 t - 17.5 sqrt(1 + t^2),
// t = dz + 0.474 (about -25 dB per Bark below the masker, -10 above),
// made twice as steep: the classic slopes let loud bands starve their
// neighbours.
constexpr double spread_base_db = 15.81;
constexpr double spread_slope_db = 7.5;
constexpr double spread_curve_db = 17.5;
constexpr double spread_centre_bark = 0.474;
constexpr double spread_steepening = 2.0;

double spreading_db(double dz) {
  const double t = dz + spread_centre_bark;
  return spread_steepening * (spread_base_db + spread_slope_db * t -
                              spread_curve_db * std::sqrt(1.0 + t * t));
}

double from_db(double db) { return std::pow(10.0, db / 10.0); }

// Natural logarithm of a positive normal number to about 1e-7, several
// times faster than std::log: the exponent, plus log m for the mantissa m
// in [1, 2) from the series 2 (u + u^3/3 + ... + u^11/11), u = (m-1)/(m+1)
// below 1/3. The flatness measure takes one per pair of coefficients.
double fast_log(double x) {
  const auto bits = std::bit_cast<uint64_t>(x);
  const int exponent = static_cast<int>(bits >> 52) - 1023;
  const double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) |
                                         0x3FF0000000000000ull);
  const double u = (m - 1.0) / (m + 1.0), u2 = u * u;
  const double series =
      1.0 + u2 * (1.0 / 3 +
                  u2 * (1.0 / 5 + u2 * (1.0 / 7 + u2 * (1.0 / 9 + u2 / 11))));
  return exponent * std::numbers::ln2 + 2.0 * u * series;
}

}  // namespace

PsychoacousticModel::PsychoacousticModel(uint32_t n, unsigned sample_rate,
                                         const std::vector<uint32_t>& edges)
    : n_(n),
      bands_(static_cast<unsigned>(edges.size() - 1)),
      dct_(n),
      hann_(n),
      windowed_(n),
      spectrum_(n),
      log_prefix_(n / 2 + 1),
      power_prefix_(n / 2 + 1),
      energy_(bands_),
      spread_energy_(bands_) {
  const double hz_per_coefficient = sample_rate / (2.0 * n);
  // Coefficient energy of a full-scale sine (amplitude 32767).
  const double full_scale = n * 32767.0 * 32767.0 / 4.0;
  std::vector<double> centre_bark(bands_);
  for (unsigned b = 0; b < bands_; ++b) {
    lo_.push_back(std::max(vlkdec::raw_coefficient_count, 2 * edges[b]));
    hi_.push_back(2 * edges[b + 1]);
    const double centre = 0.5 * (lo_[b] + hi_[b]) * hz_per_coefficient;
    centre_bark[b] = bark(centre);
    // The band's lowest threshold in quiet over its coefficients.
    double quiet_db = std::numeric_limits<double>::infinity();
    for (uint32_t k = lo_[b]; k < hi_[b]; ++k) {
      quiet_db = std::min(quiet_db,
                          quiet_threshold_db((k + 0.5) * hz_per_coefficient));
    }
    quiet_.push_back(full_scale * from_db(quiet_db - full_scale_spl_db));
    tonal_db_.push_back(std::min(tonal_max_db, tonal_base_db + centre_bark[b]));
    const double low_db = low_protection_db_per_bark *
                          std::max(0.0, low_protection_bark - centre_bark[b]);
    low_boost_.push_back(from_db(-low_db));
  }
  high_onset_band_ = bands_;
  for (unsigned b = bands_; b-- > 0;) {
    if (lo_[b] * hz_per_coefficient >= high_onset_hz) high_onset_band_ = b;
  }
  spread_.resize(size_t{bands_} * bands_);
  for (unsigned i = 0; i < bands_; ++i) {
    for (unsigned j = 0; j < bands_; ++j) {
      spread_[size_t{i} * bands_ + j] =
          from_db(spreading_db(centre_bark[i] - centre_bark[j]));
    }
  }
  for (uint32_t k = 0; k < n; ++k) {
    hann_[k] = static_cast<float>(
        0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (k + 0.5) / n));
  }
}

void PsychoacousticModel::masking_threshold(const float* x, const double* a,
                                            std::vector<double>& previous,
                                            double* threshold) {
  // Band energies of the coded spectrum, spread across bands.
  for (unsigned b = 0; b < bands_; ++b) {
    double e = 0.0;
    for (uint32_t k = lo_[b]; k < hi_[b]; ++k) e += a[k] * a[k];
    energy_[b] = e;
  }
  for (unsigned i = 0; i < bands_; ++i) {
    const double* row = spread_.data() + size_t{i} * bands_;
    double s = 0.0;
    for (unsigned j = 0; j < bands_; ++j) s += row[j] * energy_[j];
    spread_energy_[i] = s;
  }

  // Tonality from the flatness of a windowed spectrum (the block's own
  // spectrum leaks too much for a tone to stand out), in pairs of
  // coefficients so that noise looks flat.
  for (uint32_t k = 0; k < n_; ++k) windowed_[k] = x[k] * hann_[k];
  dct_.transform(windowed_.data(), spectrum_.data());
  const uint32_t pairs = n_ / 2;
  log_prefix_[0] = power_prefix_[0] = 0.0;
  for (uint32_t m = 0; m < pairs; ++m) {
    const double p = spectrum_[2 * m] * spectrum_[2 * m] +
                     spectrum_[2 * m + 1] * spectrum_[2 * m + 1] +
                     flatness_power_floor;
    log_prefix_[m + 1] = log_prefix_[m] + fast_log(p);
    power_prefix_[m + 1] = power_prefix_[m] + p;
  }

  for (unsigned b = 0; b < bands_; ++b) {
    const uint32_t centre = (lo_[b] + hi_[b]) / 4;
    const uint32_t half =
        std::max(tonality_window / 4, (hi_[b] - lo_[b] + 3) / 4);
    const uint32_t first = centre > half ? centre - half : 0;
    const uint32_t last = std::min(pairs, centre + half);
    const double count = last - first;
    const double mean_log = (log_prefix_[last] - log_prefix_[first]) / count;
    const double mean_power =
        (power_prefix_[last] - power_prefix_[first]) / count;
    const double flatness_db =
        10.0 / std::numbers::ln10 * (mean_log - std::log(mean_power));
    const double tonality =
        std::clamp((flatness_db - flatness_noise_db) /
                       (flatness_tone_db - flatness_noise_db),
                   0.0, 1.0);
    const double offset_db =
        tonality * tonal_db_[b] + (1.0 - tonality) * noise_masker_db;
    threshold[b] = spread_energy_[b] * from_db(-offset_db) * low_boost_[b];
  }

  // Post-masking by the block before; the threshold in quiet last.
  const bool has_previous = previous.size() == bands_;
  const double decay = from_db(-temporal_decay_db);
  for (unsigned b = 0; b < bands_; ++b) {
    if (has_previous)
      threshold[b] = std::max(threshold[b], previous[b] * decay);
  }
  previous.assign(threshold, threshold + bands_);
  for (unsigned b = 0; b < bands_; ++b) {
    threshold[b] = std::max(threshold[b], quiet_[b]);
  }
}

void PsychoacousticModel::protect_onsets(const float* x,
                                         double* threshold) const {
  const double whole = attack_protection_db(x, false, attack_margin_db);
  const double high = high_onset_band_ < bands_
                          ? attack_protection_db(x, true, high_attack_margin_db)
                          : 0.0;
  const double whole_gain = from_db(-whole);
  const double high_gain = from_db(-std::max(whole, high));
  for (unsigned b = 0; b < bands_; ++b) {
    threshold[b] *= b < high_onset_band_ ? whole_gain : high_gain;
  }
}

double PsychoacousticModel::attack_protection_db(const float* x,
                                                 bool difference,
                                                 double margin_db) const {
  const uint32_t length = n_ / attack_segments;
  double energy[attack_segments];
  double total = 0.0;
  unsigned loudest = 0;
  for (unsigned s = 0; s < attack_segments; ++s) {
    double e = 0.0;
    for (uint32_t i = s * length; i < (s + 1) * length; ++i) {
      const double v = difference
                           ? (i > 0 ? double(x[i]) - double(x[i - 1]) : 0.0)
                           : double(x[i]);
      e += v * v;
    }
    energy[s] = std::max(e, attack_floor * length);
    total += energy[s];
    if (energy[s] > energy[loudest]) loudest = s;
  }
  if (loudest == 0) return 0.0;
  const double quietest = *std::min_element(energy, energy + loudest);
  const double mean = total / attack_segments;
  const double ratio_db = 10.0 * std::log10(mean / quietest);
  return std::clamp(ratio_db - margin_db, 0.0, attack_max_db);
}

}  // namespace orv::encoder
