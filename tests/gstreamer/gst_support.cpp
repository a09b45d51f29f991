#include "gst_support.h"

#include <gst/app/gstappsink.h>
#include <gst/audio/audio.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/plugin_host.h"
#include "support/test_data.h"

namespace orv::gsttest {
namespace {

// GStreamer finds the plug-in in the build tree; its registry is kept in
// the build tree too, so that the system's registry is never touched.
class GstEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_setenv("GST_PLUGIN_PATH", ORV_GST_PLUGIN_DIR, TRUE);
    g_setenv("GST_REGISTRY", ORV_GST_REGISTRY, TRUE);
    g_unsetenv("VELKA_PLUGIN");
#ifdef ORV_GST_TOOL_ENV
    // Sanitizer builds: GStreamer's plug-in scanner, an uninstrumented
    // program, cannot load the instrumented plug-in, so plug-ins are
    // scanned in process. gst-inspect-1.0 (runtimes preloaded) scans first
    // and writes the registry this process reads: scanning every plug-in
    // grows GLib's quark table, whose first block GLib never frees, and
    // LeakSanitizer would blame that on this process.
    g_setenv("GST_REGISTRY_FORK", "no", TRUE);
    if (std::system(ORV_GST_TOOL_ENV " gst-inspect-1.0 velka >/dev/null") !=
        0) {
      std::fprintf(stderr, "gst-inspect-1.0 cannot load the plug-in\n");
    }
#endif
    gst_init(nullptr, nullptr);
  }
};

[[maybe_unused]] ::testing::Environment* const environment =
    ::testing::AddGlobalTestEnvironment(new GstEnvironment);

// The error's text and its debug details (where a bin that plugs elements
// automatically puts the failing element's own text).
std::string error_text(GstMessage* message) {
  GError* error = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(message, &error, &debug);
  std::string text = error != nullptr ? error->message : "error";
  if (debug != nullptr) text = text + "\n" + debug;
  g_clear_error(&error);
  g_free(debug);
  return text.empty() ? "error" : text;
}

}  // namespace

std::string wait_for_end(GstElement* pipeline, int timeout_s) {
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message = gst_bus_timed_pop_filtered(
      bus, GST_SECOND * static_cast<uint64_t>(timeout_s),
      static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_object_unref(bus);
  if (message == nullptr) return "timeout";
  std::string result;
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    result = error_text(message);
  }
  gst_message_unref(message);
  return result;
}

Output drain(GstElement* pipeline, int timeout_s) {
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  EXPECT_NE(sink, nullptr);
  if (sink == nullptr) return {};
  Output out = drain(pipeline, sink, timeout_s);
  gst_object_unref(sink);
  return out;
}

Output drain(GstElement* pipeline, GstElement* sink, int timeout_s) {
  Output out;
  const gint64 deadline =
      g_get_monotonic_time() + gint64{timeout_s} * G_USEC_PER_SEC;
  while (g_get_monotonic_time() < deadline) {
    GstSample* sample =
        gst_app_sink_try_pull_sample(GST_APP_SINK(sink), GST_SECOND / 10);
    if (sample == nullptr) {
      if (gst_app_sink_is_eos(GST_APP_SINK(sink))) {
        out.eos = true;
        break;
      }
      GstBus* bus = gst_element_get_bus(pipeline);
      GstMessage* error = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
      gst_object_unref(bus);
      if (error != nullptr) {
        out.error = error_text(error);
        gst_message_unref(error);
        break;
      }
      continue;
    }
    if (out.rate == 0) {
      GstAudioInfo info;
      if (gst_audio_info_from_caps(&info, gst_sample_get_caps(sample))) {
        out.rate = GST_AUDIO_INFO_RATE(&info);
        out.channels = GST_AUDIO_INFO_CHANNELS(&info);
        out.format = gst_audio_format_to_string(GST_AUDIO_INFO_FORMAT(&info));
        if (!GST_AUDIO_INFO_IS_UNPOSITIONED(&info)) {
          guint64 mask = 0;
          gst_audio_channel_positions_to_mask(info.position, out.channels,
                                              FALSE, &mask);
          out.channel_mask = mask;
        }
      }
    }
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    BufferInfo b;
    b.pts = GST_BUFFER_PTS(buffer);
    b.duration = GST_BUFFER_DURATION(buffer);
    b.offset = GST_BUFFER_OFFSET(buffer);
    b.bytes = gst_buffer_get_size(buffer);
    const size_t old = out.pcm.size();
    out.pcm.resize(old + b.bytes);
    gst_buffer_extract(buffer, 0, out.pcm.data() + old, b.bytes);
    out.buffers.push_back(b);
    gst_sample_unref(sample);
  }
  return out;
}

Output run(const std::string& description, int timeout_s) {
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (pipeline == nullptr || error != nullptr) {
    ADD_FAILURE() << description << ": "
                  << (error != nullptr ? error->message : "");
    g_clear_error(&error);
    if (pipeline != nullptr) gst_object_unref(pipeline);
    return {};
  }
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  Output out = drain(pipeline, timeout_s);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return out;
}

std::vector<uint8_t> reference_decode(const std::string& path) {
  orv::host::Plugin plugin(ORV_PLUGIN_PATH);
  orv::host::Stream stream = plugin.open(path);
  const VelkHostFileHeader& h = stream.header();
  return stream.pull_all(65536, size_t{h.total_samples} * 2 * h.channels);
}

uint32_t header_total_frames(const std::string& path) {
  const std::vector<uint8_t> bytes = orv::test::read_file(path);
  if (bytes.size() < 12) return 0;
  uint32_t total = 0;
  std::memcpy(&total, bytes.data() + 8, 4);
  return total;
}

}  // namespace orv::gsttest
