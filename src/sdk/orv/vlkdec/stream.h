// One decode stream: its single host allocation and the stream engine's
// operations on it.
#ifndef ORV_VLKDEC_STREAM_H
#define ORV_VLKDEC_STREAM_H

#include <cstdint>

#include "decoder/block_decoder.h"
#include "format/block_frame.h"
#include "format/file_header.h"
#include "format/frame.h"
#include "orv/vlkdec.h"

namespace orv::vlkdec {

// No block can be larger than its frame header plus a payload whose size
// is a 16-bit field. The stream sizes its input buffer and its framing
// bounds from the smaller of this and the header's max_block_size, so a
// header cannot make the host allocate gigabytes; every block a larger
// bound admits is admitted by this one too.
constexpr uint32_t bounded_block_size(uint32_t max_block_size) {
  return max_block_size < max_whole_block_bytes ? max_block_size
                                                : max_whole_block_bytes;
}
// Bit 31 of a deferred word marks a pending request; bits 0-30 its value.
constexpr uint32_t deferred_present = 0x80000000u;

struct DecodeStream {
  // Fixed at open, until close: the header, the host's services, the
  // regions of the stream's allocation and the channel pairs' decoders
  // (whose own state changes with every block).
  FileHeader header;
  // The bounded max_block_size + 4: one largest block plus the next frame
  // header.
  uint32_t max_block_bytes;
  uint32_t data_start;  // file offset of the first block
  uint32_t file_size;
  uint32_t duration_ms;
  uint32_t* seek_table;  // seek_entry_count + 1 offsets from data_start
  uint64_t host_stream;
  ORV_ReadCallback read_callback;
  ORV_FreeCallback free_callback;
  uint8_t* in_buffer;
  uint8_t* pcm_buffer;
  uint32_t in_capacity;  // 2 * max_block_bytes
  uint32_t pcm_capacity;
  uint32_t pcm_block_bytes;  // channels * bytes_per_sample * frame length
  int32_t decoder_count;
  int32_t decoder_channels[max_pairs];
  uint32_t decoder_state_size[max_pairs];
  BlockDecoder* decoders[max_pairs];

  // Input: the compressed bytes buffered and where the host's file
  // stands. Moved by fill_input, decode_block, resynchronise and seeks.
  uint32_t in_bytes;
  uint32_t in_read_offset;  // the next block to decode
  uint32_t file_position;   // offset of the next byte the host delivers
  uint32_t resync_pending;  // 0/1: block sync lost, find it again first

  // Output: decoded PCM waiting to be handed out.
  uint32_t pcm_bytes;        // 0 = empty
  uint32_t pcm_read_offset;  // bytes already delivered

