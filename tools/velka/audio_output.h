// The formats velka decode writes, and the writer that puts 16-bit PCM
// into one of them: through libsndfile, except raw PCM and WAV on standard
// output, which velka writes itself.
#ifndef ORV_TOOLS_VELKA_AUDIO_OUTPUT_H
#define ORV_TOOLS_VELKA_AUDIO_OUTPUT_H

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

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
// Why the format cannot hold `channels` at `sample_rate`, or empty.
std::string why_format_refuses(const OutputFormat& format, uint32_t channels,
                               uint32_t sample_rate);

class AudioWriter {
 public:
  // Starts the file in `out`; throws FileFailure.
  AudioWriter(SafeOutput& out, const OutputFormat& format, uint32_t channels,
              uint32_t sample_rate);
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;
  ~AudioWriter();

  // Appends whole frames; throws FileFailure.
  void write(const int16_t* samples, size_t frames);
  // Completes the file's trailing structures (not the rename); throws
  // FileFailure.
  void finish();

 private:
  void write_bytes(const void* data, size_t bytes);

  SafeOutput& out_;
  uint32_t channels_;
  SNDFILE* sound_ = nullptr;
  std::vector<uint8_t> bytes_;
  std::vector<uint8_t> pending_;  // a header not yet written
};

}  // namespace velka

#endif
