// Sample-rate conversion of interleaved 16-bit PCM, for outputs that take
// only some rates (Opus), with libsoxr's very-high-quality setting: linear
// phase and a stopband 175 dB down, the quality of `sox rate -v`.
#ifndef ORV_TOOLS_VELKA_RESAMPLER_H
#define ORV_TOOLS_VELKA_RESAMPLER_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct soxr;

namespace velka {

class Resampler {
 public:
  // Throws std::runtime_error when libsoxr refuses the rates.
  Resampler(uint32_t channels, uint32_t from_rate, uint32_t to_rate);
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;
  ~Resampler();

  // The converted frames for `frames` more input frames, as floats in
  // [-1, 1] (interleaved, valid until the next call); the filter's delay
  // is taken off, so the output lines up with the input.
  const std::vector<float>& convert(const int16_t* samples, size_t frames);
  // The frames still held in the filter, at the end of the input.
  const std::vector<float>& flush();

 private:
  const std::vector<float>& run(const float* in, size_t frames);

  soxr* soxr_ = nullptr;
  uint32_t channels_;
  double ratio_;
  std::vector<float> in_;
  std::vector<float> out_;
};

}  // namespace velka

#endif
