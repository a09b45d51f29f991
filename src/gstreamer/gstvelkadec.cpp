// velkadec, a host of the decoder module: it loads the module through the
// host library (which acts as the broker and answers the allocate, free and
// read callbacks) and reads the file from upstream.
//
// In pull mode (the usual case, behind filesrc) it runs its own task,
// reads with gst_pad_pull_range and seeks sample-exactly: "Exact seek"
// picks the seek entry and arms the skip inside it, the read position
// moves there, the stream is told, and the few frames before the requested
// sample are cut here. In push mode it plays the stream from start to end
// and cannot seek.
//
// Time stamps count sample frames from the file's start: PTS = frame * 1 s
// / rate, in integers, so nothing drifts.
#include "gstvelkadec.h"

#include <string>

#include "format/seek_table.h"
#include "gstvelkaelements.h"

GST_DEBUG_CATEGORY_STATIC(velkadec_debug);
#define GST_CAT_DEFAULT velkadec_debug

G_DEFINE_TYPE_WITH_CODE(GstVelkaDec, gst_velka_dec, GST_TYPE_ELEMENT,
                        GST_DEBUG_CATEGORY_INIT(velkadec_debug, "velkadec", 0,
                                                "Velk audio decoder"));
GST_ELEMENT_REGISTER_DEFINE(velkadec, "velkadec", GST_RANK_PRIMARY,
                            GST_TYPE_VELKA_DEC);

namespace {

// Frames asked of the stream per output buffer.
constexpr uint32_t chunk_frames = 4096;

// Push mode decodes only while enough input is buffered ahead of the
// stream that no read inside the decoder runs dry before upstream's end:
// at least push_reserve_min, and at least push_reserve_blocks of the
// largest blocks the header allows. One buffer of chunk_frames spans at
// most 9 blocks (of 480 frames, the shortest), and the decoder's input
// buffer reads up to two whole blocks ahead of the one it decodes.
constexpr uint64_t push_reserve_min = uint64_t{256} << 10;
constexpr uint64_t push_reserve_blocks = 16;
// The header's block bound is untrusted: above 256 MiB it counts as 256
// MiB, which keeps the reserve within 4 GiB.
constexpr uint64_t push_reserve_max_block = uint64_t{1} << 28;

// The positions of 3 to 8 channels: the WAV and FLAC default layouts, which
// a file encoded from WAV or FLAC keeps. Each is already in GStreamer's
// order, so the samples need no reordering.
constexpr GstAudioChannelPosition FL = GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT;
constexpr GstAudioChannelPosition FR = GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT;
constexpr GstAudioChannelPosition FC = GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER;
constexpr GstAudioChannelPosition LFE = GST_AUDIO_CHANNEL_POSITION_LFE1;
constexpr GstAudioChannelPosition BL = GST_AUDIO_CHANNEL_POSITION_REAR_LEFT;
constexpr GstAudioChannelPosition BR = GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT;
constexpr GstAudioChannelPosition BC = GST_AUDIO_CHANNEL_POSITION_REAR_CENTER;
constexpr GstAudioChannelPosition SL = GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT;
constexpr GstAudioChannelPosition SR = GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT;
constexpr GstAudioChannelPosition default_layouts[][8] = {
    {FL, FR, FC},                      // 3
    {FL, FR, BL, BR},                  // 4: quadraphonic
    {FL, FR, FC, BL, BR},              // 5: 5.0
    {FL, FR, FC, LFE, BL, BR},         // 6: 5.1
    {FL, FR, FC, LFE, BC, SL, SR},     // 7: 6.1
    {FL, FR, FC, LFE, BL, BR, SL, SR}  // 8: 7.1
};
constexpr uint32_t first_default_layout = 3;

enum { PROP_0, PROP_PLUGIN_PATH, PROP_UNPOSITIONED };

GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-velka"));

// A sometimes pad, added once the file's format is known: bins that plug
// elements automatically link it before the first buffer flows.
GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_SOMETIMES,
    GST_STATIC_CAPS("audio/x-raw, format = (string) S16LE, "
                    "layout = (string) interleaved, "
                    "rate = (int) [ 1, 65535 ], channels = (int) [ 1, 8 ]"));

uint64_t frames_to_time(uint64_t frames, uint32_t rate) {
  return gst_util_uint64_scale_int(frames, GST_SECOND, static_cast<int>(rate));
}

// The decoder module to load: the plugin-path property, else the host
// library's choice (VELKA_PLUGIN, else the module installed or built with
// this plug-in).
std::string module_path(GstVelkaDec* dec) {
  std::string path;
  GST_OBJECT_LOCK(dec);
  if (dec->plugin_path != nullptr) path = dec->plugin_path;
  GST_OBJECT_UNLOCK(dec);
  if (!path.empty()) return path;
  path.resize(velk_host_default_plugin_path(nullptr, 0));
  velk_host_default_plugin_path(path.data(), path.size() + 1);
  return path;
}

// ---------------------------------------------------------------------------
// Byte sources for the host library.

