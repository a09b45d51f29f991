// The velka encode and info commands, run as a user would.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "encoder_test_support.h"
#include "support/test_data.h"

namespace orv::test {
namespace {

namespace fs = std::filesystem;

void put_le(std::string& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
}

// A canonical PCM WAV file; `samples` are interleaved, of `bits` 16 or 24.
void write_wav(const fs::path& path, unsigned channels, unsigned rate,
               unsigned bits, const std::vector<int32_t>& samples) {
  const uint32_t bytes_per_sample = bits / 8;
  const uint32_t data_bytes =
      static_cast<uint32_t>(samples.size()) * bytes_per_sample;
  std::string out = "RIFF";
  put_le(out, 36 + data_bytes, 4);
  out += "WAVEfmt ";
  put_le(out, 16, 4);
  put_le(out, 1, 2);
  put_le(out, channels, 2);
  put_le(out, rate, 4);
  put_le(out, rate * channels * bytes_per_sample, 4);
  put_le(out, channels * bytes_per_sample, 2);
  put_le(out, bits, 2);
  out += "data";
  put_le(out, data_bytes, 4);
  for (int32_t s : samples)
    put_le(out, static_cast<uint32_t>(s), static_cast<int>(bytes_per_sample));
  std::ofstream(path, std::ios::binary) << out;
}

struct ToolRun {
  int status;
  std::string err;
  std::string out;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class VelkaEncode : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("velka_encode_" + std::to_string(getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  ToolRun velka(const std::string& args) {
    const std::string cmd = std::string(ORV_VELKA_PATH) + " " + args + " >" +
                            (dir_ / "stdout").string() + " 2>" +
                            (dir_ / "stderr").string();
    const int status = std::system(cmd.c_str());
    ToolRun r{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
              slurp(dir_ / "stderr"), slurp(dir_ / "stdout")};
    fs::remove(dir_ / "stdout");
    fs::remove(dir_ / "stderr");
    return r;
  }
  std::string path(const std::string& name) const {
    return (dir_ / name).string();
  }
  // Files left in the directory besides the named ones.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_))
      names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

std::vector<int32_t> tone(unsigned channels, size_t frames, double amplitude) {
  std::vector<int32_t> s(frames * channels);
  for (size_t i = 0; i < frames; ++i) {
    for (unsigned c = 0; c < channels; ++c) {
      s[i * channels + c] = static_cast<int32_t>(std::lround(
          amplitude * std::sin(0.05 * (c + 1) * static_cast<double>(i))));
    }
  }
  return s;
}

TEST_F(VelkaEncode, EncodesWavAndInfoDescribesTheResult) {
  write_wav(path("in.wav"), 2, 44100, 16, tone(2, 44100, 12000));
  const ToolRun enc = velka("encode " + path("in.wav") + " " +
                            path("out.velka") + " --format-version 1");
  ASSERT_EQ(enc.status, 0) << enc.err;
  EXPECT_EQ(files(), (std::vector<std::string>{"in.wav", "out.velka"}));

  const auto file = read_file(path("out.velka"));
  const auto decoded = decode_file(file);
  ASSERT_EQ(decoded.error, "");
  EXPECT_EQ(decoded.header.version, 1);
  EXPECT_EQ(decoded.header.total_samples, 44100u);

  const ToolRun info = velka("info --json " + path("out.velka"));
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("\"channels\":2"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"total_samples\":44100"), std::string::npos);
  EXPECT_NE(info.out.find("\"problems\":[]"), std::string::npos);
  const ToolRun text = velka("info " + path("out.velka"));
  EXPECT_NE(text.out.find("duration:        1.000 s"), std::string::npos)
      << text.out;
}

TEST_F(VelkaEncode, WideInputIsRoundedToSixteenBits) {
  // 24-bit samples a quarter step either side of a 16-bit value round to
  // it; the finest quality then decodes within a step of the rounded tone.
  const auto t16 = tone(1, 8000, 9000);
  std::vector<int32_t> t24(t16.size());
  for (size_t i = 0; i < t16.size(); ++i)
    t24[i] = t16[i] * 256 + (i % 2 ? 64 : -64);
  write_wav(path("in24.wav"), 1, 8000, 24, t24);
  ASSERT_EQ(velka("encode " + path("in24.wav") + " " + path("o.velka") +
                  " --quality 100")
                .status,
            0);
  const auto decoded = decode_file(read_file(path("o.velka")));
  ASSERT_EQ(decoded.error, "");
  std::vector<int16_t> expected(t16.begin(), t16.end());
  EXPECT_GT(channel_snr_db(expected, decoded.pcm, 1, 0), 70.0);
}

TEST_F(VelkaEncode, BadInputGivesOneLineAndNoOutput) {
  write_wav(path("nine.wav"), 9, 8000, 16, tone(9, 1000, 1000));
  write_wav(path("fast.wav"), 1, 96000, 16, tone(1, 1000, 1000));
  write_wav(path("empty.wav"), 2, 8000, 16, {});
  std::ofstream(path("junk.wav")) << "this is not a sound file";
  std::ofstream(path("keep.velka")) << "previous";
  write_wav(path("ok.wav"), 1, 8000, 16, tone(1, 1000, 1000));
  for (const std::string& args :
       {"encode " + path("nine.wav") + " " + path("keep.velka"),
        "encode " + path("fast.wav") + " " + path("keep.velka"),
        "encode " + path("empty.wav") + " " + path("keep.velka"),
        "encode " + path("junk.wav") + " " + path("keep.velka"),
        "encode " + path("missing.wav") + " " + path("keep.velka"),
        "encode " + path("ok.wav") + " " + path("keep.velka") +
            " --quality 101",
        "encode " + path("ok.wav") + " " + path("keep.velka") +
            " --quality 5 --bitrate 64",
        "encode " + path("ok.wav") + " " + path("keep.velka") +
            " --blocks-per-seek-entry 0",
        "encode " + path("ok.wav") + " " + path("nodir/out.velka"),
        "encode " + path("ok.wav") + " " + path("keep.velka"),
        "info " + path("junk.wav")}) {
    SCOPED_TRACE(args);
    const ToolRun r = velka(args);
    EXPECT_NE(r.status, 0);
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;  // exactly one line
  }
  EXPECT_EQ(slurp(path("keep.velka")), "previous");
  EXPECT_EQ(files(),
            (std::vector<std::string>{"empty.wav", "fast.wav", "junk.wav",
                                      "keep.velka", "nine.wav", "ok.wav"}));
}

}  // namespace
}  // namespace orv::test
