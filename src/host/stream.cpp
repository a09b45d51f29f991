// The stream side of the host library: the per-stream callbacks over a byte
// source (a file descriptor, or one the caller supplies), seeks and loop jumps
// that move the descriptor, and the pull loop that tells a stream's end from
// its other short results.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "format/file_header.h"
#include "format/frame.h"
#include "host/host_internal.h"

using orv::host::set_error;
using orv::host::StreamToken;

// No short process result waits to be told apart from the end.
constexpr uint64_t no_short = UINT64_MAX;

struct VelkHostStream {
  // Fixed at open.
  VelkHost* host = nullptr;
  int fd = -1;  // the file opened by path; -1 for a caller's source
  VelkHostSource source{};
  ORV_Stream* plugin = nullptr;
  orv::vlkdec::FileHeader file{};  // as parsed; zero when it would not parse
  VelkHostFileHeader header{};     // the same, as the C interface gives it
  uint32_t frame_bytes = 0;  // bytes per frame; 0 for a header without channels
  // Blocks handed to the plug-in for this stream, with their sizes.
  std::vector<std::pair<void*, uint64_t>> blocks;
  uint64_t refusals = 0;
  VelkHostReadStats reads{};
  // Where the next pulled frame comes from: a start frame plus the bytes
  // pulled since.
  uint64_t timeline_start_frame = 0;
  uint64_t timeline_bytes = 0;
  // Pull state: the previous process call came back short; the end found.
  bool previous_short = false;
  bool ended = false;
  // The source's position, in bytes from the start of the file.
  uint64_t input_position = 0;
  // Damage seen so far, and the timeline frame of a short process result
  // that more PCM has not yet shown to be a gap.
  VelkHostDamage damage{};
  uint64_t short_at = no_short;
  // The loop set by velk_host_stream_set_loop.
  bool loop_set = false;
  uint32_t loop_passes = 0;  // 0: without end
  uint32_t loop_passes_done = 0;
  uint32_t loop_start_position = 0;
  uint32_t loop_start_sample = 0;
  uint32_t loop_end_sample = 0;  // the first frame after the loop
};

