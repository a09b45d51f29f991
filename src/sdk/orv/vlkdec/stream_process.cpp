// The host's pull: hand out buffered PCM, keep a whole block buffered,
// decode it pair by pair, trim it for a pending skip and a loop end, and
// apply deferred seeks and skips where the input buffer drains.
#include <cstddef>
#include <cstring>

#include "decoder/synthesis.h"
#include "format/block_frame.h"
#include "plugin_api.h"
#include "stream.h"

namespace orv::vlkdec {
namespace {

// Starts the loop-end countdown at the first block at or past the loop
// end's block.
void trigger_loop_end(DecodeStream& stream, uint32_t block_offset) {
  if (stream.loop_end_offset != 0 && stream.loop_end_remaining == -1 &&
      stream.loop_end_offset <= block_offset) {
    stream.loop_end_remaining =
        stream.loop_end_sample > INT32_MAX
            ? INT32_MAX
            : static_cast<int32_t>(stream.loop_end_sample);
  }
}

// The countdown measures the position in the stream from the first frame
// of the block that started it, so a block's frames count against it
// whether the skip dropped them or not. Of a block of `frames` untrimmed
// frames whose first `dropped` the skip took, the frames that are kept are
// those of [dropped, loop end).
uint32_t frames_before_loop_end(const DecodeStream& stream, uint32_t frames,
                                uint32_t dropped) {
  uint32_t end = frames;
  if (stream.loop_end_remaining >= 0) {
    const auto remaining = static_cast<uint32_t>(stream.loop_end_remaining);
    if (remaining < end) end = remaining;
  }
  return end > dropped ? end - dropped : 0;
}

// Moves a running countdown on by a whole block, skipped frames included.
void count_down_loop_end(DecodeStream& stream, uint32_t frames) {
  if (stream.loop_end_remaining < 0) return;
  const auto remaining = static_cast<uint32_t>(stream.loop_end_remaining);
  stream.loop_end_remaining =
      remaining > frames ? static_cast<int32_t>(remaining - frames) : 0;
}

// Skip trim of a single pair's interleaved output at `out`.
uint32_t trim_skip_interleaved(DecodeStream& stream, uint8_t* out,
                               uint32_t produced, uint32_t channels) {
  if (stream.skip_samples == 0) return produced;
  const uint32_t frame_bytes = bytes_per_sample * channels;
  const uint64_t skip_bytes = uint64_t{stream.skip_samples} * frame_bytes;
  if (skip_bytes >= produced) {
    stream.skip_samples -= produced / frame_bytes;
    return 0;
  }
  const auto drop = static_cast<uint32_t>(skip_bytes) & ~(skip_step_bytes - 1);
  std::memmove(out, out + drop, produced - drop);
  stream.skip_samples = 0;
  return produced - drop;
}

void apply_deferred(DecodeStream& stream) {
  if ((stream.deferred_seek & deferred_present) != 0) {
    stream.seek_pending = 1;
    stream.file_position = stream.deferred_seek & ~deferred_present;
  }
  if ((stream.deferred_skip & deferred_present) != 0) {
    stream.skip_samples = stream.deferred_skip & ~deferred_present;
  }
  if (stream.deferred_seek != 0 || stream.deferred_skip != 0) {
    stream.loop_end_remaining = -1;
  }
  stream.deferred_seek = 0;
  stream.deferred_skip = 0;
}

// The block at in_read_offset, whose frame header the framing test passed.
struct CurrentBlock {
  uint32_t file_offset;    // where the block starts in the file
  uint32_t payload_start;  // in in_buffer
  uint32_t payload_end;
};

CurrentBlock current_block(const DecodeStream& stream) {
  CurrentBlock block;
  const uint32_t start = stream.in_read_offset;
  block.file_offset = stream.file_position - stream.in_bytes + start;
  block.payload_start = start + block_frame_header_bytes;
  block.payload_end =
      block.payload_start + block_payload_size(stream.in_buffer + start);
  return block;
}

// Output frames per channel of one block (every pair holds the same).
uint32_t block_frames(const BlockDecoder& decoder) {
  return (decoder.block_bytes - decoder.overlap_bytes) /
         (bytes_per_sample * decoder.transform_count);
}

uint32_t crossfade_shift(const BlockDecoder& decoder) {
  return decoder.first_block != 0 ? 0 : decoder.overlap_shift;
}

// One pair's sub-block at `sub_start`, interleaved at `out`; silence when
// the payload holds no sub-block for it. Returns the payload bytes used.
uint32_t decode_pair_interleaved(const DecodeStream& stream,
                                 BlockDecoder& decoder, uint32_t sub_start,
                                 uint32_t payload_end, float* coeffs,
                                 uint8_t* out) {
  const uint32_t untrimmed = decoder.block_bytes - decoder.overlap_bytes;
  if (sub_start >= payload_end) {
    std::memset(out, 0, untrimmed);
    return 0;
  }
  const SubBlock input{stream.in_buffer + sub_start,
                       stream.in_buffer + payload_end};
  return decode_sub_block(decoder, input, coeffs,
                          reinterpret_cast<int16_t*>(out),
                          crossfade_shift(decoder));
}

// One pair's sub-block written straight into the block's frame order: the
// pair's channels are first_channel.. of every frame. Silence when the
// payload holds no sub-block for it. Returns the payload bytes used.
uint32_t decode_pair_in_frame_order(const DecodeStream& stream,
                                    BlockDecoder& decoder,
                                    uint32_t first_channel, uint32_t sub_start,
                                    uint32_t payload_end, float* coeffs) {
  const uint32_t channels = stream.header.channels;
  int16_t* frames_out =
      reinterpret_cast<int16_t*>(stream.pcm_buffer) + first_channel;
  if (sub_start >= payload_end) {
    const uint32_t frames = block_frames(decoder);
    for (uint32_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < decoder.transform_count; ++c) {
        frames_out[size_t{f} * channels + c] = 0;
      }
    }
    return 0;
  }
  const SubBlock input{stream.in_buffer + sub_start,
                       stream.in_buffer + payload_end};
  return decode_sub_block_frames(decoder, input, coeffs,
                                 FrameOrder{frames_out, channels},
                                 crossfade_shift(decoder));
}

// Sub-blocks that run past the payload: the block is not trusted, and the
// search for sync starts after it.
void reject_block(DecodeStream& stream, const CurrentBlock& block) {
  stream.resync_pending = 1;
  stream.in_read_offset =
      block.payload_end < stream.in_bytes ? block.payload_end : stream.in_bytes;
}

// Trims the loop end from an interleaved pair's output, whose first
// frames the skip has already dropped; returns the bytes kept.
uint32_t trim_loop_end_interleaved(DecodeStream& stream,
                                   const CurrentBlock& block,
                                   const BlockDecoder& decoder,
                                   uint32_t produced) {
  trigger_loop_end(stream, block.file_offset);
  // The skip drops whole 16-byte steps, so `dropped` is whole frames.
  const uint32_t frame_bytes = bytes_per_sample * decoder.transform_count;
  const uint32_t untrimmed = decoder.block_bytes - decoder.overlap_bytes;
  const uint32_t dropped = (untrimmed - produced) / frame_bytes;
  const uint32_t kept_frames =
      frames_before_loop_end(stream, block_frames(decoder), dropped);
  return kept_frames < produced / frame_bytes ? kept_frames * frame_bytes
                                              : produced;
}

// Trims a block in frame order exactly to the frame, for the pending skip
// and the loop end; returns the bytes kept at the start of pcm_buffer.
uint32_t trim_frame_order_block(DecodeStream& stream, const CurrentBlock& block,
                                uint32_t frames) {
  const uint32_t frame_bytes = bytes_per_sample * stream.header.channels;
  const uint32_t skip = stream.skip_samples;
  const uint32_t skipped = skip < frames ? skip : frames;
  if (skipped != 0) {
    std::memmove(stream.pcm_buffer, stream.pcm_buffer + skipped * frame_bytes,
                 (frames - skipped) * frame_bytes);
  }
  stream.skip_samples = skip - skipped;
  trigger_loop_end(stream, block.file_offset);
  return frames_before_loop_end(stream, frames, skipped) * frame_bytes;
}

// One- and two-channel files: a single pair, decoded in place and trimmed
// for the skip by whole 16-byte steps. The skip is taken before the pair's
// payload use is checked, as the trim belongs to the decoded output.
// Returns false when the block is rejected.
bool decode_interleaved_block(DecodeStream& stream, const CurrentBlock& block,
                              float* coeffs, uint32_t& payload_used,
                              uint32_t& out_bytes) {
  BlockDecoder& decoder = *stream.decoders[0];
  uint8_t* out = stream.pcm_buffer;
  const uint32_t used = decode_pair_interleaved(
      stream, decoder, block.payload_start, block.payload_end, coeffs, out);
  decoder.first_block = 0;
  const uint32_t produced = trim_skip_interleaved(
      stream, out, decoder.block_bytes - decoder.overlap_bytes,
      decoder.transform_count);
  if (used > block.payload_end - block.payload_start) return false;
  payload_used = used;
  out_bytes = trim_loop_end_interleaved(stream, block, decoder, produced);
  return true;
}

// Files of more than two channels: every pair written into frame order,
// then the whole block trimmed. Returns false when the block is rejected.
bool decode_frame_order_block(DecodeStream& stream, const CurrentBlock& block,
                              float* coeffs, uint32_t& payload_used,
                              uint32_t& out_bytes) {
  uint32_t sub_start = block.payload_start;
  uint32_t first_channel = 0;
  for (int32_t k = 0; k < stream.decoder_count; ++k) {
    BlockDecoder& decoder = *stream.decoders[k];
    const uint32_t used = decode_pair_in_frame_order(
        stream, decoder, first_channel, sub_start, block.payload_end, coeffs);
    decoder.first_block = 0;
    if (used > block.payload_end - sub_start) return false;
    sub_start += used;
    first_channel += decoder.transform_count;
  }
  payload_used = sub_start - block.payload_start;
  out_bytes =
      trim_frame_order_block(stream, block, block_frames(*stream.decoders[0]));
  return true;
}

}  // namespace

