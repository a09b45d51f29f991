// Stream properties, seek-table lookups and seek requests.
//
// Nothing here moves data: the functions read the stream and post requests
// (seek_pending, skip_samples, the deferred words, the loop fields) that the
// next ORV_stream_process carries out.
//
// All arithmetic is unsigned. Wherever a value from the file or the host
// could overflow a 32-bit answer, the answer saturates instead of wrapping,
// so a corrupt header can give a useless answer but never a misleading small
// one, and never undefined behaviour.
#include <cstdint>
#include <cstring>

#include "plugin_api.h"
#include "stream.h"

namespace orv::vlkdec {
namespace {

constexpr uint32_t u32_max = 0xFFFFFFFFu;
// Answers of "Set Looping Samples" for an untouched start or a cleared or
// kept end, as the host sees them (signed words).
constexpr uint32_t loop_answer_cleared = 0xFFFFFFFFu;  // -1
constexpr uint32_t loop_answer_kept = 0xFFFFFFFEu;     // -2
constexpr int32_t seek_realign = -1;
constexpr int32_t seek_arm_loop_start = -2;

uint32_t samples_per_entry(const DecodeStream& stream) {
  return samples_per_seek_entry(stream.header);
}

uint64_t pcm_bytes_per_second(const DecodeStream& stream) {
  return uint64_t{stream.header.sample_rate} * stream.header.channels *
         bytes_per_sample;
}

uint32_t saturate_u32(uint64_t value) {
  return value > u32_max ? u32_max : static_cast<uint32_t>(value);
}

// The sample-based tokens need a table with entries and a block count per
// entry; version 0 and 1 files have no block count.
bool has_seek_table(const DecodeStream& stream) {
  return stream.header.seek_entry_count != 0 &&
         stream.header.blocks_per_seek_entry != 0;
}

uint32_t read_word(const void* words, uint32_t index) {
  uint32_t word;
  std::memcpy(&word, static_cast<const uint8_t*>(words) + 4 * index, 4);
  return word;
}

void write_word(void* words, uint32_t index, uint32_t word) {
  std::memcpy(static_cast<uint8_t*>(words) + 4 * index, &word, 4);
}

// A time in milliseconds as a sample frame. A time whose frame number does
// not fit 32 bits saturates, so it lands on the last frame rather than
// wrapping to some frame near the start.
uint32_t ms_to_sample(const DecodeStream& stream, uint32_t ms) {
  return saturate_u32(uint64_t{ms} * stream.header.sample_rate / 1000);
}

// File offset of an entry. A table that, added to data_start, would pass
// 4 GiB saturates rather than wrapping to an unrelated earlier position.
uint32_t entry_position(const DecodeStream& stream, uint32_t index) {
  return saturate_u32(uint64_t{stream.data_start} + stream.seek_table[index]);
}

// Bytes per second of the file. For a stream shorter than a millisecond
// (duration_ms 0) the exact duration in frames is used instead; a stream
// without frames has no meaningful rate and answers 0.
uint32_t input_bit_rate(const DecodeStream& stream) {
  const uint64_t file_bits = uint64_t{stream.file_size} * 8;
  if (stream.duration_ms != 0) {
    return saturate_u32(file_bits * 1000 / stream.duration_ms);
  }
  if (stream.header.total_samples == 0) return 0;
  // file_bits < 2^35 and the rate < 2^16, so the product fits 64 bits.
  return saturate_u32(file_bits * stream.header.sample_rate /
                      stream.header.total_samples);
}

uint32_t output_reservoir(const DecodeStream& stream) {
  const uint32_t pcm_left = stream.pcm_bytes - stream.pcm_read_offset;
  if (pcm_left != 0) return pcm_left;
  return stream.in_bytes - stream.in_read_offset;
}

float percent_done(const DecodeStream& stream) {
  if (stream.file_position == 0 || stream.file_size == 0) return 0.0f;
  const float percent = static_cast<float>(stream.file_position) * 100.0f /
                        static_cast<float>(stream.file_size);
  // A file longer than its header says can be read past file_size.
  return percent > 100.0f ? 100.0f : percent;
}

// Index of the stretch holding relative offset r, for r below the table's
// last offset. A stepping search: large strides while the range spans 34
// entries or more, then one entry at a time. It touches only entries
// 0..seek_entry_count and ends, for any table contents, because the stride
// shrinks at every miss and lo only grows between misses.
uint32_t find_stretch(const DecodeStream& stream, uint32_t r) {
  const uint32_t* table = stream.seek_table;
  const uint32_t count = stream.header.seek_entry_count;
  uint32_t hi = count;
  uint32_t lo = 0;
  uint32_t probe = 0;
  uint32_t step = ((count + 1) / 2) | 1;
  for (;;) {
    if (probe <= hi && table[probe] <= r) {
      lo = probe;
      probe += step;
      continue;
    }
    if (probe < hi) hi = probe;
    if (step == 1) break;
    step = (hi - lo) / 2;
    if (step <= 16) step = 1;
    probe = lo + step;
  }
  return lo;
}

// Converts a millisecond count computed in double to 32 bits, truncating
// toward zero and saturating at both ends (NaN gives 0).
uint32_t ms_from_double(double ms) {
  if (!(ms > 0.0)) return 0;
  if (ms >= 4294967296.0) return u32_max;
  return static_cast<uint32_t>(ms);
}

// "Exact get position": the time of a byte position of the file. With bit
// 31 set the position is where the host's reader stands, so the compressed
// bytes still buffered are taken off it, and the decoded PCM not yet handed
// out is taken off the answer.
uint32_t exact_get_position(const DecodeStream& stream, uint32_t position) {
  const bool reader_position = (position & deferred_present) != 0;
  if (reader_position) {
    position &= ~deferred_present;
    const uint32_t unparsed = stream.in_bytes - stream.in_read_offset;
    position = position > unparsed ? position - unparsed : 0;
  }
  if (position <= stream.data_start) return 0;
  const uint32_t r = position - stream.data_start;
  const uint32_t* table = stream.seek_table;
  if (r >= table[stream.header.seek_entry_count]) return stream.duration_ms;

  const uint64_t bytes_per_second = pcm_bytes_per_second(stream);
  if (bytes_per_second == 0) return 0;

  const uint32_t lo = find_stretch(stream, r);
  // For a table that never decreases the search gives
  // table[lo] <= r < table[lo + 1], so the stretch is not empty. Tables
  // that decrease exist only in corrupt streams; there, or for an empty
  // stretch, the answer is the stretch's start.
  float fraction = 0.0f;
  if (table[lo] <= r && r < table[lo + 1]) {
    fraction = static_cast<float>(r - table[lo]) /
               static_cast<float>(table[lo + 1] - table[lo]);
  }
  const float entries = static_cast<float>(lo) + fraction;
  const uint64_t bytes_per_entry = uint64_t{samples_per_entry(stream)} *
                                   stream.header.channels * bytes_per_sample;
  const uint32_t ms = ms_from_double(
      static_cast<double>(entries) * static_cast<double>(bytes_per_entry) *
      1000.0 / static_cast<double>(bytes_per_second));
  if (!reader_position) return ms;

  const uint64_t pcm_left = stream.pcm_bytes - stream.pcm_read_offset;
  const uint64_t pcm_left_ms = pcm_left * 1000 / bytes_per_second;
  return ms > pcm_left_ms ? ms - static_cast<uint32_t>(pcm_left_ms) : 0;
}

// "Set Looping Samples". Start -2 keeps the loop start; end -1 clears the
// loop end and any other negative end keeps it. Other negative starts are
// huge frame numbers and clamp to the last frame.
void set_looping_samples(DecodeStream& stream, uint32_t start, uint32_t end,
                         void* result) {
  uint32_t start_answer = loop_answer_kept;
  uint32_t end_answer;
  if (start != loop_answer_kept) {
    const SampleLocation at = locate_sample(stream, start);
    stream.loop_start_skip = at.offset;
    start_answer = at.entry_position;
  }
  if (end == loop_answer_cleared) {
    stream.loop_end_offset = 0;
    stream.loop_end_sample = 0;
    end_answer = loop_answer_cleared;
  } else if ((end & 0x80000000u) != 0) {
    end_answer = loop_answer_kept;
  } else {
    const SampleLocation at = locate_sample(stream, end);
    stream.loop_end_offset = at.entry_position;
    stream.loop_end_sample = at.offset;
    // end < 2^31 and an entry holds < 2^27 frames: no wrap.
    end_answer =
        locate_sample(stream, end + samples_per_entry(stream)).entry_position;
  }
  write_word(result, 0, start_answer);
  write_word(result, 1, end_answer);
}

// "Stream seek position": move the input to a byte position. While
// compressed bytes are still buffered, the move waits until they have been
// decoded. A position of 2 GiB or more cannot wait: bit 31 is the deferred
// word's own flag, and truncating the position would jump to the wrong
// place, so that request is refused.
bool post_stream_seek(DecodeStream& stream, uint32_t position) {
  if (stream.in_bytes == stream.in_read_offset) {
    stream.file_position = position;
    stream.seek_pending = 1;
    return true;
  }
  if ((position & deferred_present) != 0) return false;
  stream.deferred_seek = position | deferred_present;
  return true;
}

// Forgets everything buffered; the next process call reads afresh.
void reset_buffers(DecodeStream& stream) {
  stream.loop_end_remaining = -1;
  stream.in_read_offset = 0;
  stream.pcm_read_offset = 0;
  stream.in_bytes = 0;
  stream.pcm_bytes = 0;
}

int32_t query(const DecodeStream& stream, uint64_t token, void* value) {
  uint32_t answer;
  switch (token) {
    case ORV_TOKEN_INPUT_BIT_RATE:
      answer = input_bit_rate(stream);
      break;
    case ORV_TOKEN_INPUT_SAMPLE_RATE:
    case ORV_TOKEN_OUTPUT_SAMPLE_RATE:
      answer = stream.header.sample_rate;
      break;
    case ORV_TOKEN_INPUT_SAMPLE_WIDTH:
    case ORV_TOKEN_OUTPUT_SAMPLE_WIDTH:
      answer = 16;
      break;
    case ORV_TOKEN_INPUT_CHANNELS:
    case ORV_TOKEN_OUTPUT_CHANNELS:
      answer = stream.header.channels;
      break;
    case ORV_TOKEN_OUTPUT_BIT_RATE:
      // At most 65535 * 255 * 16: fits.
      answer =
          uint32_t{stream.header.sample_rate} * stream.header.channels * 16;
      break;
    case ORV_TOKEN_OUTPUT_RESERVOIR:
      answer = output_reservoir(stream);
      break;
    case ORV_TOKEN_POSITION:
      answer = stream.file_position;
      break;
    case ORV_TOKEN_PERCENT_DONE: {
      const float percent = percent_done(stream);
      std::memcpy(value, &percent, 4);
      return 1;
    }
    default:
      return 0;
  }
  write_word(value, 0, answer);
  return 1;
}

int32_t setting(DecodeStream& stream, uint64_t token, const void* new_value,
                void* result) {
  const bool table = has_seek_table(stream);
  switch (token) {
    case ORV_TOKEN_STREAM_SEEK_POSITION:
      if (new_value == nullptr) return 0;
      return post_stream_seek(stream, read_word(new_value, 0)) ? 1 : 0;
    case ORV_TOKEN_EXACT_SEEK: {
      if (!table || new_value == nullptr || result == nullptr) return 0;
      const SampleLocation at =
          locate_sample(stream, ms_to_sample(stream, read_word(new_value, 0)));
      write_word(result, 0, at.entry_position);
      stream.skip_samples = at.offset;
      return 1;
    }
    case ORV_TOKEN_EXACT_GET_POSITION:
      if (!table || new_value == nullptr || result == nullptr) return 0;
      write_word(result, 0,
                 exact_get_position(stream, read_word(new_value, 0)));
      return 1;
    case ORV_TOKEN_SEEK_TABLE_LOOKUP: {
      if (!table || new_value == nullptr || result == nullptr) return 0;
      const SampleLocation at =
          locate_sample(stream, ms_to_sample(stream, read_word(new_value, 0)));
      write_word(result, 0, at.entry_position);
      write_word(result, 1, at.first_sample);
      return 1;
    }
    case ORV_TOKEN_SET_LOOPING_SAMPLES:
      if (!table || new_value == nullptr || result == nullptr) return 0;
      set_looping_samples(stream, read_word(new_value, 0),
                          read_word(new_value, 1), result);
      return 1;
    case ORV_TOKEN_CLEAR_LOOP_META: {
      if (new_value == nullptr) return 0;
      const uint32_t flags = read_word(new_value, 0);
      if ((flags & 1) != 0) stream.loop_start_skip = 0;
      if ((flags & 2) != 0) {
        stream.loop_end_offset = 0;
        stream.loop_end_sample = 0;
      }
      return 1;
    }
    default:
      return 0;
  }
}

}  // namespace

SampleLocation locate_sample(const DecodeStream& stream, uint32_t sample) {
  const SeekEntryLocation at = locate_seek_entry(stream.header, sample);
  return SampleLocation{entry_position(stream, at.index), at.offset,
                        at.first_sample};
}

}  // namespace orv::vlkdec

