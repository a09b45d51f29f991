// The velkadec element in process: whole decodes in push mode (GstHarness)
// and pull mode, seeks, queries, errors and damaged input.
#include <gst/app/gstappsink.h>
#include <gst/check/gstharness.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gst_support.h"
#include "support/host_test_files.h"
#include "support/test_data.h"

namespace {

using orv::gsttest::BufferInfo;
using orv::gsttest::frames_to_time;
using orv::gsttest::Output;
using orv::gsttest::run;
using orv::test::TempDir;

// Buffers follow each other without gap or overlap, each stamped from its
// first frame's index in the file.
void expect_contiguous(const std::vector<BufferInfo>& buffers, int rate,
                       int channels, uint64_t first_frame) {
  uint64_t frame = first_frame;
  for (size_t i = 0; i < buffers.size(); ++i) {
    const BufferInfo& b = buffers[i];
    const uint64_t frames = b.bytes / (2 * static_cast<size_t>(channels));
    ASSERT_EQ(b.offset, frame) << "buffer " << i;
    ASSERT_EQ(b.pts, frames_to_time(frame, rate)) << "buffer " << i;
    ASSERT_EQ(b.pts + b.duration, frames_to_time(frame + frames, rate))
        << "buffer " << i;
    frame += frames;
  }
}

// Pushes the whole file through a harness in small buffers, then EOS.
Output decode_with_harness(const std::vector<uint8_t>& file) {
  static GstStaticPadTemplate any_src = GST_STATIC_PAD_TEMPLATE(
      "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
  static GstStaticPadTemplate any_sink = GST_STATIC_PAD_TEMPLATE(
      "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);
  // The source pad appears once the header is read.
  GstHarness* h =
      gst_harness_new_full(gst_element_factory_make("velkadec", nullptr),
                           &any_src, "sink", &any_sink, nullptr);
  g_signal_connect(h->element, "pad-added",
                   G_CALLBACK(+[](GstElement*, GstPad* pad, GstHarness* hh) {
                     gst_harness_add_element_src_pad(hh, pad);
                   }),
                   h);
  gst_harness_set_src_caps_str(h, "audio/x-velka");
  for (size_t at = 0; at < file.size(); at += 3000) {
    const size_t n = std::min<size_t>(3000, file.size() - at);
    GstBuffer* buffer = gst_buffer_new_memdup(file.data() + at, n);
    EXPECT_EQ(gst_harness_push(h, buffer), GST_FLOW_OK);
  }
  EXPECT_TRUE(gst_harness_push_event(h, gst_event_new_eos()));
  Output out;
  GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
  if (caps != nullptr) {
    GstStructure* s = gst_caps_get_structure(caps, 0);
    gst_structure_get_int(s, "rate", &out.rate);
    gst_structure_get_int(s, "channels", &out.channels);
    out.format = gst_structure_get_string(s, "format");
    gst_caps_unref(caps);
  }
  while (GstBuffer* buffer = gst_harness_try_pull(h)) {
    BufferInfo b{GST_BUFFER_PTS(buffer), GST_BUFFER_DURATION(buffer),
                 GST_BUFFER_OFFSET(buffer), gst_buffer_get_size(buffer)};
    const size_t old = out.pcm.size();
    out.pcm.resize(old + b.bytes);
    gst_buffer_extract(buffer, 0, out.pcm.data() + old, b.bytes);
    out.buffers.push_back(b);
    gst_buffer_unref(buffer);
  }
  while (GstEvent* event = gst_harness_try_pull_event(h)) {
    if (GST_EVENT_TYPE(event) == GST_EVENT_EOS) out.eos = true;
    gst_event_unref(event);
  }
  gst_harness_teardown(h);
  return out;
}

// Every known-answer file, the demo piece, and a cut and a damaged copy,
// in both modes:
// the PCM of a decode through the host library up to the header's sample
// count, contiguous time stamps, the file's format, EOS.
TEST(VelkaDec, DecodesWholeFilesInPushAndPullMode) {
  TempDir dir;
  std::vector<std::string> paths;
  for (const char* name : orv::test::known_answer_names) {
    paths.push_back(
        orv::test::data_path(std::string("vectors/files/") + name + ".VELKA"));
  }
  {
    const std::vector<uint8_t> whole = orv::test::read_file(paths.back());
    std::vector<uint8_t> cut(
        whole.begin(), whole.begin() + static_cast<long>(whole.size() * 3 / 5));
    orv::test::write_bytes(dir.file("cut.VELKA"), cut);
    std::vector<uint8_t> damaged = whole;
    for (size_t i = whole.size() / 3; i < whole.size() / 3 + 700; ++i) {
      damaged[i] = static_cast<uint8_t>(i * 37);
    }
    orv::test::write_bytes(dir.file("damaged.VELKA"), damaged);
    // Long enough for push mode to decode before upstream's end.
    paths.push_back(std::string(ORV_SOURCE_DIR) + "/samples/demo.velka");
    paths.push_back(dir.file("cut.VELKA"));
    paths.push_back(dir.file("damaged.VELKA"));
  }
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const std::vector<uint8_t> file = orv::test::read_file(path);
    const std::vector<uint8_t> expected = orv::gsttest::reference_decode(path);
    const int channels = file[5];
    const int rate = file[6] | file[7] << 8;
    const Output outputs[] = {
        decode_with_harness(file),
        run("filesrc location=" + path +
            " ! velkadec ! appsink name=sink sync=false")};
    for (const Output& out : outputs) {
      EXPECT_EQ(out.error, "");
      EXPECT_TRUE(out.eos);
      EXPECT_EQ(out.format, "S16LE");
      EXPECT_EQ(out.rate, rate);
      EXPECT_EQ(out.channels, channels);
      EXPECT_TRUE(out.pcm == expected)
          << out.pcm.size() << " bytes against " << expected.size();
      expect_contiguous(out.buffers, rate, channels, 0);
    }
  }
}

struct SeekCase {
  unsigned channels;
  unsigned rate;
  unsigned blocks_per_entry;
};

// 40 accurate flushing seeks in each file: the first buffer starts at the
// requested sample, stamped with the requested time, and the second after
// it equals the whole decode there (from the end of the crossfade with the
// audio decoded before the jump). Each seek flushes upstream as well.
TEST(VelkaDec, SeeksToTheExactSample) {
  TempDir dir;
  const SeekCase cases[] = {{2, 44100, 4}, {1, 32000, 3}, {6, 48000, 2}};
  for (const SeekCase& c : cases) {
    orv::test::EncodedCase e;
    e.name = "seek-" + std::to_string(c.channels);
    e.channels = c.channels;
    e.sample_rate = c.rate;
    e.frames = c.rate * 4;
    e.options.blocks_per_seek_entry = c.blocks_per_entry;
    const std::string path = orv::test::write_encoded_file(dir, e);
    SCOPED_TRACE(path);
    const std::vector<uint8_t> whole = orv::gsttest::reference_decode(path);
    const size_t frame_bytes = 2 * c.channels;
    const uint64_t total = whole.size() / frame_bytes;
    const uint64_t block = c.rate >= 44100 ? 1920 : c.rate >= 22050 ? 960 : 480;
    const uint64_t crossfade = block * 16 / 15 / 16;
    const uint64_t per_entry = block * c.blocks_per_entry;

    GstElement* pipeline = gst_parse_launch(
        ("filesrc location=" + path +
         " name=src ! velkadec ! appsink name=sink sync=false max-buffers=8")
            .c_str(),
        nullptr);
    ASSERT_NE(pipeline, nullptr);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstPad* src_pad = gst_element_get_static_pad(src, "src");
    int upstream_flushes = 0;
    gst_pad_add_probe(
        src_pad,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_EVENT_FLUSH |
                                     GST_PAD_PROBE_TYPE_EVENT_UPSTREAM),
        +[](GstPad*, GstPadProbeInfo* info, gpointer count) {
          if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) ==
              GST_EVENT_FLUSH_START) {
            ++*static_cast<int*>(count);
          }
          return GST_PAD_PROBE_OK;
        },
        &upstream_flushes, nullptr);
    gst_object_unref(src_pad);
    gst_object_unref(src);
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    ASSERT_EQ(
        gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND),
        GST_STATE_CHANGE_SUCCESS);
    for (uint64_t i = 0; i < 40; ++i) {
      // Spread over the file, off the entry grid, with both ends.
      const uint64_t target = i == 0    ? 0
                              : i == 39 ? total - 5
                                        : (i * 104729 + i * i * 13) % total;
      SCOPED_TRACE(target);
      const uint64_t time = frames_to_time(target, static_cast<int>(c.rate));
      ASSERT_TRUE(gst_element_seek_simple(
          pipeline, GST_FORMAT_TIME,
          static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH |
                                    GST_SEEK_FLAG_ACCURATE),
          static_cast<gint64>(time)));
      gst_element_set_state(pipeline, GST_STATE_PLAYING);
      std::vector<uint8_t> got;
      bool first = true;
      const uint64_t want = std::min<uint64_t>(c.rate, total - target);
      while (got.size() < want * frame_bytes) {
        GstSample* sample =
            gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 5 * GST_SECOND);
        ASSERT_NE(sample, nullptr);
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        if (first) {
          EXPECT_EQ(GST_BUFFER_PTS(buffer), time);
          EXPECT_EQ(GST_BUFFER_OFFSET(buffer), target);
          first = false;
        }
        const size_t old = got.size();
        got.resize(old + gst_buffer_get_size(buffer));
        gst_buffer_extract(buffer, 0, got.data() + old,
                           gst_buffer_get_size(buffer));
        gst_sample_unref(sample);
      }
      gst_element_set_state(pipeline, GST_STATE_PAUSED);
      const uint64_t exact_from =
          std::max(target, target / per_entry * per_entry + crossfade);
      for (uint64_t f = exact_from; f < target + want; ++f) {
        const size_t at = (f - target) * frame_bytes;
        ASSERT_TRUE(
            std::equal(got.begin() + static_cast<long>(at),
                       got.begin() + static_cast<long>(at + frame_bytes),
                       whole.begin() + static_cast<long>(f * frame_bytes)))
            << "frame " << f;
      }
    }
    EXPECT_EQ(upstream_flushes, 40);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
  }
}