size_t pull_read(void* context, void* destination, size_t bytes) {
  auto* dec = static_cast<GstVelkaDec*>(context);
  auto* out = static_cast<guint8*>(destination);
  size_t done = 0;
  while (done < bytes) {
    const size_t ask = MIN(bytes - done, size_t{1} << 20);
    GstBuffer* buffer = nullptr;
    const GstFlowReturn flow = gst_pad_pull_range(
        dec->sinkpad, dec->offset, static_cast<guint>(ask), &buffer);
    if (flow != GST_FLOW_OK) {
      if (flow != GST_FLOW_EOS) dec->read_flow = flow;
      break;
    }
    const gsize got = gst_buffer_extract(buffer, 0, out + done, ask);
    gst_buffer_unref(buffer);
    if (got == 0) break;
    done += got;
    dec->offset += got;
  }
  return done;
}

int pull_seek(void* context, uint64_t position) {
  static_cast<GstVelkaDec*>(context)->offset = position;
  return 1;
}

size_t push_read(void* context, void* destination, size_t bytes) {
  auto* dec = static_cast<GstVelkaDec*>(context);
  const uint64_t end = dec->adapter_base + gst_adapter_available(dec->adapter);
  const size_t n =
      static_cast<size_t>(MIN(uint64_t{bytes}, end - dec->push_position));
  if (n == 0) return 0;
  gst_adapter_copy(dec->adapter, destination,
                   static_cast<gsize>(dec->push_position - dec->adapter_base),
                   n);
  dec->push_position += n;
  return n;
}

// Push mode can move only within the input it still holds.
int push_seek(void* context, uint64_t position) {
  auto* dec = static_cast<GstVelkaDec*>(context);
  const uint64_t end = dec->adapter_base + gst_adapter_available(dec->adapter);
  if (position < dec->adapter_base || position > end) return 0;
  dec->push_position = position;
  return 1;
}

// ---------------------------------------------------------------------------
// Opening and closing the stream.

void close_stream(GstVelkaDec* dec) {
  velk_host_stream_close(dec->stream);
  dec->stream = nullptr;
}

// The name of the input for error texts: upstream's URI when it has one.
std::string input_name(GstVelkaDec* dec) {
  std::string name = "the stream";
  GstQuery* query = gst_query_new_uri();
  if (gst_pad_peer_query(dec->sinkpad, query)) {
    gchar* uri = nullptr;
    gst_query_parse_uri(query, &uri);
    if (uri != nullptr) name = uri;
    g_free(uri);
  }
  gst_query_unref(query);
  return name;
}

// Opens a stream on the input from its start, without telling downstream.
bool reopen_stream(GstVelkaDec* dec, std::string& error) {
  close_stream(dec);
  const VelkHostSource source = dec->pull_mode
                                    ? VelkHostSource{dec, pull_read, pull_seek}
                                    : VelkHostSource{dec, push_read, push_seek};
  dec->offset = 0;
  dec->read_flow = GST_FLOW_OK;
  char reason[512];
  const std::string name = input_name(dec);
  dec->stream = velk_host_stream_open_source(dec->host, &source, name.c_str(),
                                             reason, sizeof reason);
  if (dec->stream == nullptr) {
    error = reason;
    return false;
  }
  dec->decoded_frame = 0;
  return true;
}

// The frames the input can hold: the header's count, or, when upstream
// knows the input is shorter than the header claims (a cut file), that
// count scaled by the share of the audio data present.
uint64_t frames_in_input(GstVelkaDec* dec, const VelkHostFileHeader& header,
                         uint32_t rate) {
  gint64 size = -1;
  if (!gst_pad_peer_query_duration(dec->sinkpad, GST_FORMAT_BYTES, &size) ||
      size < 0 || static_cast<uint64_t>(size) >= header.file_size) {
    return header.total_samples;
  }
  const uint64_t data_start =
      orv::vlkdec::data_start_for(header.seek_entry_count);
  const uint64_t present = static_cast<uint64_t>(size);
  const uint64_t frames =
      present <= data_start || header.file_size <= data_start
          ? 0
          : gst_util_uint64_scale(header.total_samples, present - data_start,
                                  header.file_size - data_start);
  GST_WARNING_OBJECT(dec,
                     "the input holds %" G_GUINT64_FORMAT
                     " bytes where the header claims %u: duration estimated "
                     "from the data as %" GST_TIME_FORMAT
                     " instead of the header's %" GST_TIME_FORMAT,
                     present, header.file_size,
                     GST_TIME_ARGS(frames_to_time(frames, rate)),
                     GST_TIME_ARGS(frames_to_time(header.total_samples, rate)));
  return frames;
}

// A bin that plugs elements automatically (decodebin) tries each element
// with its state locked and drops the element's errors until it keeps it,
// unlocking it just after. An error posted by the task before then would be
// lost, leaving the pipeline waiting, so a failure to open waits for the
// unlock first. The wait is bounded: an application may keep the state
// locked for good.
void wait_until_state_unlocked(GstVelkaDec* dec) {
  for (int ms = 0;
       ms < 200 && gst_element_is_locked_state(GST_ELEMENT_CAST(dec)); ++ms) {
    g_usleep(1000);
  }
}

