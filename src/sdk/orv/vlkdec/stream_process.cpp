// The host's pull: hand out buffered PCM, keep a whole block buffered,
// decode it pair by pair, trim it for a pending skip and a loop end, and
// apply deferred seeks and skips where the input buffer drains.
#include <cstddef>
#include <cstring>

#include "decoder/synthesis.h"
#include "plugin_api.h"
#include "stream.h"

namespace orv::vlkdec {
namespace {

constexpr uint32_t max_frame_length = 2048;
// Skips in one- and two-channel files drop whole 16-byte steps, so that
// the output stays a run of aligned vectors.
constexpr uint32_t skip_step_bytes = 16;

uint32_t load_u16(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}

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
  const uint32_t frame_bytes = 2 * channels;
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

}  // namespace

void decode_block(DecodeStream& stream) {
  const uint32_t block_start = stream.in_read_offset;
  const uint32_t block_offset =
      stream.file_position - stream.in_bytes + block_start;
  const uint32_t payload_start = block_start + block_frame_header_bytes;
  const uint32_t payload_end =
      payload_start + load_u16(stream.in_buffer + block_start + 2);
  const uint32_t channels = stream.header.channels;
  const bool planar = channels > 2;
  const uint32_t skip_at_start = stream.skip_samples;

  // Shared by every pair; the largest pair needs 2 x 2048 floats. Aligned
  // to the cache line, so that the transforms' vector accesses split as
  // few lines as their offsets allow.
  alignas(64) float coeffs[2 * max_frame_length];

  uint32_t sub_start = payload_start;
  uint32_t out_offset = 0;
  uint32_t block_frames = 0;  // untrimmed, per channel
  uint32_t first_channel = 0;
  for (int32_t k = 0; k < stream.decoder_count; ++k) {
    BlockDecoder& decoder = *stream.decoders[k];
    const auto pair_channels =
        static_cast<uint32_t>(stream.decoder_channels[k]);
    const bool present = sub_start < payload_end;
    const uint32_t shift = decoder.first_block != 0 ? 0 : decoder.overlap_shift;
    const uint32_t untrimmed = decoder.block_bytes - decoder.overlap_bytes;
    // Every pair holds the same number of frames.
    block_frames = untrimmed / (2 * pair_channels);
    uint32_t used = 0;
    uint32_t produced = untrimmed;
    if (planar) {
      // Written straight into frame order: this pair's channels are
      // first_channel.. of every frame of the block.
      int16_t* frames_out =
          reinterpret_cast<int16_t*>(stream.pcm_buffer) + first_channel;
      if (present) {
        used = decode_sub_block_frames(
            decoder.transform_length, decoder.scale, decoder.transform_count,
            decoder.transform_table_length, decoder.transform_table, frames_out,
            channels, stream.in_buffer + sub_start,
            stream.in_buffer + payload_end, decoder.band_count,
            decoder.band_edges, coeffs, decoder.overlap_bytes, shift,
            decoder.tail);
      } else {
        // No sub-block left for this pair: its share of the block is silence.
        for (uint32_t f = 0; f < block_frames; ++f) {
          for (uint32_t c = 0; c < pair_channels; ++c) {
            frames_out[size_t{f} * channels + c] = 0;
          }
        }
      }
      first_channel += pair_channels;
    } else {
      uint8_t* out = stream.pcm_buffer + out_offset;
      stream.skip_samples = skip_at_start;
      if (present) {
        used = decode_sub_block(
            decoder.transform_length, decoder.scale, decoder.transform_count,
            decoder.flags, decoder.transform_table_length,
            decoder.transform_table, reinterpret_cast<int16_t*>(out),
            stream.in_buffer + sub_start, stream.in_buffer + payload_end,
            decoder.band_count, decoder.band_edges, coeffs,
            decoder.overlap_bytes, shift, decoder.tail);
      } else {
        // No sub-block left for this pair: its share of the block is silence.
        std::memset(out, 0, produced);
      }
      produced = trim_skip_interleaved(stream, out, produced, pair_channels);
    }
    decoder.first_block = 0;

    if (used > payload_end - sub_start) {
      // The sub-blocks run past the payload: the block is not trusted.
      stream.resync_pending = 1;
      stream.in_read_offset =
          payload_end < stream.in_bytes ? payload_end : stream.in_bytes;
      return;
    }
    sub_start += used;
    if (!planar) {
      trigger_loop_end(stream, block_offset);
      // The skip drops whole 16-byte steps, so `dropped` is whole frames.
      const uint32_t frame_bytes = 2 * pair_channels;
      const uint32_t dropped = (untrimmed - produced) / frame_bytes;
      const uint32_t kept_frames =
          frames_before_loop_end(stream, block_frames, dropped);
      if (kept_frames < produced / frame_bytes) {
        produced = kept_frames * frame_bytes;
      }
      out_offset += produced;
    }
  }

  if (planar) {
    // The block is in frame order: trim it exactly to the frame.
    const uint32_t frames = block_frames;
    const uint32_t frame_bytes = 2 * channels;
    const uint32_t skipped = skip_at_start < frames ? skip_at_start : frames;
    if (skipped != 0) {
      std::memmove(stream.pcm_buffer, stream.pcm_buffer + skipped * frame_bytes,
                   (frames - skipped) * frame_bytes);
    }
    stream.skip_samples = skip_at_start - skipped;
    trigger_loop_end(stream, block_offset);
    out_offset = frames_before_loop_end(stream, frames, skipped) * frame_bytes;
  }
  count_down_loop_end(stream, block_frames);

  stream.in_read_offset = sub_start;
  stream.pcm_bytes += out_offset;
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