// A segment seek plays [start, stop) exactly and ends with SEGMENT_DONE;
// the queries answer from the header, and the tags name the codec.
TEST(VelkaDec, SegmentSeeksQueriesAndTags) {
  const std::string path =
      orv::test::data_path("vectors/files/signal-chord-2ch-44100.VELKA");
  const int rate = 44100;
  const uint64_t total = orv::gsttest::header_total_frames(path);
  GstElement* pipeline =
      gst_parse_launch(("filesrc location=" + path +
                        " ! velkadec name=dec ! appsink name=sink sync=false")
                           .c_str(),
                       nullptr);
  ASSERT_NE(pipeline, nullptr);
  GstElement* dec = gst_bin_get_by_name(GST_BIN(pipeline), "dec");
  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  ASSERT_EQ(gst_element_get_state(pipeline, nullptr, nullptr, 10 * GST_SECOND),
            GST_STATE_CHANGE_SUCCESS);

  gint64 value = 0;
  EXPECT_TRUE(gst_element_query_duration(dec, GST_FORMAT_TIME, &value));
  EXPECT_EQ(static_cast<uint64_t>(value), frames_to_time(total, rate));
  EXPECT_TRUE(gst_element_query_duration(dec, GST_FORMAT_DEFAULT, &value));
  EXPECT_EQ(static_cast<uint64_t>(value), total);
  GstQuery* seeking = gst_query_new_seeking(GST_FORMAT_TIME);
  EXPECT_TRUE(gst_element_query(dec, seeking));
  gboolean seekable = FALSE;
  gint64 start = -1, end = -1;
  gst_query_parse_seeking(seeking, nullptr, &seekable, &start, &end);
  gst_query_unref(seeking);
  EXPECT_TRUE(seekable);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(static_cast<uint64_t>(end), frames_to_time(total, rate));
  EXPECT_TRUE(gst_element_query_convert(dec, GST_FORMAT_DEFAULT, rate,
                                        GST_FORMAT_TIME, &value));
  EXPECT_EQ(value, static_cast<gint64>(GST_SECOND));
  EXPECT_TRUE(gst_element_query_convert(dec, GST_FORMAT_TIME, GST_SECOND,
                                        GST_FORMAT_BYTES, &value));
  EXPECT_EQ(value, rate * 4);
  EXPECT_TRUE(gst_element_query_position(dec, GST_FORMAT_DEFAULT, &value));

  // The tags came before the first buffer.
  GstPad* src = gst_element_get_static_pad(dec, "src");
  ASSERT_NE(src, nullptr);
  GstEvent* tag_event = gst_pad_get_sticky_event(src, GST_EVENT_TAG, 0);
  ASSERT_NE(tag_event, nullptr);
  GstTagList* tags = nullptr;
  gst_event_parse_tag(tag_event, &tags);
  gchar* codec = nullptr;
  guint bit_rate = 0;
  EXPECT_TRUE(gst_tag_list_get_string(tags, GST_TAG_AUDIO_CODEC, &codec));
  EXPECT_STREQ(codec, "Velk audio");
  EXPECT_TRUE(gst_tag_list_get_uint(tags, GST_TAG_NOMINAL_BITRATE, &bit_rate));
  EXPECT_GT(bit_rate, 0u);
  g_free(codec);
  gst_event_unref(tag_event);
  gst_object_unref(src);

  const uint64_t from = 10007, to = 30011;
  ASSERT_TRUE(gst_element_seek(
      pipeline, 1.0, GST_FORMAT_DEFAULT,
      static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE |
                                GST_SEEK_FLAG_SEGMENT),
      GST_SEEK_TYPE_SET, static_cast<gint64>(from), GST_SEEK_TYPE_SET,
      static_cast<gint64>(to)));
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* done = gst_bus_timed_pop_filtered(
      bus, 10 * GST_SECOND,
      static_cast<GstMessageType>(GST_MESSAGE_SEGMENT_DONE |
                                  GST_MESSAGE_ERROR));
  ASSERT_NE(done, nullptr);
  EXPECT_EQ(GST_MESSAGE_TYPE(done), GST_MESSAGE_SEGMENT_DONE);
  gst_message_unref(done);
  gst_object_unref(bus);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  uint64_t frames = 0;
  while (GstSample* sample =
             gst_app_sink_try_pull_sample(GST_APP_SINK(sink), GST_SECOND / 5)) {
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (frames == 0) {
      EXPECT_EQ(GST_BUFFER_OFFSET(buffer), from);
    }
    frames += gst_buffer_get_size(buffer) / 4;
    gst_sample_unref(sample);
  }
  EXPECT_EQ(frames, to - from);
  gst_object_unref(sink);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(dec);
  gst_object_unref(pipeline);
}

