// Hand-built Velk audio files and streams for the stream engine's tests.
#ifndef ORV_TESTS_UNIT_STREAM_STREAM_FILES_H
#define ORV_TESTS_UNIT_STREAM_STREAM_FILES_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "sdk/orv/vlkdec/stream.h"
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

// A stream in test-owned memory for exercising the input functions alone:
// buffers sized as open would for `max_block_size`, reads served by `host`.
struct BareStream {
  std::vector<uint8_t> storage;
  std::vector<uint32_t> table;
  vlkdec::DecodeStream stream{};

  BareStream(FakeHost& host, uint32_t max_block_size) {
    stream.max_block_bytes = max_block_size + 4;
    stream.in_capacity = 2 * stream.max_block_bytes;
    storage.assign(stream.in_capacity + 64, 0);
    stream.in_buffer = storage.data();
    stream.host_stream = host.handle();
    stream.read_callback = &FakeHost::read;
    stream.loop_end_remaining = -1;
    // The fake host checks that the first read is at offset 0, as open's
    // header read is; these streams start after it.
    uint8_t dummy;
    FakeHost::read(host.handle(), &dummy, 0, 0);
    host.reads.clear();
  }
  void set_table(std::vector<uint32_t> offsets) {
    table = std::move(offsets);
    stream.seek_table = table.data();
    stream.header.seek_entry_count = static_cast<uint32_t>(table.size()) - 1;
  }
  // Puts bytes into the input buffer as if read earlier.
  void buffer(const std::vector<uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), stream.in_buffer);
    stream.in_bytes = static_cast<uint32_t>(bytes.size());
    stream.in_read_offset = 0;
  }
  std::vector<uint8_t> waiting() const {
    return {stream.in_buffer + stream.in_read_offset,
            stream.in_buffer + stream.in_bytes};
  }
};

// File offsets of the blocks of a well-formed file, and the data start.
inline std::vector<size_t> block_offsets(const std::vector<uint8_t>& file) {
  const uint32_t word = uint32_t{file[20]} | uint32_t{file[21]} << 8 |
                        uint32_t{file[22]} << 16 | uint32_t{file[23]} << 24;
  const uint32_t entries = file[4] == 2 ? (word & 0xFFFF) : word;
  std::vector<size_t> offsets;
  for (size_t at = 24 + 2 * size_t{entries}; at + 4 <= file.size();
       at += 4 + (file[at + 2] | file[at + 3] << 8)) {
    offsets.push_back(at);
  }
  return offsets;
}

// Deterministic test music: per channel a few partials and a little noise.
std::vector<int16_t> test_music(uint32_t channels, uint32_t sample_rate,
                                size_t frames, uint32_t seed = 1);

}  // namespace orv::test

#endif
