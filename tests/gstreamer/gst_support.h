// Helpers for the GStreamer plug-in's tests: the plug-in registered from
// the build tree, pipelines run to their end into an appsink, and the
// reference decodes they are compared with.
#ifndef ORV_TESTS_GSTREAMER_GST_SUPPORT_H
#define ORV_TESTS_GSTREAMER_GST_SUPPORT_H

#include <gst/gst.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orv::gsttest {

// One buffer as it reached the sink.
struct BufferInfo {
  uint64_t pts = 0;
  uint64_t duration = 0;
  uint64_t offset = 0;
  size_t bytes = 0;
};

struct Output {
  std::vector<uint8_t> pcm;
  std::vector<BufferInfo> buffers;
  int rate = 0;
  int channels = 0;
  std::string format;
  uint64_t channel_mask = 0;
  bool eos = false;
  std::string error;  // the first error message's text and details
};

// Reads `sink`, an appsink in the playing `pipeline`, until EOS, an error
// or `timeout_s`.
Output drain(GstElement* pipeline, GstElement* sink, int timeout_s = 20);
// The same for the pipeline's appsink named "sink".
Output drain(GstElement* pipeline, int timeout_s = 20);
// Builds `description`, plays it and drains it; the pipeline is freed.
Output run(const std::string& description, int timeout_s = 20);

// Waits for EOS or an error on the bus; "" on EOS, the error's text and
// debug details, or "timeout".
std::string wait_for_end(GstElement* pipeline, int timeout_s);

// What the host library (as velka decode) gives for the file, cut to the
// header's sample count.
std::vector<uint8_t> reference_decode(const std::string& path);

// Frames to time, as the element stamps them.
inline uint64_t frames_to_time(uint64_t frames, int rate) {
  return gst_util_uint64_scale_int(frames, GST_SECOND, rate);
}

// The header's total sample frames.
uint32_t header_total_frames(const std::string& path);

}  // namespace orv::gsttest

#endif