// A missing decoder module or a refused file: an error message that says
// so, never a hang. The property names the module ahead of VELKA_PLUGIN.
// Under decodebin, in pull and in push mode, a refused file is velkadec's
// own decode error naming the reason, not a missing plug-in.
TEST(VelkaDec, ReportsMissingModuleAndRefusedFile) {
  const std::string good =
      orv::test::data_path("vectors/files/ch2-48000.VELKA");
  auto run_with = [](const std::string& description) {
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    const std::string end = orv::gsttest::wait_for_end(pipeline, 10);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return end;
  };
  const std::string missing =
      run_with("filesrc location=" + good +
               " ! velkadec plugin-path=/nonexistent/libvlkdec.so ! fakesink");
  EXPECT_NE(missing.find("Cannot load the Velk audio decoder module "
                         "'/nonexistent/libvlkdec.so'"),
            std::string::npos)
      << missing;
  g_setenv("VELKA_PLUGIN", "/nonexistent/from-env.so", TRUE);
  EXPECT_NE(run_with("filesrc location=" + good + " ! velkadec ! fakesink")
                .find("from-env.so"),
            std::string::npos);
  EXPECT_EQ(run_with("filesrc location=" + good +
                     " ! velkadec plugin-path=" ORV_PLUGIN_PATH " ! fakesink"),
            "");
  g_unsetenv("VELKA_PLUGIN");

  TempDir dir;
  std::vector<uint8_t> refused = orv::test::read_file(good);
  refused[4] = 9;  // no such format version
  orv::test::write_bytes(dir.file("refused.VELKA"), refused);
  for (const char* mode : {" ! ", " ! queue ! "}) {
    SCOPED_TRACE(mode);
    GstElement* pipeline =
        gst_parse_launch(("filesrc location=" + dir.file("refused.VELKA") +
                          mode + "decodebin ! fakesink")
                             .c_str(),
                         nullptr);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message =
        gst_bus_timed_pop_filtered(bus, 10 * GST_SECOND, GST_MESSAGE_ERROR);
    ASSERT_NE(message, nullptr);
    GError* error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    EXPECT_TRUE(g_str_has_prefix(GST_OBJECT_NAME(GST_MESSAGE_SRC(message)),
                                 "velkadec"));
    EXPECT_TRUE(
        g_error_matches(error, GST_STREAM_ERROR, GST_STREAM_ERROR_DECODE));
    EXPECT_NE(std::string(error->message).find("refuses the file"),
              std::string::npos)
        << error->message;
    g_clear_error(&error);
    gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
  }
}

