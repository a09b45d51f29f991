// Hand-built Velk audio files and streams for the stream engine's tests.
#ifndef ORV_TESTS_UNIT_STREAM_STREAM_FILES_H
#define ORV_TESTS_UNIT_STREAM_STREAM_FILES_H

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "format/block_frame.h"
#include "format/file_header.h"
#include "format/frame.h"
#include "format/seek_table.h"
#include "plugin_api.h"
#include "support/fake_host.h"

namespace orv::test {

inline void put_u16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void put_u32(std::vector<uint8_t>& out, uint32_t value) {
  put_u16(out, value & 0xFFFF);
  put_u16(out, value >> 16);
}

struct HeaderFields {
  uint32_t magic = vlkdec::file_magic;
  uint8_t version = 2;
  uint8_t channels = 2;
  uint16_t sample_rate = 44100;
  uint32_t total_samples = 44100;
  uint32_t max_block_size = 2000;
  uint32_t file_size = 0;
  uint32_t seek_word = 0;
};

inline std::vector<uint8_t> header_bytes(const HeaderFields& h) {
  std::vector<uint8_t> out;
  put_u32(out, h.magic);
  out.push_back(h.version);
  out.push_back(h.channels);
  put_u16(out, h.sample_rate);
  put_u32(out, h.total_samples);
  put_u32(out, h.max_block_size);
  put_u32(out, h.file_size);
  put_u32(out, h.seek_word);
  return out;
}

// A frame header and `payload_size` bytes of `fill`.
inline std::vector<uint8_t> frame(uint32_t payload_size, uint8_t fill = 0x11,
                                  uint32_t sync = vlkdec::block_sync) {
  std::vector<uint8_t> out(4 + size_t{payload_size}, fill);
  out[0] = static_cast<uint8_t>(sync);
  out[1] = static_cast<uint8_t>(sync >> 8);
  out[2] = static_cast<uint8_t>(payload_size);
  out[3] = static_cast<uint8_t>(payload_size >> 8);
  return out;
}

inline void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

// A stream opened through the plug-in's entry on a FakeHost and seen as its
// host sees it: the PCM it delivers, the reads it makes and its answers to
// the property tokens. Closed when destroyed.
struct HostStream {
  FakeHost host;
  ORV_Stream* handle;

  explicit HostStream(std::vector<uint8_t> file)
      : host(std::move(file)), handle(host.open()) {
    EXPECT_NE(handle, nullptr);
  }
  ~HostStream() {
    if (handle != nullptr) {
      EXPECT_EQ(ORV_stream_close(handle), 0);
    }
    EXPECT_TRUE(host.faults.empty()) << host.faults.front();
  }
  HostStream(const HostStream&) = delete;
  HostStream& operator=(const HostStream&) = delete;

  // One processing call for `bytes`; what it delivered is appended to `out`.
  uint32_t process(uint32_t bytes, std::vector<uint8_t>* out = nullptr) {
    std::vector<uint8_t> chunk(bytes);
    const uint32_t got = ORV_stream_process(handle, chunk.data(), bytes);
    EXPECT_LE(got, bytes);
    if (out != nullptr)
      out->insert(out->end(), chunk.begin(), chunk.begin() + got);
    return got;
  }
  // Processing calls until the stream delivers and reads nothing more.
  std::vector<uint8_t> drain(const std::vector<uint32_t>& sizes = {4096}) {
    return orv::test::drain(handle, host, sizes);
  }
  // A query token's answer (0xA5A5A5A5 when refused).
  uint32_t query(uint64_t token) {
    uint32_t value = 0xA5A5A5A5u;
    EXPECT_EQ(ORV_stream_property(handle, token, &value, nullptr, nullptr), 1)
        << "token " << token;
    return value;
  }
  // A setting token with up to two input words; `result` may be null.
  int32_t set(uint64_t token, int32_t first, int32_t second = 0,
              uint32_t* result = nullptr) {
    const int32_t input[2] = {first, second};
    return ORV_stream_property(handle, token, nullptr, input, result);
  }
  // "Set Looping Samples"; returns its two answers.
  std::array<uint32_t, 2> set_loop(int32_t start, int32_t end) {
    std::array<uint32_t, 2> result = {0, 0};
    EXPECT_EQ(set(ORV_TOKEN_SET_LOOPING_SAMPLES, start, end, result.data()), 1);
    return result;
  }
  // Bytes the host was asked for since its read number `first`.
  uint64_t asked_since(size_t first) const {
    uint64_t asked = 0;
    for (size_t i = first; i < host.reads.size(); ++i)
      asked += host.reads[i].asked;
    return asked;
  }
};

// File offsets of the blocks of a well-formed file, and the data start.
inline std::vector<size_t> block_offsets(const std::vector<uint8_t>& file) {
  const auto header = vlkdec::parse_file_header(file.data(), file.size());
  std::vector<size_t> offsets;
  if (!header) return offsets;
  for (size_t at = vlkdec::data_start_for(*header);
       at + vlkdec::block_frame_header_bytes <= file.size();
       at += vlkdec::block_frame_header_bytes +
             vlkdec::block_payload_size(&file[at])) {
    offsets.push_back(at);
  }
  return offsets;
}

// Deterministic test music: per channel a few partials and a little noise.
std::vector<int16_t> test_music(uint32_t channels, uint32_t sample_rate,
                                size_t frames, uint32_t seed = 1);

}  // namespace orv::test

#endif
