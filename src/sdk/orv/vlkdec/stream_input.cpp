// Compressed input: keeping one whole block buffered, the framing test,
// finding block sync again after damage, and moving forward to a stretch
// boundary after a seek.
#include <cstring>
#include <optional>

#include "format/block_frame.h"
#include "stream.h"

namespace orv::vlkdec {
namespace {

constexpr uint32_t max_candidates = 8;
// Reads one resynchronise call makes before it hands control back with
// resync_pending still set, so that input that never shows a block (a host
// delivering endless garbage) cannot hold a processing call forever. The
// next call goes on searching the same buffer.
constexpr uint32_t max_resync_reads = 1024;

// The payload size of the frame header at `position` of the input buffer
// when it is wholly buffered, starts with the sync word and announces a
// block that fits; nothing otherwise.
std::optional<uint32_t> frame_at(const DecodeStream& stream,
                                 uint64_t position) {
  if (position > stream.in_bytes) return std::nullopt;
  const std::optional<uint32_t> size =
      read_block_frame(stream.in_buffer + position, stream.in_bytes - position);
  if (!size || !frame_size_fits(stream, *size)) return std::nullopt;
  return size;
}

// Whether a sync word starts at `position`, its frame header wholly
// buffered; the size is not looked at.
bool sync_at(const DecodeStream& stream, uint64_t position) {
  return position <= stream.in_bytes &&
         read_block_frame(stream.in_buffer + position,
                          stream.in_bytes - position)
             .has_value();
}

// Bytes from in_read_offset that make the current block examinable: the
// whole block plus the next frame header, or max_block_bytes while the
// frame header is missing, damaged or announces a block that cannot fit.
uint32_t input_need(const DecodeStream& stream) {
  if (const auto size = frame_at(stream, stream.in_read_offset)) {
    return *size + 2 * block_frame_header_bytes;
  }
  return stream.max_block_bytes;
}

// Makes the bytes from `position` on the start of the input buffer.
void settle_at(DecodeStream& stream, uint32_t position) {
  std::memmove(stream.in_buffer, stream.in_buffer + position,
               stream.in_bytes - position);
  stream.in_bytes -= position;
  stream.in_read_offset = 0;
}

// Ends the search with the block at `position` at the buffer's start.
void found_block(DecodeStream& stream, uint32_t position) {
  settle_at(stream, position);
  stream.resync_pending = 0;
}

// The first position whose frame header is acceptable and whose block ends
// exactly at the end of the buffered data, as a file's last block does;
// in_bytes when there is none.
uint32_t find_final_block(const DecodeStream& stream) {
  for (uint32_t j = 0;
       uint64_t{j} + block_frame_header_bytes <= stream.in_bytes; ++j) {
    const auto size = frame_at(stream, j);
    if (size &&
        uint64_t{j} + block_frame_header_bytes + *size == stream.in_bytes) {
      return j;
    }
  }
  return stream.in_bytes;
}

}  // namespace

bool fill_input(DecodeStream& stream) {
  if (stream.in_read_offset > stream.in_bytes) {
    stream.in_read_offset = stream.in_bytes;
  }
  uint32_t need = input_need(stream);
  if (stream.in_bytes - stream.in_read_offset >= need) return true;

  if (stream.in_capacity - stream.in_read_offset < need &&
      stream.in_read_offset != 0) {
    settle_at(stream, stream.in_read_offset);
  }
  // Read until the need is met or the host delivers nothing. A short read
  // is not taken as the end of the input: otherwise a host that delivers
  // in small pieces would see every block pass the framing test as a
  // file's last block, unchecked by its successor's sync, and damaged
  // files would decode differently with the read size.
  for (;;) {
    uint32_t room = stream.in_capacity - stream.in_bytes;
    if (stream.deferred_seek != 0 || stream.deferred_skip != 0) {
      // Let the buffer drain exactly at the end of the current block, where
      // the deferred request is applied.
      const uint64_t block_end =
          uint64_t{stream.in_read_offset} + need - block_frame_header_bytes;
      if (block_end >= stream.in_bytes) {
        const uint64_t missing = block_end - stream.in_bytes;
        if (missing < room) room = static_cast<uint32_t>(missing);
      }
    }
    if (room == 0) break;
    const uint32_t n =
        read_input(stream, stream.in_buffer + stream.in_bytes, room);
    stream.in_bytes += n;
    stream.file_position += n;
    // The read may have brought the frame header that was missing.
    need = input_need(stream);
    const uint32_t waiting = stream.in_bytes - stream.in_read_offset;
    if (n == 0) {
      if (waiting < need - block_frame_header_bytes) return false;
      break;
    }
    if (waiting >= need) break;
  }
  return stream.in_bytes != stream.in_read_offset;
}

Framing framing_test(const DecodeStream& stream) {
  if (stream.in_bytes <= stream.in_read_offset) return Framing::wait;
  // A frame header cut by the end of the input cannot start a block.
  const auto size = frame_at(stream, stream.in_read_offset);
  if (!size) return Framing::sync_lost;
  const uint64_t next =
      uint64_t{stream.in_read_offset} + block_frame_header_bytes + *size;
  if (next > stream.in_bytes) return Framing::wait;
  if (next == stream.in_bytes) return Framing::decode;
  // With one byte of the following frame header buffered, that byte must
  // be the sync's first.
  return agrees_with_block_sync(stream.in_buffer + next, stream.in_bytes - next)
             ? Framing::decode
             : Framing::sync_lost;
}

void resynchronise(DecodeStream& stream) {
  if (stream.in_read_offset > stream.in_bytes) {
    stream.in_read_offset = stream.in_bytes;
  }
  settle_at(stream, stream.in_read_offset);
  const uint64_t drop_bytes =
      uint64_t{stream.max_block_bytes} + block_frame_header_bytes;
  for (uint32_t reads = 0; reads < max_resync_reads; ++reads) {
    struct Candidate {
      uint32_t position;
      uint32_t size;
    };
    Candidate candidates[max_candidates];
    uint32_t candidate_count = 0;

    // A sync whose block is followed, at the distance its size gives, by
    // another sync settles the search at once.
    for (uint32_t j = 0;
         uint64_t{j} + block_frame_header_bytes < stream.in_bytes; ++j) {
      const auto size = frame_at(stream, j);
      if (!size) continue;
      const uint64_t following = uint64_t{j} + block_frame_header_bytes + *size;
      if (following + block_frame_header_bytes <= stream.in_bytes) {
        if (sync_at(stream, following)) {
          found_block(stream, j);
          return;
        }
      } else if (candidate_count < max_candidates) {
        candidates[candidate_count++] = {j, *size};
      }
    }

    // Make room, but drop no position that more input could still confirm:
    // the candidates, and a block that ends exactly at the end of the
    // buffered data in case the input ends with the next read. Every
    // position before the first candidate is decided, since any block
    // there would have its successor buffered; so a full buffer always
    // frees at least max_block_bytes. Dropping candidates instead would
    // lose intact blocks whenever the host delivers in short reads.
    uint32_t dropped = 0;
    if (stream.in_bytes > drop_bytes) {
      dropped = static_cast<uint32_t>(drop_bytes);
      if (candidate_count != 0 && candidates[0].position < dropped) {
        dropped = candidates[0].position;
      }
      const uint32_t final_block = find_final_block(stream);
      if (final_block < dropped) dropped = final_block;
      std::memmove(stream.in_buffer, stream.in_buffer + dropped,
                   stream.in_bytes - dropped);
      stream.in_bytes -= dropped;
    }

    const uint32_t n = read_input(stream, stream.in_buffer + stream.in_bytes,
                                  stream.in_capacity - stream.in_bytes);
    if (n == 0) {
      // The input has ended: an intact last block is still decodable.
      const uint32_t final_block = find_final_block(stream);
      if (final_block < stream.in_bytes) {
        found_block(stream, final_block);
        return;
      }
      stream.in_bytes = 0;
      stream.in_read_offset = 0;
      stream.resync_pending = 0;
      return;
    }
    stream.in_bytes += n;
    stream.file_position += n;

    for (uint32_t i = 0; i < candidate_count; ++i) {
      if (candidates[i].position < dropped) continue;
      const uint32_t start = candidates[i].position - dropped;
      const uint64_t following =
          uint64_t{start} + block_frame_header_bytes + candidates[i].size;
      if (sync_at(stream, following)) {
        found_block(stream, start);
        return;
      }
    }
  }
}

void discard_input(DecodeStream& stream, uint32_t count) {
  if (count == 0) return;
  while (count != 0) {
    const uint32_t chunk =
        count < stream.in_capacity ? count : stream.in_capacity;
    const uint32_t delivered = read_input(stream, stream.in_buffer, chunk);
    stream.file_position += chunk;
    count -= chunk;
    // Nothing more comes: asking again would only repeat the 0, up to
    // hundreds of millions of times for a header's file size with a small
    // buffer. The position still moves by the whole count.
    if (delivered == 0) {
      stream.file_position += count;
      break;
    }
  }
  // The buffer served as the sink: nothing in it is waiting any more.
  stream.in_bytes = 0;
  stream.in_read_offset = 0;
}

void carry_out_seek(DecodeStream& stream) {
  if (stream.file_position <= stream.data_start) {
    discard_input(stream, stream.data_start - stream.file_position);
    stream.seek_pending = 0;
    return;
  }
  const uint32_t rel = stream.file_position - stream.data_start;
  const uint32_t count = stream.header.seek_entry_count;
  const uint32_t* table = stream.seek_table;
  for (uint32_t i = 0; i < count; ++i) {
    if (table[i] > rel) continue;
    if (table[i] == rel) {
      stream.seek_pending = 0;
      return;
    }
    if (i + 1 == count) {
      // In the last stretch: move to the end of the file. A position
      // already past the file's end has nothing left to skip.
      if (stream.file_position < stream.header.file_size) {
        discard_input(stream, stream.header.file_size - stream.file_position);
      }
      stream.seek_pending = 0;
      return;
    }
    if (table[i + 1] > rel) {
      discard_input(stream, table[i + 1] - rel);
      stream.seek_pending = 0;
      return;
    }
  }
}

}  // namespace orv::vlkdec
