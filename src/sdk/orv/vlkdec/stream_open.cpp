// Stream open and close: the file header, the layout of the stream's single
// host allocation, the seek table and the channel pairs' decoders.
#include <cstring>

#include "plugin_api.h"
#include "stream.h"

namespace orv::vlkdec {
namespace {

// Call sites named to the host's allocator for its accounting.
constexpr uint32_t allocate_line = 202;
constexpr uint32_t seek_table_failed_line = 243;
constexpr uint32_t close_line = 280;

constexpr uint32_t seek_chunk_entries = 128;

uint32_t load_u16(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}

uint32_t load_u32(const uint8_t* bytes) {
  return load_u16(bytes) | load_u16(bytes + 2) << 16;
}

constexpr uint64_t align64(uint64_t value) {
  return (value + 63) & ~uint64_t{63};
}

// The open's reads (header and seek table) must deliver exactly what was
// asked. A host that reports more than it was asked for is broken, and the
// open is where the stream can still refuse it cleanly.
bool read_exactly(ORV_ReadCallback read_callback, uint64_t host_stream,
                  void* destination, uint32_t bytes, int32_t offset) {
  const int32_t result = read_callback(host_stream, destination, bytes, offset);
  return result >= 0 && static_cast<uint32_t>(result) == bytes;
}

}  // namespace

const char* const stream_source_file = "stream_open.cpp";

uint32_t read_input(DecodeStream& stream, uint8_t* destination,
                    uint32_t bytes) {
  if (bytes == 0) return 0;
  // Negative counts as nothing, more than asked as exactly what was asked:
  // the count moves offsets inside the input buffer.
  const int32_t result =
      stream.read_callback(stream.host_stream, destination, bytes, -1);
  if (result <= 0) return 0;
  return static_cast<uint32_t>(result) > bytes ? bytes
                                               : static_cast<uint32_t>(result);
}

FileHeader parse_file_header(const uint8_t* bytes) {
  FileHeader header{};
  header.magic = load_u32(bytes);
  header.version = bytes[4];
  header.channels = bytes[5];
  header.sample_rate = static_cast<uint16_t>(load_u16(bytes + 6));
  header.total_samples = load_u32(bytes + 8);
  header.max_block_size = load_u32(bytes + 12);
  header.file_size = load_u32(bytes + 16);
  header.seek_word = load_u32(bytes + 20);
  return header;
}

StreamLayout compute_layout(uint32_t channels, uint32_t sample_rate,
                            uint32_t max_block_size,
                            uint32_t seek_entry_count) {
  StreamLayout layout{};
  if (channels == 0 || channels > max_channels || sample_rate == 0) {
    return layout;
  }
  layout.frame_length = frame_length_for_rate(sample_rate);
  layout.pair_count = (channels + 1) / 2;
  uint32_t state_total = 0;
  for (uint32_t k = 0; k < layout.pair_count; ++k) {
    const uint32_t in_pair = channels - 2 * k >= 2 ? 2 : 1;
    layout.pair_channels[k] = in_pair;
    layout.state_sizes[k] = block_decoder_state_size(sample_rate, in_pair);
    state_total += layout.state_sizes[k];
  }
  layout.pcm_block_bytes = channels * 2 * layout.frame_length;
  layout.pcm_capacity = channels * (2 * layout.frame_length + 1024) + 160;

  // Worked out in 64 bits: a seek-entry count or block size that would
  // make the 32-bit offsets wrap lies outside the data model.
  const uint64_t seek_table_offset = 256;
  const uint64_t in_offset =
      align64(seek_table_offset + 4 * (uint64_t{seek_entry_count} + 1));
  const uint64_t in_capacity =
      2 * (uint64_t{bounded_block_size(max_block_size)} + 4);
  const uint64_t decoder_offset = align64(in_offset + in_capacity);
  const uint64_t pcm_offset = align64(decoder_offset + state_total);
  const uint64_t block_size = align64(pcm_offset + layout.pcm_capacity);
  if (block_size > UINT32_MAX) return layout;

  layout.seek_table_offset = static_cast<uint32_t>(seek_table_offset);
  layout.in_offset = static_cast<uint32_t>(in_offset);
  layout.in_capacity = static_cast<uint32_t>(in_capacity);
  layout.decoder_offset = static_cast<uint32_t>(decoder_offset);
  layout.pcm_offset = static_cast<uint32_t>(pcm_offset);
  layout.block_size = static_cast<uint32_t>(block_size);
  layout.valid = true;
  return layout;
}

}  // namespace orv::vlkdec

using namespace orv::vlkdec;