// Loads the module and opens the stream; posts an error and returns false
// when either fails or the file cannot be played.
bool open_stream(GstVelkaDec* dec) {
  if (dec->failed) return false;
  if (dec->host == nullptr) {
    const std::string path = module_path(dec);
    char error[512];
    dec->host = velk_host_acquire(path.c_str(), error, sizeof error);
    if (dec->host == nullptr) {
      wait_until_state_unlocked(dec);
      GST_ELEMENT_ERROR(dec, LIBRARY, INIT,
                        ("Cannot load the Velk audio decoder module '%s': %s",
                         path.c_str(), error),
                        ("set the plugin-path property or VELKA_PLUGIN"));
      dec->failed = TRUE;
      return false;
    }
  }
  std::string error;
  if (!reopen_stream(dec, error)) {
    wait_until_state_unlocked(dec);
    GST_ELEMENT_ERROR(dec, STREAM, DECODE, ("%s", error.c_str()), (nullptr));
    dec->failed = TRUE;
    return false;
  }
  const VelkHostFileHeader header = *velk_host_stream_header(dec->stream);
  VelkHostOutputFormat format{};
  if (velk_host_stream_output_format(dec->stream, &format) != 1) {
    wait_until_state_unlocked(dec);
    GST_ELEMENT_ERROR(dec, STREAM, FORMAT,
                      ("The Velk audio file declares %u channels at %u Hz, "
                       "which cannot be played",
                       format.channels, format.sample_rate),
                      (nullptr));
    close_stream(dec);
    dec->failed = TRUE;
    return false;
  }
  const uint32_t channels = format.channels;
  const uint32_t rate = format.sample_rate;
  GST_OBJECT_LOCK(dec);
  const bool positioned =
      !dec->unpositioned && channels >= first_default_layout;
  GST_OBJECT_UNLOCK(dec);
  GstAudioInfo info;
  gst_audio_info_set_format(
      &info, GST_AUDIO_FORMAT_S16LE, static_cast<gint>(rate),
      static_cast<gint>(channels),
      positioned ? default_layouts[channels - first_default_layout] : nullptr);
  VelkHostStreamInfo answers{};
  velk_host_stream_info(dec->stream, &answers);
  dec->nominal_bit_rate =
      (answers.answered & VELK_HOST_INFO_INPUT_BIT_RATE) != 0
          ? answers.input_bit_rate
          : 0;
  const uint64_t duration = frames_in_input(dec, header, rate);
  GST_OBJECT_LOCK(dec);
  dec->info = info;
  dec->have_info = TRUE;
  dec->total_frames = header.total_samples;
  dec->duration_frames = duration;
  dec->seekable = dec->pull_mode;
  GST_OBJECT_UNLOCK(dec);
  dec->next_frame = 0;
  dec->stop_frame = header.total_samples;
  return true;
}

// Moves the stream so that the next pushed frame is `target`. Uses the
// seek table where the target lies past its first entry; otherwise, or
// when that fails, decodes again from the start (exact, as a first decode
// has no crossfade with earlier audio).
bool move_to_frame(GstVelkaDec* dec, uint64_t target) {
  const uint32_t rate = static_cast<uint32_t>(GST_AUDIO_INFO_RATE(&dec->info));
  const uint64_t ms = target * 1000 / rate;
  VelkHostSeek seek{};
  if (dec->stream != nullptr && ms <= UINT32_MAX &&
      velk_host_stream_seek_ms(dec->stream, static_cast<uint32_t>(ms), &seek) ==
          1 &&
      seek.entry_first_sample != 0 && seek.start_sample <= target) {
    dec->decoded_frame = seek.start_sample;
    dec->next_frame = target;
    dec->read_flow = GST_FLOW_OK;
    return true;
  }
  std::string error;
  if (!reopen_stream(dec, error)) {
    GST_ELEMENT_ERROR(dec, STREAM, DECODE, ("%s", error.c_str()), (nullptr));
    dec->failed = TRUE;
    return false;
  }
  dec->next_frame = target;
  return true;
}

// ---------------------------------------------------------------------------
// Output.

gboolean src_query(GstPad* pad, GstObject* parent, GstQuery* query);
gboolean src_event(GstPad* pad, GstObject* parent, GstEvent* event);

// Pushes an event downstream; drops it while there is no source pad.
void push_event(GstVelkaDec* dec, GstEvent* event) {
  if (dec->srcpad == nullptr) {
    gst_event_unref(event);
    return;
  }
  gst_pad_push_event(dec->srcpad, event);
}

