// The formats velka decode writes, and the writer that puts 16-bit PCM
// into one of them: through libsndfile, except raw PCM and WAV on a pipe,
// which velka writes itself.
#ifndef ORV_TOOLS_VELKA_AUDIO_OUTPUT_H
#define ORV_TOOLS_VELKA_AUDIO_OUTPUT_H

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "resampler.h"
#include "safe_output.h"

namespace velka {

struct OutputFormat {
  const char* name;       // as given to --format
  const char* extension;  // of the output names it is chosen by
  int sndfile_format;     // 0: raw 16-bit little-endian PCM
  bool lossless;
};

const std::vector<OutputFormat>& output_formats();
// The format named `name` (as --format takes it), or nullptr.
const OutputFormat* format_named(const std::string& name);
// The format an output name's extension chooses, or nullptr.
const OutputFormat* format_for_name(const std::string& path);

constexpr uint64_t unknown_length = UINT64_MAX;

// What a writer is told before the first sample.
struct AudioParams {
  uint32_t channels = 0;
  uint32_t sample_rate = 0;
  uint64_t frames = unknown_length;  // the exact length, when known
  double bitrate_kbps = 0;           // lossy outputs; 0: the codec's own
};

// Why the format cannot take this audio (channels, rate, bit rate), or
// empty.
std::string why_format_refuses(const OutputFormat& format,
                               const AudioParams& params);
// The rate the output is written at: the audio's own, or for Opus, which
// takes only a few rates, 48 kHz where the audio's is not one of them.
uint32_t output_rate(const OutputFormat& format, uint32_t sample_rate);

// The speakers of 3 to 8 channels in the order WAV and FLAC files use when
// they name none: FL FR FC LFE BL BR SL SR and its shorter forms (3: FL FR
// FC; 4: FL FR BL BR; 5: FL FR FC BL BR; 6: FL FR FC LFE BL BR; 7: FL FR
// FC LFE BC SL SR), as a WAVE_FORMAT_EXTENSIBLE channel mask. 0 for one or
// two channels, which need none.
uint32_t default_channel_mask(uint32_t channels);

class AudioWriter {
 public:
  // Starts the file in `out`; throws FileFailure.
  AudioWriter(SafeOutput& out, const OutputFormat& format,
              const AudioParams& params);
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;
  ~AudioWriter();

  // Appends whole frames; throws FileFailure.
  void write(const int16_t* samples, size_t frames);
  // Completes the file's trailing structures (not the rename); throws
  // FileFailure. A WAV stream whose header stated its length and got fewer
  // frames is filled up with silence, so that the header holds; returns
  // the frames so filled.
  uint64_t finish();

 private:
  void write_bytes(const void* data, size_t bytes);
  void write_pcm(const int16_t* samples, size_t frames);
  void write_float(const std::vector<float>& samples);

  SafeOutput& out_;
  uint32_t channels_;
  SNDFILE* sound_ = nullptr;
  std::unique_ptr<Resampler> resampler_;
  std::vector<uint8_t> bytes_;
  std::vector<uint8_t> pending_;  // a header not yet written
  uint64_t written_ = 0;
  uint64_t stated_ = unknown_length;  // the length a written header states
};

}  // namespace velka

#endif
