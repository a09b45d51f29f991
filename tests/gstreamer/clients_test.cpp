// GStreamer's own programs with the plug-in from the build tree: they find
// the type, plug the element and play, convert and describe files.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "gst_support.h"
#include "support/host_test_files.h"
#include "support/test_data.h"

namespace {

using orv::test::TempDir;

struct Result {
  int status = -1;
  std::string output;
};

// Sanitizer builds run GStreamer's programs with the runtimes preloaded.
#ifndef ORV_GST_TOOL_ENV
#define ORV_GST_TOOL_ENV ""
#endif

// Runs a shell command under a time limit, its output captured.
Result run_command(const std::string& command) {
  Result r;
  FILE* pipe = popen(
      ("timeout 60 " ORV_GST_TOOL_ENV " " + command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
    r.output.append(chunk, n);
  const int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
         uint32_t{p[3]} << 24;
}

// The samples of a WAV file's data chunk, and its format's channels and rate.
struct Wav {
  unsigned channels = 0;
  unsigned rate = 0;
  std::vector<uint8_t> data;
};

Wav read_wav(const std::string& path) {
  Wav wav;
  const std::vector<uint8_t> bytes = orv::test::read_file(path);
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0) {
    return wav;
  }
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const uint32_t size = le32(&bytes[at + 4]);
    const size_t body = at + 8;
    const size_t end = std::min(bytes.size(), body + size);
    if (std::memcmp(&bytes[at], "fmt ", 4) == 0 && size >= 16) {
      wav.channels = bytes[body + 2] | bytes[body + 3] << 8;
      wav.rate = le32(&bytes[body + 4]);
    } else if (std::memcmp(&bytes[at], "data", 4) == 0) {
      wav.data.assign(bytes.begin() + static_cast<long>(body),
                      bytes.begin() + static_cast<long>(end));
    }
    at = body + size + (size & 1);
  }
  return wav;
}

std::string file_path(const char* name) {
  return orv::test::data_path(std::string("vectors/files/") + name + ".VELKA");
}

// gst-launch-1.0 converts every known-answer file to WAV with the samples
// velka decode gives.
TEST(GstClients, LaunchConvertsEveryKnownAnswerFile) {
  TempDir dir;
  for (const char* name : orv::test::known_answer_names) {
    SCOPED_TRACE(name);
    const std::string wav_path = dir.file(std::string(name) + ".wav");
    const std::string raw_path = dir.file(std::string(name) + ".raw");
    const Result launch = run_command(
        "gst-launch-1.0 -q filesrc location=" + file_path(name) +
        " ! decodebin ! audioconvert ! wavenc ! filesink location=" + wav_path);
    ASSERT_EQ(launch.status, 0) << launch.output;
    const Result velka = run_command(std::string(ORV_VELKA_PATH) + " decode " +
                                     file_path(name) + " " + raw_path);
    // velka tells a damaged file by its exit status.
    const bool damaged = std::string(name).rfind("damage", 0) == 0;
    ASSERT_EQ(velka.status, damaged ? 3 : 0) << velka.output;
    const std::vector<uint8_t> file = orv::test::read_file(file_path(name));
    const Wav wav = read_wav(wav_path);
    EXPECT_EQ(wav.channels, file[5]);
    EXPECT_EQ(wav.rate, unsigned{file[6]} | unsigned{file[7]} << 8);
    EXPECT_TRUE(wav.data == orv::test::read_file(raw_path))
        << wav.data.size() << " bytes";
  }
}

// The nanoseconds of the discoverer's "Duration: h:mm:ss.nnnnnnnnn" line.
uint64_t discovered_duration(const std::string& output) {
  unsigned h = 0, m = 0, s = 0;
  unsigned long long ns = 0;
  const size_t at = output.find("Duration: ");
  if (at == std::string::npos ||
      std::sscanf(output.c_str() + at, "Duration: %u:%u:%u.%llu", &h, &m, &s,
                  &ns) != 4) {
    return 0;
  }
  return ((uint64_t{h} * 60 + m) * 60 + s) * GST_SECOND + ns;
}

// gst-discoverer-1.0 describes a file with the nominal bit rate, and a cut
// file with the duration of the data it holds (said in the debug log);
// gst-play-1.0 plays one to its end, gst-inspect-1.0 lists the type finder
// and the element.
TEST(GstClients, DiscovererPlayAndInspect) {
  const Result discover =
      run_command("gst-discoverer-1.0 " + file_path("ch6-16000"));
  EXPECT_EQ(discover.status, 0) << discover.output;
  EXPECT_EQ(discovered_duration(discover.output), GST_SECOND / 2)
      << discover.output;
  EXPECT_NE(discover.output.find("Sample rate: 16000"), std::string::npos);
  EXPECT_NE(discover.output.find("Channels: 6"), std::string::npos);
  uint32_t bit_rate = 0;
  {
    orv::host::Plugin plugin(ORV_PLUGIN_PATH);
    ASSERT_TRUE(
        plugin.open(file_path("ch6-16000")).query("Input bit rate", bit_rate));
  }
  EXPECT_NE(discover.output.find("Bitrate: " + std::to_string(bit_rate)),
            std::string::npos)
      << discover.output;

  TempDir dir;
  const std::string demo = std::string(ORV_SOURCE_DIR) + "/samples/demo.velka";
  std::vector<uint8_t> half = orv::test::read_file(demo);
  half.resize(half.size() / 2);
  orv::test::write_bytes(dir.file("half.velka"), half);
  const Result cut = run_command(
      "env GST_DEBUG=velkadec:2 GST_DEBUG_NO_COLOR=1 "
      "gst-discoverer-1.0 " +
      dir.file("half.velka"));
  EXPECT_EQ(cut.status, 0) << cut.output;
  const uint64_t whole = orv::gsttest::frames_to_time(
      orv::gsttest::header_total_frames(demo), 44100);
  const uint64_t estimate = discovered_duration(cut.output);
  EXPECT_GT(estimate, whole * 2 / 5) << cut.output;
  EXPECT_LT(estimate, whole * 3 / 5) << cut.output;
  EXPECT_NE(cut.output.find("duration estimated from the data"),
            std::string::npos)
      << cut.output;

  const Result play = run_command(
      "gst-play-1.0 --no-interactive --audiosink='fakesink "
      "sync=false' " +
      std::string(ORV_SOURCE_DIR) + "/samples/demo.velka");
  EXPECT_EQ(play.status, 0) << play.output;
  EXPECT_NE(play.output.find("Reached end of play list"), std::string::npos)
      << play.output;
  EXPECT_EQ(play.output.find("ERROR"), std::string::npos) << play.output;

  const Result inspect = run_command("gst-inspect-1.0 velka");
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_NE(inspect.output.find("audio/x-velka"), std::string::npos);
  EXPECT_NE(inspect.output.find("velkadec"), std::string::npos);
  EXPECT_NE(inspect.output.find("1 typefinders"), std::string::npos);
}

}  // namespace