// 3 to 8 channels carry the WAV and FLAC default positions in the caps, or
// none with the unpositioned property.
TEST(VelkaDec, GivesTheDefaultChannelLayoutUnlessUnpositioned) {
  struct Layout {
    unsigned channels;
    uint64_t mask;  // GStreamer's channel-mask bits
  };
  const Layout layouts[] = {{3, 0x7},  {4, 0x33},  {5, 0x37},
                            {6, 0x3F}, {7, 0xD0F}, {8, 0xC3F}};
  TempDir dir;
  for (const Layout& l : layouts) {
    SCOPED_TRACE(l.channels);
    orv::test::EncodedCase e;
    e.name = "ch" + std::to_string(l.channels);
    e.channels = l.channels;
    e.sample_rate = 8000;
    e.frames = 2000;
    const std::string path = orv::test::write_encoded_file(dir, e);
    for (const bool unpositioned : {false, true}) {
      const Output out =
          run("filesrc location=" + path +
              " ! velkadec unpositioned=" + (unpositioned ? "true" : "false") +
              " ! appsink name=sink sync=false");
      EXPECT_EQ(out.error, "");
      EXPECT_EQ(out.channels, static_cast<int>(l.channels));
      EXPECT_EQ(out.channel_mask, unpositioned ? 0 : l.mask);
    }
  }
}

