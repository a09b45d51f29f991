// Stream open and close: the file header, the layout of the stream's single
// host allocation, the seek table and the channel pairs' decoders.
#include <cstring>

#include "format/seek_table.h"
#include "plugin_api.h"
#include "stream.h"

namespace orv::vlkdec {
namespace {

// The numbers the host's allocate and free callbacks receive with
// stream_source_file to tell the call sites apart in their accounting.
// They are fixed identifiers that hosts may key on, not line numbers of
// this file, and must not change when the source does.
constexpr uint32_t allocation_site_open = 202;
constexpr uint32_t allocation_site_seek_table_failed = 243;
constexpr uint32_t allocation_site_close = 280;

constexpr uint32_t seek_chunk_entries = 128;

// The PCM buffer holds one block's output for every channel plus headroom
// of 1024 bytes per channel and 160 bytes in all. A block is decoded from
// the buffer's start and writes at most pcm_block_bytes, so the headroom is
// never written; it is kept so that the size each stream asks of the host
// does not change.
constexpr uint32_t pcm_headroom_per_channel_bytes = 1024;
constexpr uint32_t pcm_headroom_bytes = 160;

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
  const uint32_t channel_block_bytes = bytes_per_sample * layout.frame_length;
  layout.pcm_block_bytes = channels * channel_block_bytes;
  layout.pcm_capacity =
      channels * (channel_block_bytes + pcm_headroom_per_channel_bytes) +
      pcm_headroom_bytes;

  // Worked out in 64 bits: a seek-entry count or block size that would
  // make the 32-bit offsets wrap lies outside the data model.
  const uint64_t seek_table_offset = stream_fields_bytes;
  const uint64_t in_offset =
      align64(seek_table_offset + 4 * (uint64_t{seek_entry_count} + 1));
  const uint64_t in_capacity =
      2 *
      (uint64_t{bounded_block_size(max_block_size)} + block_frame_header_bytes);
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
  const std::optional<FileHeader> parsed =
      parse_file_header(raw, file_header_bytes);
  if (!parsed) return nullptr;
  const FileHeader& file = *parsed;
  const uint32_t seek_entry_count = file.seek_entry_count;
  const StreamLayout layout = compute_layout(
      file.channels, file.sample_rate, file.max_block_size, seek_entry_count);
  if (!layout.valid) return nullptr;

  void* block = allocate_callback(layout.block_size, host_stream,
                                  stream_source_file, allocation_site_open);
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
  stream->header = file;
  stream->max_block_bytes =
      bounded_block_size(file.max_block_size) + block_frame_header_bytes;
  // compute_layout refused every count whose table would not fit 32 bits.
  stream->data_start = static_cast<uint32_t>(data_start_for(seek_entry_count));

  // The stored sizes become cumulative offsets from the first block.
  uint8_t chunk[seek_entry_bytes * seek_chunk_entries];
  uint32_t running_total = 0;
  uint32_t slot = 0;
  while (slot < seek_entry_count) {
    const uint32_t left = seek_entry_count - slot;
    const uint32_t n = left < seek_chunk_entries ? left : seek_chunk_entries;
    if (!read_exactly(read_callback, host_stream, chunk, seek_entry_bytes * n,
                      -1)) {
      free_callback(block, host_stream, stream_source_file,
                    allocation_site_seek_table_failed);
      return nullptr;
    }
    for (uint32_t i = 0; i < n; ++i) {
      stream->seek_table[slot++] = running_total;
      running_total += read_seek_entry(chunk, i);
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
                        allocation_site_close);
  return 0;
}

}  // extern "C"
