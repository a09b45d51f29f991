// Time in the file: the frame length a sample rate selects, the frames each
// block adds to the output, the step in which a skip takes effect, and the
// seek-table entry that holds a sample position.
#ifndef ORV_VLKDEC_FORMAT_FRAME_H
#define ORV_VLKDEC_FORMAT_FRAME_H

#include <cstdint>

#include "format/file_header.h"

namespace orv::vlkdec {

// Output is signed 16-bit PCM: bytes per sample of one channel.
constexpr uint32_t bytes_per_sample = 2;
constexpr uint32_t max_frame_length = 2048;

// Samples per channel of one transform, chosen by the sample rate; the
// thresholds are inclusive.
constexpr uint32_t frame_length_for_rate(uint32_t sample_rate) {
  return sample_rate >= 44100 ? 2048u : sample_rate >= 22050 ? 1024u : 512u;
}

// Frames each block adds to the output: the frame length less the
// sixteenth held back for the crossfade with the next block.
constexpr uint32_t hop_for_frame_length(uint32_t frame_length) {
  return frame_length - frame_length / 16;
}

constexpr uint32_t samples_per_block(uint32_t sample_rate) {
  return hop_for_frame_length(frame_length_for_rate(sample_rate));
}

// Sample frames one seek-table entry covers; 0 for files before version 2.
// blocks_per_seek_entry comes from 16 bits of the file, so this cannot wrap.
constexpr uint32_t samples_per_seek_entry(const FileHeader& header) {
  return header.blocks_per_seek_entry * samples_per_block(header.sample_rate);
}

// A skip inside a block of one or two channels drops whole 16-byte steps,
// so that the output stays a run of aligned vectors; the planar output of
// more channels is trimmed to the exact frame.
constexpr uint32_t skip_step_bytes = 16;
constexpr uint32_t skip_step_frames(uint32_t channels) {
  return channels == 1 || channels == 2
             ? skip_step_bytes / (bytes_per_sample * channels)
             : 1;
}

// Where a sample position lies in the seek table.
struct SeekEntryLocation {
  uint32_t index;         // the entry
  uint32_t first_sample;  // the entry's first frame
  uint32_t offset;        // frames from the entry's first frame
};

// The entry that holds `sample`. A position past total_samples counts as
// total_samples - 1 (one equal to it is kept), and the index is clamped to
// the last entry; without entries or blocks per entry the answer is entry
// 0. The offset is taken modulo 2^32.
constexpr SeekEntryLocation locate_seek_entry(const FileHeader& header,
                                              uint32_t sample) {
  if (sample > header.total_samples) sample = header.total_samples - 1;
  const uint32_t per_entry = samples_per_seek_entry(header);
  const uint32_t count = header.seek_entry_count;
  uint32_t index = 0;
  if (per_entry != 0 && sample >= per_entry) {
    index = (sample - per_entry) / per_entry + 1;
    if (index >= count) index = count == 0 ? 0 : count - 1;
  }
  // index * per_entry <= sample, so the product does not wrap.
  const uint32_t first = index * per_entry;
  return SeekEntryLocation{index, first, sample - first};
}

}  // namespace orv::vlkdec

#endif