// A 5.1 file with sound in its centre channel alone plays through playbin
// into a stereo sink: the centre is mixed into both sides.
TEST(VelkaDec, PlaysSixChannelsThroughPlaybinToStereo) {
  const unsigned channels = 6, rate = 48000, frames = 24000;
  std::vector<int16_t> pcm(size_t{frames} * channels, 0);
  for (unsigned f = 0; f < frames; ++f) {
    pcm[size_t{f} * channels + 2] =
        static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * f / rate));
  }
  TempDir dir;
  const std::string path = dir.file("centre.velka");
  orv::test::write_bytes(
      path, orv::encoder::encode_to_memory(pcm.data(), frames, channels, rate));

  GstElement* sink_bin = gst_parse_bin_from_description(
      "capsfilter caps=audio/x-raw,channels=2 ! appsink name=sink sync=false",
      TRUE, nullptr);
  ASSERT_NE(sink_bin, nullptr);
  GstElement* sink = gst_bin_get_by_name(GST_BIN(sink_bin), "sink");
  GstElement* playbin = gst_element_factory_make("playbin", nullptr);
  gchar* uri = gst_filename_to_uri(path.c_str(), nullptr);
  g_object_set(playbin, "uri", uri, "audio-sink", sink_bin, nullptr);
  g_free(uri);
  gst_element_set_state(playbin, GST_STATE_PLAYING);
  const Output out = orv::gsttest::drain(playbin, sink);
  gst_element_set_state(playbin, GST_STATE_NULL);
  gst_object_unref(sink);
  gst_object_unref(playbin);

  EXPECT_EQ(out.error, "");
  EXPECT_TRUE(out.eos);
  ASSERT_EQ(out.channels, 2);
  const size_t got = out.pcm.size() / 4;
  EXPECT_EQ(got, frames);
  // Each side carries the centre at no less than -20 dB (the mix lowers
  // it by about 13); taking the first two channels alone gives silence.
  double energy[2] = {0, 0};
  for (size_t f = 0; f < got; ++f) {
    for (int c = 0; c < 2; ++c) {
      int16_t v;
      std::memcpy(&v, &out.pcm[f * 4 + 2 * static_cast<size_t>(c)], 2);
      energy[c] += static_cast<double>(v) * v;
    }
  }
  const double centre = 8000.0 * 8000.0 / 2 * got;
  EXPECT_GT(energy[0], centre / 100) << 10 * std::log10(energy[0] / centre);
  EXPECT_GT(energy[1], centre / 100) << 10 * std::log10(energy[1] / centre);
}