  // Requests: posted by the property and seek calls, carried out by the
  // next processing calls.
  uint32_t seek_pending;       // 0/1: realign at a seek-table boundary first
  uint32_t deferred_seek;      // applied once the input buffer drains
  uint32_t deferred_skip;      // likewise
  uint32_t skip_samples;       // frames still to drop from decoded output
  uint32_t loop_start_skip;    // frames to drop after a jump to the loop start
  uint32_t loop_end_offset;    // file offset of the loop end's block; 0 = none
  uint32_t loop_end_sample;    // frames from that block on up to the loop end
  int32_t loop_end_remaining;  // countdown in frames; -1 = none running
};
// The fields take the start of the stream's allocation, in a room of fixed
// size; the seek table follows it.
constexpr uint32_t stream_fields_bytes = 256;
static_assert(sizeof(DecodeStream) <= stream_fields_bytes);

// Offsets of the regions of one stream's allocation, each a multiple of 64.
struct StreamLayout {
  bool valid;  // false when the header lies outside the data model
  uint32_t frame_length;
  uint32_t pair_count;
  uint32_t pair_channels[max_pairs];
  uint32_t state_sizes[max_pairs];
  uint32_t seek_table_offset;  // always stream_fields_bytes
  uint32_t in_offset;
  uint32_t in_capacity;
  uint32_t decoder_offset;
  uint32_t pcm_offset;
  uint32_t pcm_capacity;
  uint32_t pcm_block_bytes;
  uint32_t block_size;
};

// Pure sizing of a stream for a header (channels, rate, max_block_size,
// seek-entry count as in the file).
StreamLayout compute_layout(uint32_t channels, uint32_t sample_rate,
                            uint32_t max_block_size, uint32_t seek_entry_count);

// Source-file text passed with every allocate and free call.
extern const char* const stream_source_file;

// Reads up to `bytes` bytes of the following input into `destination`
// through the host's read callback and returns how many came: a negative
// result counts as none, one above `bytes` as exactly `bytes`. Asks for
// nothing when `bytes` is 0.
uint32_t read_input(DecodeStream& stream, uint8_t* destination, uint32_t bytes);

// A frame header's payload size is acceptable when the whole block fits
// in max_block_size (max_block_bytes - 4), so that the need of fill_input
// always covers it. The framing test and resynchronise share this bound:
// resynchronisation never settles on a block that framing then refuses,
// and the processing loop never waits for a block the input buffer cannot
// complete.
inline bool frame_size_fits(const DecodeStream& stream, uint32_t size) {
  return uint64_t{size} + 2 * block_frame_header_bytes <=
         stream.max_block_bytes;
}

// Input buffering, framing and resynchronisation.
enum class Framing { wait, decode, sync_lost };

// Makes the block at in_read_offset examinable: reads until the need (the
// block plus the next frame header) is buffered or the host delivers
// nothing; with a deferred request waiting, no further than the block's
// end. May first move the waiting bytes to the buffer's start. Returns
// true when bytes wait for the framing test, false when the input ended
// before the block was complete or nothing waits. Changes the input state.
bool fill_input(DecodeStream& stream);

// Whether the block at in_read_offset is decoded, waited for or taken as
// lost sync. Reads only the buffered bytes; changes nothing.
Framing framing_test(const DecodeStream& stream);

// Looks for a frame header followed, at the distance its size gives, by
// another sync word, reading more input as needed. Found: the block is
// moved to the buffer's start and resync_pending cleared. Input ended: an
// intact block that ends with it is kept, otherwise the buffer is emptied,
// and the flag is cleared. After a bounded number of reads without either
// it returns with the flag still set, to go on at the next call. Changes
// the input state only.
void resynchronise(DecodeStream& stream);

// Moves the input forward from file_position to the next seek-table
// boundary (the data start, a stretch start, or the file's end in the
// last stretch) by discarding bytes, and clears seek_pending. Past the
// data start with an empty table there is no boundary, and the flag stays
// set. Changes the input state.
void carry_out_seek(DecodeStream& stream);

// Reads and drops `count` bytes through the input buffer, which it leaves
// empty; file_position advances by the whole count, whatever the host
// delivers.
void discard_input(DecodeStream& stream, uint32_t count);

// Decodes the block at in_read_offset, which passed the framing test,
// into the empty PCM buffer, trimmed for the pending skip and loop end,
// and moves in_read_offset past it; once the input buffer has drained it
// applies the deferred requests. A block whose sub-blocks overrun its
// payload yields nothing and sets resync_pending. Changes the input and
// output state, the requests and the pairs' decoders.
void decode_block(DecodeStream& stream);

// Seek-table lookup for a sample position; changes nothing.
struct SampleLocation {
  uint32_t entry_position;  // file offset of the entry
  uint32_t offset;          // frames from the entry's first frame
  uint32_t first_sample;    // the entry's first frame
};
SampleLocation locate_sample(const DecodeStream& stream, uint32_t sample);

inline DecodeStream* from_handle(ORV_Stream* handle) {
  return reinterpret_cast<DecodeStream*>(handle);
}
inline ORV_Stream* to_handle(DecodeStream* stream) {
  return reinterpret_cast<ORV_Stream*>(stream);
}

}  // namespace orv::vlkdec

#endif