// Adds the source pad with its stream start and caps set, so that whoever
// links it in pad-added sees the format.
void add_src_pad(GstVelkaDec* dec) {
  GstPad* pad = gst_pad_new_from_static_template(&src_template, "src");
  gst_pad_set_query_function(pad, GST_DEBUG_FUNCPTR(src_query));
  gst_pad_set_event_function(pad, GST_DEBUG_FUNCPTR(src_event));
  gst_pad_use_fixed_caps(pad);
  gst_pad_set_active(pad, TRUE);
  dec->srcpad = pad;
  gchar* id = gst_pad_create_stream_id(pad, GST_ELEMENT_CAST(dec), nullptr);
  GstEvent* start = gst_event_new_stream_start(id);
  g_free(id);
  guint group = 0;
  GstEvent* upstream =
      gst_pad_get_sticky_event(dec->sinkpad, GST_EVENT_STREAM_START, 0);
  if (upstream != nullptr) {
    if (gst_event_parse_group_id(upstream, &group)) {
      gst_event_set_group_id(start, group);
    }
    gst_event_unref(upstream);
  } else {
    gst_event_set_group_id(start, gst_util_group_id_next());
  }
  gst_pad_push_event(pad, start);
  GstCaps* caps = gst_audio_info_to_caps(&dec->info);
  gst_pad_push_event(pad, gst_event_new_caps(caps));
  gst_caps_unref(caps);
  gst_element_add_pad(GST_ELEMENT_CAST(dec), pad);
  gst_element_no_more_pads(GST_ELEMENT_CAST(dec));
}

void push_start_events(GstVelkaDec* dec) {
  if (dec->srcpad == nullptr) add_src_pad(dec);
  if (dec->need_segment) {
    GST_OBJECT_LOCK(dec);
    GstEvent* segment = gst_event_new_segment(&dec->segment);
    GST_OBJECT_UNLOCK(dec);
    if (dec->seek_seqnum != 0) gst_event_set_seqnum(segment, dec->seek_seqnum);
    gst_pad_push_event(dec->srcpad, segment);
    dec->need_segment = FALSE;
  }
  if (!dec->sent_tags) {
    // Stream tags, as decoders give them (a stream's bit rate is read from
    // these): the codec and the file's nominal rate.
    GstTagList* tags =
        gst_tag_list_new(GST_TAG_AUDIO_CODEC, "Velk audio", nullptr);
    if (dec->nominal_bit_rate != 0) {
      gst_tag_list_add(tags, GST_TAG_MERGE_REPLACE, GST_TAG_NOMINAL_BITRATE,
                       dec->nominal_bit_rate, nullptr);
    }
    gst_pad_push_event(dec->srcpad, gst_event_new_tag(tags));
    dec->sent_tags = TRUE;
  }
}

// The end of the segment: SEGMENT_DONE for segment seeks, else EOS.
void finish_segment(GstVelkaDec* dec) {
  GST_OBJECT_LOCK(dec);
  const bool segment_seek =
      (dec->segment.flags & GST_SEGMENT_FLAG_SEGMENT) != 0;
  const gint64 stop = static_cast<gint64>(
      dec->segment.stop != GST_CLOCK_TIME_NONE ? dec->segment.stop
                                               : dec->segment.position);
  GST_OBJECT_UNLOCK(dec);
  if (segment_seek) {
    GstMessage* message = gst_message_new_segment_done(GST_OBJECT_CAST(dec),
                                                       GST_FORMAT_TIME, stop);
    GstEvent* event = gst_event_new_segment_done(GST_FORMAT_TIME, stop);
    if (dec->seek_seqnum != 0) {
      gst_message_set_seqnum(message, dec->seek_seqnum);
      gst_event_set_seqnum(event, dec->seek_seqnum);
    }
    gst_element_post_message(GST_ELEMENT_CAST(dec), message);
    push_event(dec, event);
  } else {
    GstEvent* eos = gst_event_new_eos();
    if (dec->seek_seqnum != 0) gst_event_set_seqnum(eos, dec->seek_seqnum);
    push_event(dec, eos);
  }
}

// Decodes and pushes one buffer. GST_FLOW_EOS when the segment or the
// stream has ended (nothing pushed then; the caller finishes the segment).
GstFlowReturn decode_and_push(GstVelkaDec* dec) {
  const uint32_t rate = static_cast<uint32_t>(GST_AUDIO_INFO_RATE(&dec->info));
  const size_t frame_bytes =
      static_cast<size_t>(GST_AUDIO_INFO_BPF(&dec->info));
  for (;;) {
    if (dec->next_frame >= dec->stop_frame ||
        velk_host_stream_ended(dec->stream)) {
      return GST_FLOW_EOS;
    }
    const uint64_t want =
        MIN(dec->stop_frame - dec->decoded_frame, uint64_t{chunk_frames});
    GstBuffer* buffer = gst_buffer_new_allocate(
        nullptr, static_cast<gsize>(want * frame_bytes), nullptr);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    const size_t got =
        velk_host_stream_pull(dec->stream, map.data, map.size) / frame_bytes;
    gst_buffer_unmap(buffer, &map);
    if (dec->pull_mode && dec->read_flow != GST_FLOW_OK) {
      // A pull failed for another reason than the end (flushing for a
      // seek, an upstream error): stop here, whatever was decoded.
      gst_buffer_unref(buffer);
      return dec->read_flow;
    }
    const uint64_t first = dec->decoded_frame;
    dec->decoded_frame += got;
    const uint64_t drop = first < dec->next_frame
                              ? MIN(uint64_t{got}, dec->next_frame - first)
                              : 0;
    const uint64_t frames = got - drop;
    if (frames == 0) {
      gst_buffer_unref(buffer);
      if (got == 0) return GST_FLOW_EOS;
      continue;
    }
    gst_buffer_resize(buffer, static_cast<gssize>(drop * frame_bytes),
                      static_cast<gssize>(frames * frame_bytes));
    const uint64_t start = first + drop;
    GST_BUFFER_PTS(buffer) = frames_to_time(start, rate);
    GST_BUFFER_DURATION(buffer) =
        frames_to_time(start + frames, rate) - GST_BUFFER_PTS(buffer);
    GST_BUFFER_OFFSET(buffer) = start;
    GST_BUFFER_OFFSET_END(buffer) = start + frames;
    if (dec->discont) {
      GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
      dec->discont = FALSE;
    }
    dec->next_frame = start + frames;
    GST_OBJECT_LOCK(dec);
    dec->segment.position = frames_to_time(dec->next_frame, rate);
    GST_OBJECT_UNLOCK(dec);
    push_start_events(dec);
    return gst_pad_push(dec->srcpad, buffer);
  }
}