namespace {

// Process calls that return nothing yet move the stream along (a run of
// damaged data, blocks cut away after a loop end) are normal, but a plug-in
// that does so without end must not hang the host.
constexpr uint32_t max_empty_calls = 1u << 20;
// The most one process call is asked for.
constexpr uint32_t max_process_bytes = 1u << 20;

// The first frame the stream delivers after a jump to `sample` from the
// seek entry that starts at `first`: the skip moves on in whole steps up
// to the sample, clamped to the stream's length as the stream clamps it.
uint32_t skipped_start(const orv::vlkdec::FileHeader& h, uint32_t first,
                       uint32_t sample) {
  const auto at = orv::vlkdec::locate_seek_entry(h, sample);
  const uint32_t target = at.first_sample + at.offset;
  const uint32_t step = orv::vlkdec::skip_step_frames(h.channels);
  if (target < first) return first;
  return first + (target - first) / step * step;
}

void* ORV_CALL allocate_block(uint64_t bytes, uint64_t host_stream, const char*,
                              uint32_t) {
  auto* s = reinterpret_cast<VelkHostStream*>(host_stream);
  VelkHost* host = s->host;
  void* block = nullptr;
  if (host->refuse_allocations.load() == 0 && bytes <= (uint64_t{1} << 40)) {
    const uint64_t rounded = bytes == 0 ? 64 : (bytes + 63) / 64 * 64;
    block = std::aligned_alloc(64, static_cast<size_t>(rounded));
  }
  if (block == nullptr) {
    ++s->refusals;
    host->refusals.fetch_add(1);
    return nullptr;
  }
  try {
    s->blocks.emplace_back(block, bytes);
  } catch (...) {
    std::free(block);
    ++s->refusals;
    host->refusals.fetch_add(1);
    return nullptr;
  }
  host->allocations.fetch_add(1);
  host->outstanding_bytes.fetch_add(bytes);
  return block;
}

void ORV_CALL free_block(void* block, uint64_t host_stream, const char*,
                         uint32_t) {
  auto* s = reinterpret_cast<VelkHostStream*>(host_stream);
  VelkHost* host = s->host;
  host->frees.fetch_add(1);
  for (size_t i = 0; i < s->blocks.size(); ++i) {
    if (s->blocks[i].first == block) {
      host->outstanding_bytes.fetch_sub(s->blocks[i].second);
      s->blocks.erase(s->blocks.begin() + static_cast<std::ptrdiff_t>(i));
      std::free(block);
      return;
    }
  }
  // Never free what we did not hand out: count it and leave it alone.
  host->bad_frees.fetch_add(1);
}

size_t read_fd(void* context, void* destination, size_t bytes) {
  const int fd = *static_cast<const int*>(context);
  auto* out = static_cast<unsigned char*>(destination);
  size_t done = 0;
  while (done < bytes) {
    const ssize_t n = ::read(fd, out + done, bytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

int seek_fd(void* context, uint64_t position) {
  const int fd = *static_cast<const int*>(context);
  if (position > static_cast<uint64_t>(INT64_MAX)) return 0;
  return lseek(fd, static_cast<off_t>(position), SEEK_SET) >= 0 ? 1 : 0;
}

// Delivers bytes from the source. Offset 0 restarts at the start of the
// file; -1 continues; any other offset is outside the protocol and delivers
// nothing. Everything asked is delivered unless the file ends.
int32_t ORV_CALL read_file(uint64_t host_stream, void* destination,
                           uint32_t bytes, int32_t offset) {
  auto* s = reinterpret_cast<VelkHostStream*>(host_stream);
  VelkHostReadStats& r = s->reads;
  ++r.calls;
  r.bytes_asked += bytes;
  if (offset == 0) {
    ++r.header_reads;
    if (s->source.seek(s->source.context, 0) != 1) return 0;
  } else if (offset == -1) {
    ++r.continue_reads;
  } else {
    ++r.other_offsets;
    return 0;
  }
  if (bytes > 0x7FFFFFFFu) bytes = 0x7FFFFFFFu;
  if (destination == nullptr) return 0;
  if (offset == 0) s->input_position = 0;
  size_t done = s->source.read(s->source.context, destination, bytes);
  if (done > bytes) done = bytes;
  r.bytes_delivered += done;
  s->input_position += done;
  if (done < bytes && s->input_position > s->damage.input_end) {
    s->damage.input_end = s->input_position;
    s->damage.input_cut = s->input_position < s->header.file_size ? 1 : 0;
  }
  return static_cast<int32_t>(done);
}

bool query(VelkHostStream* s, StreamToken which, uint32_t* value) {
  const orv::host::StreamTokens& t = s->host->tokens;
  if (!t.present[which]) return false;
  return s->host->functions.stream_property(s->plugin, t.value[which], value,
                                            nullptr, nullptr) == 1;
}

bool setting(VelkHostStream* s, StreamToken which, const uint32_t* input,
             uint32_t* result) {
  const orv::host::StreamTokens& t = s->host->tokens;
  if (!t.present[which]) return false;
  return s->host->functions.stream_property(s->plugin, t.value[which], nullptr,
                                            input, result) == 1;
}

// Moves the file to `position` and tells the stream; the stream then drops
// what it buffered and decodes from there.
bool move_input(VelkHostStream* s, uint32_t position) {
  if (s->source.seek(s->source.context, position) != 1) return false;
  s->input_position = position;
  s->short_at = no_short;
  s->host->functions.stream_seek(s->plugin, static_cast<int32_t>(position));
  return true;
}

void restart_timeline(VelkHostStream* s, uint64_t frame) {
  s->timeline_start_frame = frame;
  s->timeline_bytes = 0;
  s->previous_short = false;
  s->ended = false;
}

// A short process result followed by more PCM: the framing was lost and
// found again, and the PCM jumps over what lay between.
void note_pcm_after_short(VelkHostStream* s) {
  VelkHostDamage& d = s->damage;
  if (d.places_kept < VELK_HOST_DAMAGE_PLACES) {
    d.places[d.places_kept++] = s->short_at;
  }
  ++d.gaps;
  s->short_at = no_short;
}

// The loop start jump: the file to the loop start's entry, the stream told
// so, then the loop-start skip armed.
bool jump_to_loop_start(VelkHostStream* s) {
  if (!move_input(s, s->loop_start_position)) return false;
  s->host->functions.stream_seek(s->plugin, -2);
  restart_timeline(s, s->loop_start_sample);
  return true;
}

// Ends a loop pass: jumps back for the next one, or ends the stream after
// the last. Returns false when the stream has ended.
bool end_loop_pass(VelkHostStream* s) {
  ++s->loop_passes_done;
  const bool more = s->loop_passes == 0 || s->loop_passes_done < s->loop_passes;
  // A pass after a jump that delivered nothing would repeat without end.
  const bool empty_repeat = s->loop_passes_done > 1 && s->timeline_bytes == 0;
  if (!more || empty_repeat || !jump_to_loop_start(s)) {
    s->ended = true;
    return false;
  }
  return true;
}

// A snapshot of what a process call may move: when neither changes and
// nothing comes out, the call did nothing at all.
struct Progress {
  uint32_t position = 0;
  uint32_t reservoir = 0;
  bool known = false;
};

Progress progress_of(VelkHostStream* s) {
  Progress p;
  p.known = query(s, orv::host::token_position, &p.position) &&
            query(s, orv::host::token_output_reservoir, &p.reservoir);
  return p;
}

// Reads the header, opens the plug-in's stream and takes ownership of `s`:
// on failure it is closed and deleted.
VelkHostStream* open_on_source(VelkHostStream* s, const char* path, char* error,
                               size_t error_size) {
  VelkHost* host = s->host;
  uint8_t raw[orv::vlkdec::file_header_bytes] = {};
  const size_t header_bytes =
      s->source.seek(s->source.context, 0) == 1
          ? s->source.read(s->source.context, raw, sizeof raw)
          : 0;
  const auto parsed = orv::vlkdec::parse_file_header(raw, header_bytes);
  if (parsed) {
    s->file = *parsed;
    VelkHostFileHeader& h = s->header;
    h.version = parsed->version;
    h.channels = parsed->channels;
    h.sample_rate = parsed->sample_rate;
    h.total_samples = parsed->total_samples;
    h.max_block_size = parsed->max_block_size;
    h.file_size = parsed->file_size;
    h.seek_entry_count = parsed->seek_entry_count;
    h.blocks_per_seek_entry = parsed->blocks_per_seek_entry;
    s->frame_bytes = orv::vlkdec::bytes_per_sample * h.channels;
  }
  s->plugin = host->functions.stream_open(
      allocate_block, free_block, reinterpret_cast<uint64_t>(s), read_file);
  if (s->plugin == nullptr) {
    if (!orv::vlkdec::has_file_magic(raw, header_bytes)) {
      set_error(error, error_size, "'%s' is not a Velk audio file", path);
    } else if (s->refusals != 0) {
      const char* why = host->functions.error();
      set_error(error, error_size, "cannot decode '%s': %s", path,
                why != nullptr ? why : "out of memory");
    } else {
      set_error(error, error_size,
                "cannot decode '%s': the plug-in refuses the file (damaged "
                "or unsupported header)",
                path);
    }
    if (s->fd >= 0) ::close(s->fd);
    delete s;
    return nullptr;
  }
  return s;
}

}  // namespace

extern "C" {

VelkHostStream* velk_host_stream_open(VelkHost* host, const char* path,
                                      char* error, size_t error_size) noexcept {
  set_error(error, error_size, "%s", "");
  auto* s = new (std::nothrow) VelkHostStream;
  if (s == nullptr) {
    set_error(error, error_size, "out of memory");
    return nullptr;
  }
  s->host = host;
  // Without O_NONBLOCK, opening a named pipe would wait for a writer
  // before the check below could refuse it; reads of a regular file never
  // block either way.
  s->fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (s->fd < 0) {
    set_error(error, error_size, "cannot open '%s': %s", path,
              std::strerror(errno));
    delete s;
    return nullptr;
  }
  struct stat st {};
  if (fstat(s->fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    set_error(error, error_size, "'%s' is not a regular file", path);
    ::close(s->fd);
    delete s;
    return nullptr;
  }
  s->source = velk_host_fd_source(&s->fd);
  return open_on_source(s, path, error, error_size);
}

VelkHostSource velk_host_fd_source(int* fd) noexcept {
  return VelkHostSource{fd, read_fd, seek_fd};
}

VelkHostStream* velk_host_stream_open_source(VelkHost* host,
                                             const VelkHostSource* source,
                                             const char* name, char* error,
                                             size_t error_size) noexcept {
  set_error(error, error_size, "%s", "");
  if (source == nullptr || source->read == nullptr || source->seek == nullptr) {
    set_error(error, error_size, "no byte source given");
    return nullptr;
  }
  auto* s = new (std::nothrow) VelkHostStream;
  if (s == nullptr) {
    set_error(error, error_size, "out of memory");
    return nullptr;
  }
  s->host = host;
  s->source = *source;
  return open_on_source(s, name != nullptr ? name : "stream", error,
                        error_size);
}

void velk_host_stream_close(VelkHostStream* stream) noexcept {
  if (stream == nullptr) return;
  stream->host->functions.stream_close(stream->plugin);
  // A block the plug-in failed to hand back is ours to release.
  for (const auto& block : stream->blocks) {
    stream->host->outstanding_bytes.fetch_sub(block.second);
    std::free(block.first);
  }
  if (stream->fd >= 0) ::close(stream->fd);
  delete stream;
}

const VelkHostFileHeader* velk_host_stream_header(
    const VelkHostStream* s) noexcept {
  return &s->header;
}

int velk_host_stream_info(VelkHostStream* stream,
                          VelkHostStreamInfo* out) noexcept {
  *out = VelkHostStreamInfo{};
  uint32_t* fields[] = {
      &out->input_bit_rate,      &out->input_sample_rate,
      &out->input_sample_width,  &out->input_channels,
      &out->output_bit_rate,     &out->output_sample_rate,
      &out->output_sample_width, &out->output_channels,
  };
  // The fields follow the tokens' order, and the answered bits the fields'.
  static_assert(orv::host::token_output_channels == 7 &&
                VELK_HOST_INFO_OUTPUT_CHANNELS == 1u << 7);
  for (uint32_t i = 0; i < 8; ++i) {
    if (query(stream, static_cast<StreamToken>(i), fields[i])) {
      out->answered |= 1u << i;
    }
  }
  // "Exact get position" answers the duration for any position past the
  // data; bit 31 is its flag, so it stays clear.
  const uint32_t past_the_end = 0x7FFFFFFFu;
  if (setting(stream, orv::host::token_exact_get_position, &past_the_end,
              &out->duration_ms)) {
    out->answered |= VELK_HOST_INFO_DURATION;
  }
  return out->answered == VELK_HOST_INFO_ALL ? 1 : 0;
}

int velk_host_stream_output_format(VelkHostStream* stream,
                                   VelkHostOutputFormat* out) noexcept {
  uint32_t rate = 0;
  uint32_t channels = 0;
  const bool has_rate =
      query(stream, orv::host::token_output_sample_rate, &rate);
  const bool has_channels =
      query(stream, orv::host::token_output_channels, &channels);
  *out = VelkHostOutputFormat{};
  out->sample_rate = has_rate ? rate : stream->header.sample_rate;
  out->channels = has_channels ? channels : stream->header.channels;
  out->from_plugin = has_rate && has_channels ? 1 : 0;
  const bool playable =
      out->channels >= 1 && out->channels <= orv::vlkdec::max_channels &&
      out->sample_rate >= 1 && out->sample_rate <= orv::vlkdec::max_sample_rate;
  out->bytes_per_frame =
      playable ? orv::vlkdec::bytes_per_sample * out->channels : 0;
  return playable ? 1 : 0;
}

uint32_t velk_host_stream_process(VelkHostStream* stream, void* destination,
                                  uint32_t bytes) noexcept {
  const uint32_t got = stream->host->functions.stream_process(
      stream->plugin, destination, bytes);
  return got > bytes ? bytes : got;
}

int32_t velk_host_stream_property(VelkHostStream* stream, uint64_t token,
                                  void* value, const void* new_value,
                                  void* result) noexcept {
  return stream->host->functions.stream_property(stream->plugin, token, value,
                                                 new_value, result);
}

int32_t velk_host_stream_property_by_name(VelkHostStream* stream,
                                          const char* name, void* value,
                                          const void* new_value,
                                          void* result) noexcept {
  const RegistrationEntry* entry =
      velk_host_find_entry(stream->host, "ORV stream", name);
  if (entry == nullptr || entry->kind != ORV_ENTRY_PROPERTY) return 0;
  return velk_host_stream_property(stream, entry->value, value, new_value,
                                   result);
}

int velk_host_stream_seek(VelkHostStream* stream, int32_t position) noexcept {
  if (position != -1 && position != -2) {
    if (!move_input(stream, static_cast<uint32_t>(position))) return 0;
  } else {
    stream->host->functions.stream_seek(stream->plugin, position);
  }
  // The stream may deliver again; where from is up to the caller.
  stream->previous_short = false;
  stream->short_at = no_short;
  stream->ended = false;
  return 1;
}

size_t velk_host_stream_pull(VelkHostStream* stream, void* destination,
                             size_t bytes) noexcept {
  VelkHostStream* s = stream;
  auto* out = static_cast<unsigned char*>(destination);
  size_t done = 0;
  uint32_t empty_calls = 0;
  while (done < bytes && !s->ended) {
    size_t left = bytes - done;
    if (s->loop_set && s->frame_bytes != 0) {
      // The pass ends at the loop end by our own count as well. The plug-in
      // stops at the loop end itself, skipped frames included; this count
      // is a safeguard that keeps a pass to its length whatever the
      // plug-in does, and ends it without one more process call.
      const uint64_t now = velk_host_stream_timeline_frame(s);
      if (now >= s->loop_end_sample) {
        if (!end_loop_pass(s)) break;
        empty_calls = 0;
        continue;
      }
      const uint64_t room = (s->loop_end_sample - now) * s->frame_bytes -
                            s->timeline_bytes % s->frame_bytes;
      if (room < left) left = static_cast<size_t>(room);
    }
    const uint32_t ask = left > max_process_bytes ? max_process_bytes
                                                  : static_cast<uint32_t>(left);
    const Progress before = progress_of(s);
    const uint32_t got = velk_host_stream_process(s, out + done, ask);
    if (got != 0 && s->short_at != no_short) note_pcm_after_short(s);
    done += got;
    s->timeline_bytes += got;
    if (got == ask) {
      s->previous_short = false;
      empty_calls = 0;
      continue;
    }
    // A short result: the input ended, sync was lost (the next call finds
    // it again) or the loop end was reached. Only an empty call right after
    // a short one can mean the end.
    const bool was_short = s->previous_short;
    s->previous_short = true;
    if (!s->loop_set && s->short_at == no_short) {
      s->short_at = velk_host_stream_timeline_frame(s);
    }
    if (got != 0) {
      empty_calls = 0;
      continue;
    }
    if (++empty_calls >= max_empty_calls) {
      s->ended = true;
      break;
    }
    if (!was_short) continue;
    if (s->loop_set) {
      // Past the loop end the stream keeps decoding blocks that yield
      // nothing, so an empty call after a short one ends the pass.
      if (!end_loop_pass(s)) break;
      empty_calls = 0;
      continue;
    }
    // Without a loop the end is a call that changed nothing: no input read,
    // nothing consumed. A call after lost sync always moves the input on.
    const Progress after = progress_of(s);
    if (!before.known || !after.known ||
        (before.position == after.position &&
         before.reservoir == after.reservoir)) {
      s->ended = true;
    }
  }
  return done;
}

int velk_host_stream_ended(const VelkHostStream* stream) noexcept {
  return stream->ended ? 1 : 0;
}

uint64_t velk_host_stream_timeline_frame(
    const VelkHostStream* stream) noexcept {
  if (stream->frame_bytes == 0) return stream->timeline_start_frame;
  return stream->timeline_start_frame +
         stream->timeline_bytes / stream->frame_bytes;
}

int velk_host_stream_seek_ms(VelkHostStream* stream, uint32_t ms,
                             VelkHostSeek* out) noexcept {
  VelkHostStream* s = stream;
  const VelkHostFileHeader& h = s->header;
  VelkHostSeek seek{};
  seek.target_sample =
      static_cast<uint32_t>(uint64_t{ms} * h.sample_rate / 1000);
  uint32_t lookup[2] = {0, 0};
  const bool looked_up =
      setting(s, orv::host::token_seek_table_lookup, &ms, lookup);
  if (!setting(s, orv::host::token_exact_seek, &ms, &seek.entry_position)) {
    return 0;
  }
  seek.entry_first_sample =
      looked_up ? lookup[1]
                : orv::vlkdec::locate_seek_entry(s->file, seek.target_sample)
                      .first_sample;
  seek.start_sample =
      skipped_start(s->file, seek.entry_first_sample, seek.target_sample);
  if (!move_input(s, seek.entry_position)) return 0;
  restart_timeline(s, seek.start_sample);
  if (out != nullptr) *out = seek;
  return 1;
}

int velk_host_stream_set_loop(VelkHostStream* stream, uint32_t start_sample,
                              uint32_t end_sample, uint32_t passes,
                              VelkHostLoop* out) noexcept {
  VelkHostStream* s = stream;
  if (start_sample >= end_sample || end_sample > 0x7FFFFFFFu) return 0;
  const uint32_t input[2] = {start_sample, end_sample};
  uint32_t result[2] = {0, 0};
  if (!setting(s, orv::host::token_set_looping_samples, input, result)) {
    return 0;
  }
  s->loop_set = true;
  s->loop_passes = passes;
  s->loop_passes_done = 0;
  s->loop_start_position = result[0];
  s->loop_start_sample = skipped_start(
      s->file,
      orv::vlkdec::locate_seek_entry(s->file, start_sample).first_sample,
      start_sample);
  s->loop_end_sample = end_sample;
  if (out != nullptr) {
    out->start_position = result[0];
    out->after_end_position = result[1];
    out->start_sample = s->loop_start_sample;
  }
  return 1;
}

uint32_t velk_host_stream_loop_passes_done(
    const VelkHostStream* stream) noexcept {
  return stream->loop_passes_done;
}

void velk_host_stream_damage(const VelkHostStream* stream,
                             VelkHostDamage* out) noexcept {
  *out = stream->damage;
  if (!stream->ended || stream->loop_set) return;
  // Every block adds the same number of frames, and a file holds the
  // blocks that its length takes.
  const uint64_t per_block =
      orv::vlkdec::samples_per_block(stream->header.sample_rate);
  const uint64_t stored =
      (uint64_t{stream->header.total_samples} + per_block - 1) / per_block *
      per_block;
  const uint64_t end = velk_host_stream_timeline_frame(stream);
  out->frames_missing = stored > end ? stored - end : 0;
}

void velk_host_stream_read_stats(const VelkHostStream* stream,
                                 VelkHostReadStats* out) noexcept {
  *out = stream->reads;
}

}  // extern "C"
