#include "resampler.h"

#include <soxr.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace velka {

Resampler::Resampler(uint32_t channels, uint32_t from_rate, uint32_t to_rate)
    : channels_(channels), ratio_(static_cast<double>(to_rate) / from_rate) {
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
  soxr_error_t error = nullptr;
  soxr_ =
      soxr_create(from_rate, to_rate, channels, &error, &io, &quality, nullptr);
  if (soxr_ == nullptr) {
    throw std::runtime_error(std::string("cannot resample: ") +
                             (error != nullptr ? error : "libsoxr failed"));
  }
}

Resampler::~Resampler() { soxr_delete(soxr_); }

const std::vector<float>& Resampler::convert(const int16_t* samples,
                                             size_t frames) {
  in_.resize(frames * channels_);
  for (size_t i = 0; i < in_.size(); ++i) {
    in_[i] = static_cast<float>(samples[i]) * (1.0f / 32768.0f);
  }
  return run(in_.data(), frames);
}

const std::vector<float>& Resampler::flush() { return run(nullptr, 0); }

const std::vector<float>& Resampler::run(const float* in, size_t frames) {
  // Room for this input's share of the output and some of the filter's.
  const size_t room =
      static_cast<size_t>(std::ceil(static_cast<double>(frames) * ratio_)) +
      4096;
  size_t used = 0;
  size_t total = 0;
  while (true) {
    out_.resize((total + room) * channels_);
    size_t taken = 0;
    size_t made = 0;
    const float* from = in == nullptr ? nullptr : in + used * channels_;
    const soxr_error_t error =
        soxr_process(soxr_, from, in == nullptr ? 0 : frames - used, &taken,
                     out_.data() + total * channels_, room, &made);
    if (error != nullptr) {
      throw std::runtime_error(std::string("cannot resample: ") + error);
    }
    used += taken;
    total += made;
    // All input taken; a flush goes on while the filter gives more.
    if (in != nullptr ? used == frames || (taken == 0 && made == 0)
                      : made == 0) {
      break;
    }
  }
  out_.resize(total * channels_);
  return out_;
}

}  // namespace velka