// The stop frame of the current segment, within the file's length.
void update_stop_frame(GstVelkaDec* dec) {
  const uint32_t rate = static_cast<uint32_t>(GST_AUDIO_INFO_RATE(&dec->info));
  uint64_t stop = dec->total_frames;
  GST_OBJECT_LOCK(dec);
  if (GST_CLOCK_TIME_IS_VALID(dec->segment.stop)) {
    stop = MIN(stop,
               gst_util_uint64_scale_ceil(dec->segment.stop, rate, GST_SECOND));
  }
  GST_OBJECT_UNLOCK(dec);
  dec->stop_frame = stop;
}

void pause_task(GstVelkaDec* dec, GstFlowReturn flow) {
  GST_DEBUG_OBJECT(dec, "pausing: %s", gst_flow_get_name(flow));
  gst_pad_pause_task(dec->sinkpad);
  if (flow == GST_FLOW_EOS) {
    push_start_events(dec);
    finish_segment(dec);
  } else if (flow == GST_FLOW_NOT_LINKED || flow < GST_FLOW_EOS) {
    GST_ELEMENT_FLOW_ERROR(dec, flow);
    push_event(dec, gst_event_new_eos());
  }
}

// The pull-mode task. The stream is opened here rather than at activation,
// so that a refused file posts its own error, as any element does for a
// bad stream, instead of failing a state change that a bin which plugs
// elements automatically reports as a missing plug-in.
void loop(gpointer data) {
  auto* dec = GST_VELKA_DEC(data);
  if (dec->stream == nullptr) {
    if (!open_stream(dec)) {
      gst_pad_pause_task(dec->sinkpad);
      push_event(dec, gst_event_new_eos());
      return;
    }
    update_stop_frame(dec);
  }
  const GstFlowReturn flow = decode_and_push(dec);
  if (flow != GST_FLOW_OK) pause_task(dec, flow);
}

// ---------------------------------------------------------------------------
// Seeking (pull mode).

// Flushing: both ways, so that a pull blocked upstream returns at once and
// downstream drops what it holds.
void push_flush_start(GstVelkaDec* dec, guint32 seqnum) {
  GstEvent* event = gst_event_new_flush_start();
  gst_event_set_seqnum(event, seqnum);
  gst_pad_push_event(dec->sinkpad, gst_event_ref(event));
  push_event(dec, event);
}

void push_flush_stop(GstVelkaDec* dec, guint32 seqnum) {
  GstEvent* event = gst_event_new_flush_stop(TRUE);
  gst_event_set_seqnum(event, seqnum);
  gst_pad_push_event(dec->sinkpad, gst_event_ref(event));
  push_event(dec, event);
}