// Every fuzz seed and corpus file and the damaged known-answer file, found
// by decodebin in pull and in push mode: EOS or an error, in time.
TEST(VelkaDec, DamagedInputEndsCleanly) {
  namespace fs = std::filesystem;
  std::vector<std::string> paths = {
      orv::test::data_path("vectors/files/damage-garbage-between.VELKA")};
  for (const char* folder : {"fuzz/seeds", "fuzz/corpus"}) {
    for (const auto& entry :
         fs::recursive_directory_iterator(fs::path(ORV_SOURCE_DIR) / folder)) {
      if (entry.is_regular_file()) paths.push_back(entry.path().string());
    }
  }
  // The stream decoder's corpus holds whole files behind a control byte
  // and a read schedule: the files alone as well.
  TempDir dir;
  const fs::path streams =
      fs::path(ORV_SOURCE_DIR) / "fuzz/corpus/decode_stream";
  for (const auto& entry : fs::directory_iterator(streams)) {
    const std::vector<uint8_t> input = orv::test::read_file(entry.path());
    const size_t skip = 1 + (input.empty() ? 0 : input[0] & 15);
    if (input.size() <= skip) continue;
    const std::string path = dir.file(entry.path().filename().string());
    orv::test::write_bytes(
        path, {input.begin() + static_cast<long>(skip), input.end()});
    paths.push_back(path);
  }
  ASSERT_GT(paths.size(), 100u);
  for (const std::string& path : paths) {
    for (const char* mode : {" ! ", " ! queue ! "}) {
      SCOPED_TRACE(path + mode);
      GstElement* pipeline = gst_parse_launch(
          ("filesrc location=" + path + mode + "decodebin ! fakesink").c_str(),
          nullptr);
      ASSERT_NE(pipeline, nullptr);
      gst_element_set_state(pipeline, GST_STATE_PLAYING);
      EXPECT_NE(orv::gsttest::wait_for_end(pipeline, 10), "timeout");
      gst_element_set_state(pipeline, GST_STATE_NULL);
      gst_object_unref(pipeline);
    }
  }
}

}  // namespace
