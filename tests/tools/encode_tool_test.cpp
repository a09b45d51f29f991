// velka encode, run as a user would: what it makes decodes through the
// plug-in, it says what it made, and bad input gets one line and no file.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <string>
#include <vector>

#include "host/plugin_host.h"
#include "run_velka.h"
#include "support/host_test_files.h"

namespace orv::test {
namespace {

// A 16- or 24-bit PCM WAV file of interleaved `samples`, on the scale of
// `bits`.
void write_wav(const std::string& path, unsigned channels, unsigned rate,
               unsigned bits, const std::vector<int32_t>& samples) {
  SF_INFO info{};
  info.channels = static_cast<int>(channels);
  info.samplerate = static_cast<int>(rate);
  info.format =
      SF_FORMAT_WAV | (bits == 24 ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16);
  SNDFILE* sound = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
  std::vector<int32_t> full(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    full[i] = samples[i] * (bits == 24 ? 256 : 65536);
  }
  sf_write_int(sound, full.data(), static_cast<sf_count_t>(full.size()));
  sf_close(sound);
}

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

struct Decoded {
  VelkHostFileHeader header;
  std::vector<int16_t> pcm;
};

Decoded decode(const std::string& path) {
  host::Plugin plugin(ORV_PLUGIN_PATH);
  host::Stream stream = plugin.open(path);
  const std::vector<uint8_t> bytes = stream.pull_all();
  Decoded d{stream.header(), std::vector<int16_t>(bytes.size() / 2)};
  for (size_t i = 0; i < d.pcm.size(); ++i) {
    d.pcm[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  }
  return d;
}

TEST(VelkaEncode, EncodesWavSaysWhatItMadeAndInfoDescribesIt) {
  TempDir dir;
  write_wav(dir.file("in.wav"), 2, 44100, 16, tone(2, 44100, 12000));
  const std::string out = dir.file("out.velka");
  RunResult run = run_velka(
      dir, {"encode", dir.file("in.wav"), out, "--format-version", "1"});
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_EQ(dir.list(), (std::vector<std::string>{"in.wav", "out.velka"}));
  // One line: the file, its duration, size and bit rate.
  const std::string said = out + ": 0:01.00, ";
  EXPECT_EQ(run.stderr_text.rfind(said, 0), 0u) << run.stderr_text;
  EXPECT_NE(run.stderr_text.find(" kbit/s (2 channels, 44100 Hz)\n"),
            std::string::npos)
      << run.stderr_text;
  EXPECT_EQ(run_velka(dir, {"encode", dir.file("in.wav"), out, "-f", "-Q"})
                .stderr_text,
            "");

  const Decoded decoded = decode(out);
  EXPECT_EQ(decoded.header.version, 2u);  // the -Q run replaced it
  EXPECT_EQ(decoded.header.total_samples, 44100u);

  run = run_velka(dir, {"info", "--json", out});
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_NE(run.stdout_text.find("\"channels\":2"), std::string::npos);
  EXPECT_NE(run.stdout_text.find("\"total_samples\":44100"), std::string::npos);
  EXPECT_NE(run.stdout_text.find("\"problems\":[]"), std::string::npos);
  run = run_velka(dir, {"info", out});
  EXPECT_NE(run.stdout_text.find("duration:        1.000 s"), std::string::npos)
      << run.stdout_text;
}

TEST(VelkaEncode, WideInputIsRoundedToSixteenBits) {
  // 24-bit samples a quarter step either side of a 16-bit value round to
  // it; the finest quality then decodes within a step of the rounded tone.
  TempDir dir;
  const auto t16 = tone(1, 8000, 9000);
  std::vector<int32_t> t24(t16.size());
  for (size_t i = 0; i < t16.size(); ++i) {
    t24[i] = t16[i] * 256 + (i % 2 ? 64 : -64);
  }
  write_wav(dir.file("in24.wav"), 1, 8000, 24, t24);
  const RunResult run =
      run_velka(dir, {"encode", dir.file("in24.wav"), dir.file("o.velka"),
                      "--quality", "100"});
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  const Decoded decoded = decode(dir.file("o.velka"));
  ASSERT_GE(decoded.pcm.size(), t16.size());
  double signal = 0;
  double noise = 0;
  for (size_t i = 0; i < t16.size(); ++i) {
    signal += double{1} * t16[i] * t16[i];
    noise += (decoded.pcm[i] - t16[i]) * double{1} * (decoded.pcm[i] - t16[i]);
  }
  EXPECT_GT(10 * std::log10(signal / noise), 70.0);
}

TEST(VelkaEncode, BadInputGivesOneLineAndNoOutput) {
  TempDir dir;
  write_wav(dir.file("nine.wav"), 9, 8000, 16, tone(9, 1000, 1000));
  write_wav(dir.file("fast.wav"), 1, 96000, 16, tone(1, 1000, 1000));
  write_wav(dir.file("empty.wav"), 2, 8000, 16, {});
  write_bytes(dir.file("junk.wav"),
              {'n', 'o', 't', ' ', 's', 'o', 'u', 'n', 'd'});
  write_bytes(dir.file("keep.velka"), {'o', 'l', 'd'});
  write_wav(dir.file("ok.wav"), 1, 8000, 16, tone(1, 1000, 1000));
  const std::string keep = dir.file("keep.velka");
  const std::string ok = dir.file("ok.wav");
  const std::vector<std::string> before = dir.list();
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{
           {"encode", dir.file("nine.wav"), keep},
           {"encode", dir.file("fast.wav"), keep},
           {"encode", dir.file("empty.wav"), keep},
           {"encode", dir.file("junk.wav"), keep},
           {"encode", dir.file("missing.wav"), keep},
           {"encode", ok, keep, "--quality", "101"},
           {"encode", ok, keep, "--quality", "5", "--bitrate", "64"},
           {"encode", ok, keep, "--blocks-per-seek-entry", "0"},
           {"encode", ok, dir.file("nodir/out.velka")},
           {"encode", ok, keep},
           {"info", dir.file("junk.wav")},
       }) {
    SCOPED_TRACE(args[1] + " " + args.back());
    const RunResult run = run_velka(dir, args);
    EXPECT_NE(run.exit_code, 0);
    ASSERT_FALSE(run.stderr_text.empty());
    EXPECT_EQ(run.stderr_text.find('\n'), run.stderr_text.size() - 1)
        << run.stderr_text;
  }
  EXPECT_EQ(slurp(keep), "old");
  EXPECT_EQ(dir.list(), before);
}

}  // namespace
}  // namespace orv::test