gboolean handle_seek(GstVelkaDec* dec, GstEvent* event) {
  gdouble rate;
  GstFormat format;
  GstSeekFlags flags;
  GstSeekType start_type, stop_type;
  gint64 start, stop;
  gst_event_parse_seek(event, &rate, &format, &flags, &start_type, &start,
                       &stop_type, &stop);
  if (!dec->pull_mode || rate <= 0.0 ||
      (format != GST_FORMAT_TIME && format != GST_FORMAT_DEFAULT)) {
    return FALSE;
  }
  const guint32 seqnum = gst_event_get_seqnum(event);
  const bool flush = (flags & GST_SEEK_FLAG_FLUSH) != 0;
  if (flush) {
    push_flush_start(dec, seqnum);
  } else {
    gst_pad_pause_task(dec->sinkpad);
  }
  GST_PAD_STREAM_LOCK(dec->sinkpad);
  // Nothing streams while the lock is held; reads may flow again.
  if (flush) push_flush_stop(dec, seqnum);
  gboolean ok = dec->stream != nullptr || open_stream(dec);
  GST_OBJECT_LOCK(dec);
  GstSegment segment = dec->segment;
  const uint64_t total = dec->total_frames;
  const uint32_t sample_rate =
      static_cast<uint32_t>(GST_AUDIO_INFO_RATE(&dec->info));
  GST_OBJECT_UNLOCK(dec);
  if (ok && format == GST_FORMAT_DEFAULT) {
    if (start_type != GST_SEEK_TYPE_NONE && start >= 0) {
      start = static_cast<gint64>(
          frames_to_time(static_cast<uint64_t>(start), sample_rate));
    }
    if (stop_type != GST_SEEK_TYPE_NONE && stop >= 0) {
      stop = static_cast<gint64>(
          frames_to_time(static_cast<uint64_t>(stop), sample_rate));
    }
  }
  gboolean update = FALSE;
  ok =
      ok && gst_segment_do_seek(&segment, rate, GST_FORMAT_TIME, flags,
                                start_type, static_cast<guint64>(start),
                                stop_type, static_cast<guint64>(stop), &update);
  if (ok) {
    const uint64_t target =
        MIN(total,
            gst_util_uint64_scale_ceil(segment.start, sample_rate, GST_SECOND));
    ok = move_to_frame(dec, target) ? TRUE : FALSE;
  }
  if (ok) {
    segment.position = segment.start;
    GST_OBJECT_LOCK(dec);
    dec->segment = segment;
    GST_OBJECT_UNLOCK(dec);
    update_stop_frame(dec);
    dec->seek_seqnum = seqnum;
    dec->need_segment = TRUE;
    dec->discont = TRUE;
    if ((flags & GST_SEEK_FLAG_SEGMENT) != 0) {
      GstMessage* message =
          gst_message_new_segment_start(GST_OBJECT_CAST(dec), GST_FORMAT_TIME,
                                        static_cast<gint64>(segment.start));
      gst_message_set_seqnum(message, seqnum);
      gst_element_post_message(GST_ELEMENT_CAST(dec), message);
    }
  }
  if (!dec->failed) {
    gst_pad_start_task(dec->sinkpad, loop, dec, nullptr);
  }
  GST_PAD_STREAM_UNLOCK(dec->sinkpad);
  return ok;
}

// ---------------------------------------------------------------------------
// Push mode.

void reset_push_input(GstVelkaDec* dec) {
  gst_adapter_clear(dec->adapter);
  dec->adapter_base = 0;
  dec->push_position = 0;
  dec->upstream_eos = FALSE;
}

// Decodes what the buffered input allows: all of it once upstream has
// ended, else while the reserve stays ahead of the decoder.
GstFlowReturn push_decode(GstVelkaDec* dec) {
  if (dec->failed) return GST_FLOW_ERROR;
  uint64_t reserve = push_reserve_min;
  if (dec->stream != nullptr) {
    const uint64_t block = velk_host_stream_header(dec->stream)->max_block_size;
    reserve =
        MAX(reserve, MIN(block, push_reserve_max_block) * push_reserve_blocks);
  }
  auto enough = [&] {
    const uint64_t end =
        dec->adapter_base + gst_adapter_available(dec->adapter);
    return dec->upstream_eos || end - dec->push_position >= reserve;
  };
  if (dec->stream == nullptr) {
    if (!enough()) return GST_FLOW_OK;
    if (!open_stream(dec)) return GST_FLOW_ERROR;
    update_stop_frame(dec);
    dec->need_segment = TRUE;
  }
  GstFlowReturn flow = GST_FLOW_OK;
  while (flow == GST_FLOW_OK && enough()) {
    flow = decode_and_push(dec);
    // What the stream has read is no longer needed.
    gst_adapter_flush(dec->adapter, static_cast<gsize>(dec->push_position -
                                                       dec->adapter_base));
    dec->adapter_base = dec->push_position;
  }
  return flow;
}

GstFlowReturn sink_chain(GstPad*, GstObject* parent, GstBuffer* buffer) {
  auto* dec = GST_VELKA_DEC(parent);
  if (dec->upstream_eos) {
    gst_buffer_unref(buffer);
    return GST_FLOW_EOS;
  }
  gst_adapter_push(dec->adapter, buffer);
  // EOS makes upstream end the stream; the end is told downstream when
  // its EOS arrives.
  return push_decode(dec);
}

gboolean sink_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  auto* dec = GST_VELKA_DEC(parent);
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS:
    case GST_EVENT_SEGMENT:
    case GST_EVENT_STREAM_START:
      // Downstream gets this element's own caps, segment and stream start.
      gst_event_unref(event);
      return TRUE;
    case GST_EVENT_EOS: {
      dec->upstream_eos = TRUE;
      GstFlowReturn flow = push_decode(dec);
      if (dec->failed) {
        gst_event_unref(event);
        return TRUE;
      }
      if (flow == GST_FLOW_OK) flow = GST_FLOW_EOS;
      if (flow == GST_FLOW_EOS) {
        gst_event_unref(event);
        push_start_events(dec);
        finish_segment(dec);
        return TRUE;
      }
      push_event(dec, event);
      return TRUE;
    }
    case GST_EVENT_FLUSH_STOP:
      reset_push_input(dec);
      close_stream(dec);
      push_event(dec, event);
      return TRUE;
    case GST_EVENT_FLUSH_START:
      push_event(dec, event);
      return TRUE;
    default:
      // Before the source pad exists there is no one to tell.
      if (dec->srcpad == nullptr) {
        gst_event_unref(event);
        return TRUE;
      }
      return gst_pad_event_default(pad, parent, event);
  }
}

