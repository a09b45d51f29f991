#include "support/host_test_files.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

namespace orv::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
      "/velk-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory";
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> TempDir::list() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<int16_t> test_signal(unsigned channels, unsigned sample_rate,
                                 uint32_t frames, uint32_t seed) {
  std::vector<int16_t> pcm(size_t{frames} * channels);
  uint32_t state = seed * 2654435761u + 1;
  const double pi = 3.14159265358979323846;
  for (uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / sample_rate;
    for (unsigned c = 0; c < channels; ++c) {
      state = state * 1664525u + 1013904223u;
      const double noise = (static_cast<double>(state >> 8) / 16777216.0 - 0.5);
      const double f = 110.0 * (c + 2) + 37.0 * (seed % 5);
      // A swell that keeps successive blocks different from each other.
      const double swell = 0.5 + 0.4 * std::sin(2 * pi * 0.7 * t + c);
      const double s = swell * (0.45 * std::sin(2 * pi * f * t) +
                                0.2 * std::sin(2 * pi * 3.01 * f * t)) +
                       0.03 * noise;
      pcm[size_t{i} * channels + c] =
          static_cast<int16_t>(std::lround(std::clamp(s, -1.0, 1.0) * 30000));
    }
  }
  return pcm;
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string write_encoded_file(const TempDir& dir, const EncodedCase& c) {
  const std::vector<int16_t> pcm = test_signal(
      c.channels, c.sample_rate, c.frames, c.channels * 7 + c.frames);
  const std::vector<uint8_t> file = encoder::encode_to_memory(
      pcm.data(), c.frames, c.channels, c.sample_rate, c.options);
  const std::string path = dir.file(c.name + ".velka");
  write_bytes(path, file);
  return path;
}

std::string write_encoded_file(const TempDir& dir, const std::string& name,
                               uint32_t frames) {
  EncodedCase c;
  c.name = name;
  c.frames = frames;
  return write_encoded_file(dir, c);
}

std::vector<EncodedCase> standard_cases() {
  std::vector<EncodedCase> cases;
  auto add = [&](const char* name, unsigned channels, unsigned rate,
                 uint32_t frames, unsigned version, bool table,
                 unsigned blocks_per_entry) {
    EncodedCase c;
    c.name = name;
    c.channels = channels;
    c.sample_rate = rate;
    c.frames = frames;
    c.options.format_version = version;
    c.options.seek_table = table;
    c.options.blocks_per_seek_entry = blocks_per_entry;
    cases.push_back(c);
  };
  add("mono-16000", 1, 16000, 40000, 2, true, 3);
  add("mono-32000", 1, 32000, 70001, 2, true, 0);
  add("stereo-44100", 2, 44100, 100000, 2, true, 4);
  add("stereo-48000-long-entries", 2, 48000, 150000, 2, true, 0);
  add("stereo-22050-v1", 2, 22050, 50000, 1, true, 0);
  add("stereo-11025-v0-no-table", 2, 11025, 30000, 0, false, 0);
  add("six-48000", 6, 48000, 60000, 2, true, 2);
  add("six-22050", 6, 22050, 45000, 2, true, 5);
  add("five-32000", 5, 32000, 33333, 2, true, 3);
  return cases;
}

}  // namespace orv::test