void decode_block(DecodeStream& stream) {
  const CurrentBlock block = current_block(stream);
  // Shared by every pair; the largest pair needs 2 x 2048 floats. Aligned
  // to the cache line, so that the transforms' vector accesses split as
  // few lines as their offsets allow.
  alignas(64) float coeffs[2 * max_frame_length];
  uint32_t payload_used = 0;
  uint32_t out_bytes = 0;
  const bool intact = stream.header.channels > 2
                          ? decode_frame_order_block(stream, block, coeffs,
                                                     payload_used, out_bytes)
                          : decode_interleaved_block(stream, block, coeffs,
                                                     payload_used, out_bytes);
  if (!intact) {
    reject_block(stream, block);
    return;
  }
  count_down_loop_end(stream, block_frames(*stream.decoders[0]));
  stream.in_read_offset = block.payload_start + payload_used;
  stream.pcm_bytes += out_bytes;
  if (stream.in_read_offset == stream.in_bytes) apply_deferred(stream);
}

}  // namespace orv::vlkdec

using namespace orv::vlkdec;

extern "C" uint32_t ORV_stream_process(ORV_Stream* handle, void* destination,
                                       uint32_t bytes) noexcept {
  if (handle == nullptr) return 0;
  DecodeStream& stream = *from_handle(handle);
  if (stream.resync_pending != 0) {
    resynchronise(stream);
  } else if (stream.seek_pending != 0) {
    carry_out_seek(stream);
  }
  if (destination == nullptr) return 0;

  auto* out = static_cast<uint8_t*>(destination);
  uint32_t delivered = 0;
  uint32_t remaining = bytes;
  for (;;) {
    if (remaining == 0) return delivered;
    if (stream.pcm_bytes != 0) {
      const uint32_t buffered = stream.pcm_bytes > stream.pcm_read_offset
                                    ? stream.pcm_bytes - stream.pcm_read_offset
                                    : 0;
      const uint32_t n = remaining < buffered ? remaining : buffered;
      std::memcpy(out, stream.pcm_buffer + stream.pcm_read_offset, n);
      stream.pcm_read_offset += n;
      delivered += n;
      if (n == remaining) return delivered;
      remaining -= n;
      out += n;
      stream.pcm_bytes = 0;
      stream.pcm_read_offset = 0;
    }
    // A search for block sync that did not finish within its budget goes
    // on in the next call; nothing is read or decoded before.
    if (stream.resync_pending != 0) return delivered;
    // A deferred seek applied by the last block (the input buffer has just
    // drained) must move the input before anything more is read: reading
    // first would buffer bytes from the target and then make the seek skip
    // on to the stretch after them.
    if (stream.seek_pending != 0 && stream.in_read_offset == stream.in_bytes) {
      carry_out_seek(stream);
    }
    if (!fill_input(stream)) return delivered;
    switch (framing_test(stream)) {
      case Framing::decode:
        stream.pcm_read_offset = 0;
        decode_block(stream);
        break;
      case Framing::sync_lost:
        stream.resync_pending = 1;
        return delivered;
      case Framing::wait:
        // The block could not be completed by this call's read.
        return delivered;
    }
    if (stream.resync_pending != 0) return delivered;
    if (stream.loop_end_remaining == 0) return delivered;
  }
}