// ---------------------------------------------------------------------------
// Activation.

gboolean sink_activate(GstPad* pad, GstObject*) {
  GstQuery* query = gst_query_new_scheduling();
  gboolean pull = FALSE;
  if (gst_pad_peer_query(pad, query)) {
    pull = gst_query_has_scheduling_mode_with_flags(
        query, GST_PAD_MODE_PULL, GST_SCHEDULING_FLAG_SEEKABLE);
  }
  gst_query_unref(query);
  return gst_pad_activate_mode(
      pad, pull ? GST_PAD_MODE_PULL : GST_PAD_MODE_PUSH, TRUE);
}

gboolean sink_activate_mode(GstPad* pad, GstObject* parent, GstPadMode mode,
                            gboolean active) {
  auto* dec = GST_VELKA_DEC(parent);
  switch (mode) {
    case GST_PAD_MODE_PULL:
      if (active) {
        dec->pull_mode = TRUE;
        dec->need_segment = TRUE;
        return gst_pad_start_task(pad, loop, dec, nullptr);
      }
      return gst_pad_stop_task(pad);
    case GST_PAD_MODE_PUSH:
      dec->pull_mode = FALSE;
      return TRUE;
    default:
      return FALSE;
  }
}

// ---------------------------------------------------------------------------
// Queries and events on the source pad.

gboolean src_query(GstPad* pad, GstObject* parent, GstQuery* query) {
  auto* dec = GST_VELKA_DEC(parent);
  GST_OBJECT_LOCK(dec);
  const gboolean have_info = dec->have_info;
  const GstAudioInfo info = dec->info;
  const uint64_t duration = dec->duration_frames;
  const gboolean seekable = dec->seekable;
  const uint64_t position = dec->segment.position;
  GST_OBJECT_UNLOCK(dec);
  const uint32_t rate = static_cast<uint32_t>(GST_AUDIO_INFO_RATE(&info));
  switch (GST_QUERY_TYPE(query)) {
    case GST_QUERY_DURATION: {
      GstFormat format;
      gst_query_parse_duration(query, &format, nullptr);
      if (!have_info) break;
      if (format == GST_FORMAT_TIME) {
        gst_query_set_duration(
            query, format, static_cast<gint64>(frames_to_time(duration, rate)));
        return TRUE;
      }
      if (format == GST_FORMAT_DEFAULT) {
        gst_query_set_duration(query, format, static_cast<gint64>(duration));
        return TRUE;
      }
      break;
    }
    case GST_QUERY_POSITION: {
      GstFormat format;
      gst_query_parse_position(query, &format, nullptr);
      if (!have_info) break;
      if (format == GST_FORMAT_TIME) {
        gst_query_set_position(query, format, static_cast<gint64>(position));
        return TRUE;
      }
      if (format == GST_FORMAT_DEFAULT) {
        gst_query_set_position(query, format,
                               static_cast<gint64>(gst_util_uint64_scale(
                                   position, rate, GST_SECOND)));
        return TRUE;
      }
      break;
    }
    case GST_QUERY_SEEKING: {
      GstFormat format;
      gst_query_parse_seeking(query, &format, nullptr, nullptr, nullptr);
      if (format != GST_FORMAT_TIME && format != GST_FORMAT_DEFAULT) break;
      if (!have_info) {
        gst_query_set_seeking(query, format, FALSE, -1, -1);
        return TRUE;
      }
      const uint64_t end =
          format == GST_FORMAT_TIME ? frames_to_time(duration, rate) : duration;
      gst_query_set_seeking(query, format, seekable, 0,
                            static_cast<gint64>(end));
      return TRUE;
    }
    case GST_QUERY_CONVERT: {
      if (!have_info) break;
      GstFormat from, to;
      gint64 value, result;
      gst_query_parse_convert(query, &from, &value, &to, nullptr);
      if (!gst_audio_info_convert(&info, from, value, to, &result)) {
        return FALSE;
      }
      gst_query_set_convert(query, from, value, to, result);
      return TRUE;
    }
    default:
      break;
  }
  return gst_pad_query_default(pad, parent, query);
}

gboolean src_event(GstPad* pad, GstObject* parent, GstEvent* event) {
  auto* dec = GST_VELKA_DEC(parent);
  if (GST_EVENT_TYPE(event) == GST_EVENT_SEEK) {
    const gboolean ok = handle_seek(dec, event);
    gst_event_unref(event);
    return ok;
  }
  return gst_pad_event_default(pad, parent, event);
}