extern "C" {

ORV_Stream* ORV_stream_open(ORV_AllocateCallback allocate_callback,
                            ORV_FreeCallback free_callback,
                            uint64_t host_stream,
                            ORV_ReadCallback read_callback) noexcept {
  if (allocate_callback == nullptr || free_callback == nullptr ||
      read_callback == nullptr) {
    return nullptr;
  }
  uint8_t raw[file_header_bytes];
  if (!read_exactly(read_callback, host_stream, raw, file_header_bytes, 0)) {
    return nullptr;
  }
  const FileHeader file = parse_file_header(raw);
  if (file.magic != file_magic || file.version > max_file_version) {
    return nullptr;
  }
  uint32_t seek_entry_count = file.seek_word;
  uint32_t blocks_per_seek_entry = 0;
  if (file.version == 2) {
    seek_entry_count = file.seek_word & 0xFFFFu;
    blocks_per_seek_entry = file.seek_word >> 16;
  }
  const StreamLayout layout = compute_layout(
      file.channels, file.sample_rate, file.max_block_size, seek_entry_count);
  if (!layout.valid) return nullptr;

  void* block = allocate_callback(layout.block_size, host_stream,
                                  stream_source_file, allocate_line);
  if (block == nullptr) {
    report_out_of_memory();
    return nullptr;
  }
  auto* base = static_cast<uint8_t*>(block);
  auto* stream = static_cast<DecodeStream*>(block);
  std::memset(stream, 0, sizeof(DecodeStream));
  stream->seek_table =
      reinterpret_cast<uint32_t*>(base + layout.seek_table_offset);
  stream->in_buffer = base + layout.in_offset;
  stream->pcm_buffer = base + layout.pcm_offset;
  stream->pcm_block_bytes = layout.pcm_block_bytes;
  stream->host_stream = host_stream;
  stream->in_capacity = layout.in_capacity;
  stream->pcm_capacity = layout.pcm_capacity;
  stream->read_callback = read_callback;
  stream->free_callback = free_callback;
  stream->file_size = file.file_size;
  stream->header.magic = file.magic;
  stream->header.version = file.version;
  stream->header.channels = file.channels;
  stream->header.sample_rate = file.sample_rate;
  stream->header.total_samples = file.total_samples;
  stream->header.max_block_bytes = bounded_block_size(file.max_block_size) + 4;
  stream->header.file_size = file.file_size;
  stream->header.seek_entry_count = seek_entry_count;
  stream->blocks_per_seek_entry = blocks_per_seek_entry;
  stream->data_start = file_header_bytes + 2 * seek_entry_count;

  // The stored sizes become cumulative offsets from the first block.
  uint8_t chunk[2 * seek_chunk_entries];
  uint32_t running_total = 0;
  uint32_t slot = 0;
  while (slot < seek_entry_count) {
    const uint32_t left = seek_entry_count - slot;
    const uint32_t n = left < seek_chunk_entries ? left : seek_chunk_entries;
    if (!read_exactly(read_callback, host_stream, chunk, 2 * n, -1)) {
      free_callback(block, host_stream, stream_source_file,
                    seek_table_failed_line);
      return nullptr;
    }
    for (uint32_t i = 0; i < n; ++i) {
      stream->seek_table[slot++] = running_total;
      running_total += load_u16(chunk + 2 * i);
    }
  }
  stream->seek_table[seek_entry_count] = running_total;

  stream->duration_ms = static_cast<uint32_t>(uint64_t{file.total_samples} *
                                              1000 / file.sample_rate);
  stream->loop_end_remaining = -1;
  stream->file_position = stream->data_start;
  stream->decoder_count = static_cast<int32_t>(layout.pair_count);
  const uint32_t flags = file.channels > 2 ? 3u : 1u;
  uint32_t state_offset = layout.decoder_offset;
  for (uint32_t k = 0; k < layout.pair_count; ++k) {
    stream->decoder_channels[k] = static_cast<int32_t>(layout.pair_channels[k]);
    stream->decoders[k] = setup_block_decoder(
        base + state_offset, file.sample_rate, layout.pair_channels[k], flags);
    stream->decoder_state_size[k] = layout.state_sizes[k];
    state_offset += layout.state_sizes[k];
  }
  return to_handle(stream);
}

int32_t ORV_stream_close(ORV_Stream* handle) noexcept {
  if (handle == nullptr) return 0;
  DecodeStream* stream = from_handle(handle);
  stream->free_callback(stream, stream->host_stream, stream_source_file,
                        close_line);
  return 0;
}

}  // extern "C"
