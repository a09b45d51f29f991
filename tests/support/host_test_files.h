// Encoder-made files on disk for tests of the host library and the velka
// tool, and whole decodes through the host library.
#ifndef ORV_TESTS_SUPPORT_HOST_TEST_FILES_H
#define ORV_TESTS_SUPPORT_HOST_TEST_FILES_H

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/velk_encoder.h"
#include "host/plugin_host.h"

namespace orv::test {

// A temporary directory, removed with everything in it when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Names of the files in it, sorted.
  std::vector<std::string> list() const;

 private:
  std::string path_;
};

// One test file made by our encoder.
struct EncodedCase {
  std::string name;
  unsigned channels = 2;
  unsigned sample_rate = 44100;
  uint32_t frames = 44100;
  encoder::EncoderOptions options;
};

// Deterministic test audio: a few tones per channel over soft noise,
// `frames` interleaved frames.
std::vector<int16_t> test_signal(unsigned channels, unsigned sample_rate,
                                 uint32_t frames, uint32_t seed);

// Encodes the case's test signal into dir and returns the file's path.
std::string write_encoded_file(const TempDir& dir, const EncodedCase& c);
// The same for the default case (two channels at 44.1 kHz, the encoder's
// default options) of `frames` frames.
std::string write_encoded_file(const TempDir& dir, const std::string& name,
                               uint32_t frames);

// The encoder-made cases used across the host and tool tests: 1, 2 and 6
// channels, the three frame lengths, every header version, with and
// without seek tables.
std::vector<EncodedCase> standard_cases();

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes);

// Frames of 16-bit PCM in `bytes` for `channels`.
inline size_t frame_count(const std::vector<uint8_t>& bytes,
                          unsigned channels) {
  return bytes.size() / (2 * channels);
}

}  // namespace orv::test

#endif