// ---------------------------------------------------------------------------
// Element life.

void reset(GstVelkaDec* dec) {
  if (dec->srcpad != nullptr) {
    gst_pad_set_active(dec->srcpad, FALSE);
    gst_element_remove_pad(GST_ELEMENT_CAST(dec), dec->srcpad);
    dec->srcpad = nullptr;
  }
  close_stream(dec);
  velk_host_release(dec->host);
  dec->host = nullptr;
  dec->failed = FALSE;
  dec->decoded_frame = 0;
  dec->next_frame = 0;
  dec->stop_frame = 0;
  dec->need_segment = TRUE;
  dec->discont = TRUE;
  dec->seek_seqnum = 0;
  dec->sent_tags = FALSE;
  dec->nominal_bit_rate = 0;
  dec->offset = 0;
  dec->read_flow = GST_FLOW_OK;
  reset_push_input(dec);
  GST_OBJECT_LOCK(dec);
  dec->have_info = FALSE;
  gst_audio_info_init(&dec->info);
  dec->total_frames = 0;
  dec->duration_frames = 0;
  dec->seekable = FALSE;
  gst_segment_init(&dec->segment, GST_FORMAT_TIME);
  GST_OBJECT_UNLOCK(dec);
}

GstStateChangeReturn change_state(GstElement* element,
                                  GstStateChange transition) {
  auto* dec = GST_VELKA_DEC(element);
  if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) reset(dec);
  const GstStateChangeReturn result =
      GST_ELEMENT_CLASS(gst_velka_dec_parent_class)
          ->change_state(element, transition);
  if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) reset(dec);
  return result;
}

void set_property(GObject* object, guint id, const GValue* value,
                  GParamSpec* pspec) {
  auto* dec = GST_VELKA_DEC(object);
  GST_OBJECT_LOCK(dec);
  switch (id) {
    case PROP_PLUGIN_PATH:
      g_free(dec->plugin_path);
      dec->plugin_path = g_value_dup_string(value);
      break;
    case PROP_UNPOSITIONED:
      dec->unpositioned = g_value_get_boolean(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(dec);
}

void get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  auto* dec = GST_VELKA_DEC(object);
  GST_OBJECT_LOCK(dec);
  switch (id) {
    case PROP_PLUGIN_PATH:
      g_value_set_string(value, dec->plugin_path);
      break;
    case PROP_UNPOSITIONED:
      g_value_set_boolean(value, dec->unpositioned);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(dec);
}

void finalize(GObject* object) {
  auto* dec = GST_VELKA_DEC(object);
  close_stream(dec);
  velk_host_release(dec->host);
  g_object_unref(dec->adapter);
  g_free(dec->plugin_path);
  G_OBJECT_CLASS(gst_velka_dec_parent_class)->finalize(object);
}

}  // namespace

static void gst_velka_dec_class_init(GstVelkaDecClass* klass) {
  GObjectClass* object_class = G_OBJECT_CLASS(klass);
  GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
  object_class->set_property = set_property;
  object_class->get_property = get_property;
  object_class->finalize = finalize;
  const auto flags = static_cast<GParamFlags>(
      G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
  g_object_class_install_property(
      object_class, PROP_PLUGIN_PATH,
      g_param_spec_string(
          "plugin-path", "Decoder module",
          "Path of the Velk audio decoder module to load (overrides "
          "VELKA_PLUGIN and the module installed beside this plug-in)",
          nullptr, flags));
  g_object_class_install_property(
      object_class, PROP_UNPOSITIONED,
      g_param_spec_boolean(
          "unpositioned", "Unpositioned channels",
          "Leave 3 to 8 channels without positions instead of giving them "
          "the WAV and FLAC default layout (FL FR FC, FL FR BL BR, FL FR FC "
          "BL BR, 5.1, 6.1 with BC SL SR, 7.1 with SL SR)",
          FALSE, flags));
  element_class->change_state = GST_DEBUG_FUNCPTR(change_state);
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);
  gst_element_class_set_static_metadata(
      element_class, "Velk audio decoder", "Codec/Demuxer/Decoder/Audio",
      "Decodes Velk audio files to 16-bit PCM through the vlkdec module",
      "vlkdec project");
}

static void gst_velka_dec_init(GstVelkaDec* dec) {
  dec->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
  gst_pad_set_activate_function(dec->sinkpad, GST_DEBUG_FUNCPTR(sink_activate));
  gst_pad_set_activatemode_function(dec->sinkpad,
                                    GST_DEBUG_FUNCPTR(sink_activate_mode));
  gst_pad_set_chain_function(dec->sinkpad, GST_DEBUG_FUNCPTR(sink_chain));
  gst_pad_set_event_function(dec->sinkpad, GST_DEBUG_FUNCPTR(sink_event));
  gst_element_add_pad(GST_ELEMENT_CAST(dec), dec->sinkpad);
  dec->adapter = gst_adapter_new();
  gst_segment_init(&dec->segment, GST_FORMAT_TIME);
  gst_audio_info_init(&dec->info);
}