using orv::vlkdec::DecodeStream;
using orv::vlkdec::from_handle;

extern "C" int32_t ORV_stream_property(ORV_Stream* handle, uint64_t token,
                                       void* value, const void* new_value,
                                       void* result) noexcept {
  if (handle == nullptr) return 0;
  DecodeStream& stream = *from_handle(handle);
  if (token >= ORV_TOKEN_STREAM_SEEK_POSITION &&
      token <= ORV_TOKEN_CLEAR_LOOP_META) {
    return orv::vlkdec::setting(stream, token, new_value, result);
  }
  if (value == nullptr || new_value != nullptr || result != nullptr) return 0;
  return orv::vlkdec::query(stream, token, value);
}

extern "C" int32_t ORV_stream_seek(ORV_Stream* handle,
                                   int32_t position) noexcept {
  if (handle == nullptr) return 0;
  DecodeStream& stream = *from_handle(handle);
  if (position == orv::vlkdec::seek_arm_loop_start) {
    if (stream.loop_start_skip == 0) return 0;
    if (stream.in_bytes == stream.in_read_offset) {
      stream.skip_samples = stream.loop_start_skip;
    } else {
      stream.deferred_skip =
          stream.loop_start_skip | orv::vlkdec::deferred_present;
    }
    return 0;
  }
  if (position == orv::vlkdec::seek_realign) {
    stream.seek_pending = 1;
  } else {
    stream.file_position = static_cast<uint32_t>(position);
  }
  orv::vlkdec::reset_buffers(stream);
  return 0;
}
