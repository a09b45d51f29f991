// velka decode: its output equals the host library's in-process decode, and
// its failures are one clear line, a non-zero exit and no output file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/plugin_host.h"
#include "run_velka.h"
#include "support/host_test_files.h"
#include "support/test_data.h"

namespace {

using orv::test::EncodedCase;
using orv::test::run_velka;
using orv::test::RunResult;
using orv::test::slurp;
using orv::test::TempDir;

// The host library's decode of `path`, cut to `max_frames`.
std::vector<uint8_t> decode_in_process(const std::string& path,
                                       uint64_t max_frames) {
  orv::host::Plugin plugin(ORV_PLUGIN_PATH);
  orv::host::Stream stream = plugin.open(path);
  const size_t frame_bytes = size_t{2} * stream.header().channels;
  return stream.pull_all(65536,
                         max_frames == UINT64_MAX
                             ? SIZE_MAX
                             : static_cast<size_t>(max_frames) * frame_bytes);
}

uint32_t le(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    v = v << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
  }
  return v;
}

struct Wav {
  uint32_t channels = 0;
  uint32_t sample_rate = 0;
  uint32_t bits = 0;
  std::vector<uint8_t> data;
  bool ok = false;
};

Wav read_wav(const std::string& path) {
  const std::string s = slurp(path);
  Wav wav;
  if (s.size() < 12 || s.compare(0, 4, "RIFF") != 0 ||
      s.compare(8, 4, "WAVE") != 0) {
    return wav;
  }
  size_t at = 12;
  bool have_format = false;
  while (at + 8 <= s.size()) {
    const std::string id = s.substr(at, 4);
    const uint32_t size = le(s, at + 4, 4);
    const size_t body = at + 8;
    if (body + size > s.size()) return wav;
    if (id == "fmt ") {
      wav.channels = le(s, body + 2, 2);
      wav.sample_rate = le(s, body + 4, 4);
      wav.bits = le(s, body + 14, 2);
      have_format = true;
    } else if (id == "data") {
      wav.data.assign(s.begin() + static_cast<std::ptrdiff_t>(body),
                      s.begin() + static_cast<std::ptrdiff_t>(body + size));
      wav.ok = have_format;
      return wav;
    }
    at = body + size + (size & 1);
  }
  return wav;
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  const std::string s = slurp(path);
  return {s.begin(), s.end()};
}

TEST(VelkaDecode, EqualsTheHostLibraryForEveryEncoderMadeFile) {
  TempDir dir;
  std::vector<std::pair<std::string, uint32_t>> inputs;  // path, total frames
  for (const EncodedCase& c : orv::test::standard_cases()) {
    inputs.emplace_back(orv::test::write_encoded_file(dir, c), c.frames);
  }
  for (const char* name :
       {"ch1-32000", "ch6-16000", "damage-garbage-between"}) {
    const std::string path =
        orv::test::data_path(std::string("vectors/files/") + name + ".VELKA");
    orv::host::Plugin plugin(ORV_PLUGIN_PATH);
    inputs.emplace_back(path, plugin.open(path).header().total_samples);
  }
  for (const auto& [path, frames] : inputs) {
    SCOPED_TRACE(path);
    const std::vector<uint8_t> whole = decode_in_process(path, UINT64_MAX);
    const std::vector<uint8_t> trimmed = decode_in_process(path, frames);
    orv::host::Plugin plugin(ORV_PLUGIN_PATH);
    const unsigned channels = plugin.open(path).header().channels;
    // Only the damaged file loses frames with the blocks it loses, and its
    // runs end with the status of a file decoded with damage.
    const bool damaged = path.find("damage") != std::string::npos;
    if (!damaged) {
      ASSERT_EQ(orv::test::frame_count(trimmed, channels), frames);
    }
    const int status = damaged ? 3 : 0;

    RunResult run =
        run_velka(dir, {"decode", path, dir.file("out.raw"), "--force"});
    ASSERT_EQ(run.exit_code, status) << run.stderr_text;
    EXPECT_EQ(run.stderr_text.find("velka decode: '" + path + "' is damaged"),
              damaged ? 0 : std::string::npos)
        << run.stderr_text;
    EXPECT_TRUE(read_bytes(dir.file("out.raw")) == trimmed);

    run = run_velka(dir,
                    {"decode", path, dir.file("whole.raw"), "--no-trim", "-f"});
    ASSERT_EQ(run.exit_code, status) << run.stderr_text;
    EXPECT_TRUE(read_bytes(dir.file("whole.raw")) == whole);

    run = run_velka(dir, {"decode", path, dir.file("out.WAV"), "--force"});
    ASSERT_EQ(run.exit_code, status) << run.stderr_text;
    const Wav wav = read_wav(dir.file("out.WAV"));
    ASSERT_TRUE(wav.ok);
    EXPECT_EQ(wav.channels, channels);
    EXPECT_EQ(wav.sample_rate, plugin.open(path).header().sample_rate);
    EXPECT_EQ(wav.bits, 16u);
    EXPECT_TRUE(wav.data == trimmed);
  }
  // Nothing but the outputs is left behind.
  for (const std::string& name : dir.list()) {
    EXPECT_EQ(name.find(".partial-"), std::string::npos) << name;
  }
}

TEST(VelkaDecode, StartDurationAndLoopsMatchTheHostLibrary) {
  TempDir dir;
  EncodedCase c;
  c.name = "options";
  c.frames = 120000;
  c.options.blocks_per_seek_entry = 3;
  const std::string path = orv::test::write_encoded_file(dir, c);
  orv::host::Plugin plugin(ORV_PLUGIN_PATH);

  {  // --start and --duration: 500 ms from 1 s.
    orv::host::Stream stream = plugin.open(path);
    ASSERT_TRUE(stream.seek_ms(1000));
    const std::vector<uint8_t> want = stream.pull_all(65536, 22050 * 4);
    const RunResult run =
        run_velka(dir, {"decode", path, dir.file("part.raw"), "--start", "1000",
                        "--duration", "500"});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    EXPECT_TRUE(read_bytes(dir.file("part.raw")) == want);
  }
  {  // --start alone runs to the header's end, not past it.
    orv::host::Stream stream = plugin.open(path);
    VelkHostSeek seek{};
    ASSERT_TRUE(stream.seek_ms(2000, &seek));
    const std::vector<uint8_t> want =
        stream.pull_all(65536, (c.frames - seek.start_sample) * 4);
    const RunResult run = run_velka(
        dir, {"decode", path, dir.file("tail.raw"), "--start", "2000"});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    EXPECT_EQ(read_bytes(dir.file("tail.raw")).size(),
              (c.frames - seek.start_sample) * 4);
    EXPECT_TRUE(read_bytes(dir.file("tail.raw")) == want);
  }
  {  // --loop: three passes of 10000..50000.
    orv::host::Stream stream = plugin.open(path);
    ASSERT_TRUE(stream.set_loop(10000, 50000, 3));
    const std::vector<uint8_t> want = stream.pull_all();
    const RunResult run =
        run_velka(dir, {"decode", path, dir.file("loop.wav"), "--loop", "10000",
                        "50000", "--loop-count", "3"});
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    const Wav wav = read_wav(dir.file("loop.wav"));
    ASSERT_TRUE(wav.ok);
    EXPECT_TRUE(wav.data == want);
  }
  {  // --loop-count 2 --fade 1: both passes as they are, then a second of
     // the loop dying away to a silent last frame.
    orv::host::Stream stream = plugin.open(path);
    VelkHostLoop loop{};
    ASSERT_TRUE(stream.set_loop(10000, 50000, 2, &loop));
    const std::vector<uint8_t> passes = stream.pull_all();
    ASSERT_EQ(passes.size(), (50000 + 50000 - loop.start_sample) * 4);
    for (const char* shape : {"cosine", "linear"}) {
      SCOPED_TRACE(shape);
      const RunResult run =
          run_velka(dir, {"decode", path, dir.file("fade.wav"), "--loop",
                          "10000", "50000", "--loop-count", "2", "--fade", "1",
                          "--fade-shape", shape, "--force"});
      ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
      const Wav wav = read_wav(dir.file("fade.wav"));
      ASSERT_TRUE(wav.ok);
      ASSERT_EQ(wav.data.size(), passes.size() + 44100 * 4);
      EXPECT_TRUE(std::equal(passes.begin(), passes.end(), wav.data.begin()));
      EXPECT_EQ(std::count(wav.data.end() - 4, wav.data.end(), 0), 4);
    }
  }
}

// Each format read back through libsndfile, written to a file and to
// standard output: the lossless ones hold the WAV output's PCM, the lossy
// ones its rate, channels and length.
TEST(VelkaDecode, EveryFormatReadsBackThroughLibsndfile) {
  TempDir dir;
  EncodedCase c;
  c.name = "formats";
  c.sample_rate = 48000;  // a rate every format takes
  c.frames = 30000;
  const std::string path = orv::test::write_encoded_file(dir, c);
  const std::vector<uint8_t> want = decode_in_process(path, c.frames);
  ASSERT_EQ(want.size(), size_t{c.frames} * 4);
  std::vector<int16_t> want_samples(want.size() / 2);
  for (size_t i = 0; i < want_samples.size(); ++i) {
    want_samples[i] = static_cast<int16_t>(want[2 * i] | want[2 * i + 1] << 8);
  }
  for (const auto& [extension, lossless] :
       std::vector<std::pair<std::string, bool>>{{"wav", true},
                                                 {"flac", true},
                                                 {"aiff", true},
                                                 {"ogg", false},
                                                 {"opus", false},
                                                 {"mp3", false}}) {
    for (const bool piped : {false, true}) {
      // AIFF needs to seek back, so it does not go to standard output.
      if (piped && extension == "aiff") continue;
      SCOPED_TRACE(piped ? "standard output" : "file");
      const std::string out = dir.file("out." + extension);
      const RunResult run =
          piped ? run_velka(dir, {"decode", path, "-", "--format", extension})
                : run_velka(dir, {"decode", path, out, "-f"});
      ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
      if (piped)
        orv::test::write_bytes(
            out, {run.stdout_text.begin(), run.stdout_text.end()});
      SF_INFO info{};
      SNDFILE* sound = sf_open(out.c_str(), SFM_READ, &info);
      ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
      EXPECT_EQ(info.samplerate, 48000);
      EXPECT_EQ(info.channels, 2);
      EXPECT_EQ(info.frames, c.frames);
      if (lossless) {
        std::vector<int16_t> got(want_samples.size() + 2);
        got.resize(static_cast<size_t>(sf_read_short(
            sound, got.data(), static_cast<sf_count_t>(got.size()))));
        EXPECT_TRUE(got == want_samples);
      }
      sf_close(sound);
    }
  }

  // Raw by name of format; standard output as WAV whose header states the
  // length, or raw.
  RunResult run =
      run_velka(dir, {"decode", path, dir.file("pcm.data"), "--format", "raw"});
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_TRUE(read_bytes(dir.file("pcm.data")) == want);
  run = run_velka(dir, {"decode", path, "-"});
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  const std::string& wav = run.stdout_text;
  ASSERT_EQ(wav.size(), 44 + want.size());
  EXPECT_EQ(wav.compare(0, 4, "RIFF"), 0);
  EXPECT_EQ(le(wav, 22, 2), 2u);
  EXPECT_EQ(le(wav, 24, 4), 48000u);
  EXPECT_EQ(wav.compare(36, 4, "data"), 0);
  EXPECT_EQ(le(wav, 4, 4), 36 + want.size());
  EXPECT_EQ(le(wav, 40, 4), want.size());
  const std::string want_text(want.begin(), want.end());
  EXPECT_TRUE(wav.substr(44) == want_text);
  run = run_velka(dir, {"decode", path, "-", "--raw", "--summary"});
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_TRUE(run.stdout_text == want_text);
  EXPECT_NE(run.stderr_text.find("Decoded"), std::string::npos);
}

// Standard input, whether a pipe or a file, decodes as the file does; a
// pipe cannot seek, and says so.
TEST(VelkaDecode, StandardInputDecodesAsTheFileDoes) {
  TempDir dir;
  const std::string path = orv::test::write_encoded_file(dir, "piped", 40000);
  const std::string bytes = slurp(path);
  const std::string from_file =
      run_velka(dir, {"decode", path, "-"}).stdout_text;
  const std::string part =
      run_velka(dir, {"decode", path, "-", "--start", "500"}).stdout_text;
  const struct {
    std::vector<std::string> args;
    orv::test::Stdin in;
    int exit_code;
    const std::string& want;  // standard output
  } cases[] = {
      {{"decode", "-", "-"}, {bytes, {}}, 0, from_file},
      {{"decode", "-", "-"}, {{}, path}, 0, from_file},
      {{"decode", "-", "-", "--start", "500"}, {{}, path}, 0, part},
      {{"decode", "-", "-", "--start", "500"}, {bytes, {}}, 1, {}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.in.file.empty() ? "pipe" : "file");
    const RunResult run = run_velka(dir, k.args, k.in);
    EXPECT_EQ(run.exit_code, k.exit_code) << run.stderr_text;
    EXPECT_TRUE(run.stdout_text == k.want);
    if (k.exit_code != 0) {
      EXPECT_NE(run.stderr_text.find("needs an input that can seek"),
                std::string::npos)
          << run.stderr_text;
    }
  }
  // To a file, through a pipe: the same bytes as from the file.
  ASSERT_EQ(
      run_velka(dir, {"decode", "-", dir.file("a.wav")}, {bytes, {}}).exit_code,
      0);
  ASSERT_EQ(run_velka(dir, {"decode", path, dir.file("b.wav")}).exit_code, 0);
  EXPECT_EQ(slurp(dir.file("a.wav")), slurp(dir.file("b.wav")));
}

// Three to eight channels carry the usual WAV layout as a channel mask, in
// a file and on standard output; Opus gets other rates resampled to 48 kHz;
// --bitrate sets what the lossy formats spend.
TEST(VelkaDecode, OutputsCarryLayoutRateAndBitRate) {
  TempDir dir;
  using P = int;
  const P l = SF_CHANNEL_MAP_LEFT, r = SF_CHANNEL_MAP_RIGHT,
          c = SF_CHANNEL_MAP_CENTER, lfe = SF_CHANNEL_MAP_LFE,
          bl = SF_CHANNEL_MAP_REAR_LEFT, br = SF_CHANNEL_MAP_REAR_RIGHT,
          bc = SF_CHANNEL_MAP_REAR_CENTER, sl = SF_CHANNEL_MAP_SIDE_LEFT,
          sr = SF_CHANNEL_MAP_SIDE_RIGHT;
  const std::vector<std::vector<P>> layouts = {{l, r, c},
                                               {l, r, bl, br},
                                               {l, r, c, bl, br},
                                               {l, r, c, lfe, bl, br},
                                               {l, r, c, lfe, bc, sl, sr},
                                               {l, r, c, lfe, bl, br, sl, sr}};
  for (const std::vector<P>& layout : layouts) {
    EncodedCase k;
    k.channels = static_cast<unsigned>(layout.size());
    k.name = "ch" + std::to_string(k.channels);
    k.sample_rate = 16000;
    k.frames = 2000;
    const std::string path = orv::test::write_encoded_file(dir, k);
    const std::string out = dir.file(k.name + ".wav");
    ASSERT_EQ(run_velka(dir, {"decode", path, out}).exit_code, 0);
    const std::string piped = dir.file(k.name + "-piped.wav");
    const std::string streamed =
        run_velka(dir, {"decode", path, "-"}).stdout_text;
    orv::test::write_bytes(piped, {streamed.begin(), streamed.end()});
    for (const std::string& file : {out, piped}) {
      SCOPED_TRACE(file);
      SF_INFO info{};
      SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
      ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
      std::vector<P> got(layout.size());
      EXPECT_EQ(sf_command(sound, SFC_GET_CHANNEL_MAP_INFO, got.data(),
                           static_cast<int>(got.size() * sizeof(P))),
                SF_TRUE);
      EXPECT_EQ(got, layout);
      EXPECT_EQ(info.frames, k.frames);
      sf_close(sound);
    }
  }

  // Two seconds at 44.1 kHz.
  const std::string path = orv::test::write_encoded_file(dir, "cd", 88200);
  const struct {
    const char* name;
    std::vector<std::string> options;
    int rate;
    double kbps;  // 0: not measured
  } cases[] = {
      {"resampled.opus", {}, 48000, 0},
      {"low.opus", {"-b", "48"}, 48000, 48},
      {"low.mp3", {"--bitrate", "64"}, 44100, 64},
  };
  for (const auto& k2 : cases) {
    SCOPED_TRACE(k2.name);
    std::vector<std::string> args = {"decode", path, dir.file(k2.name)};
    args.insert(args.end(), k2.options.begin(), k2.options.end());
    const RunResult run = run_velka(dir, args);
    ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
    SF_INFO info{};
    SNDFILE* sound = sf_open(dir.file(k2.name).c_str(), SFM_READ, &info);
    ASSERT_NE(sound, nullptr) << sf_strerror(nullptr);
    sf_close(sound);
    EXPECT_EQ(info.samplerate, k2.rate);
    EXPECT_NEAR(static_cast<double>(info.frames), 2.0 * k2.rate, 2);
    if (k2.kbps > 0) {
      const double kbps =
          static_cast<double>(read_bytes(dir.file(k2.name)).size()) * 8 / 2 /
          1000;
      EXPECT_NEAR(kbps, k2.kbps, k2.kbps * 0.15);
    }
  }
}

// Many files: -j 2 gives the bytes of one-at-a-time runs; bad files are
// each named on a line of their own while the others are converted.
TEST(VelkaDecode, BatchesMatchSingleRunsAndNameEachFailure) {
  TempDir dir;
  std::vector<std::string> inputs;
  const std::vector<EncodedCase> cases = orv::test::standard_cases();
  for (size_t i = 0; i < 3; ++i) {
    inputs.push_back(orv::test::write_encoded_file(dir, cases[i]));
  }
  std::vector<std::string> args = {"decode"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  args.insert(args.end(), {"-o", dir.file("batch"), "-j", "2"});
  RunResult run = run_velka(dir, args);
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_NE(run.stderr_text.find("3 of 3 files done"), std::string::npos)
      << run.stderr_text;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string single = dir.file("single.wav");
    ASSERT_EQ(run_velka(dir, {"decode", inputs[i], single, "-f"}).exit_code, 0);
    EXPECT_EQ(slurp(dir.file("batch/" + cases[i].name + ".wav")),
              slurp(single));
  }

  // A damaged header and a missing file among good ones.
  std::vector<uint8_t> damaged = read_bytes(inputs[0]);
  damaged[1] ^= 0xFF;
  orv::test::write_bytes(dir.file("damaged.velka"), damaged);
  run = run_velka(dir, {"decode", inputs[1], dir.file("damaged.velka"),
                        dir.file("missing.velka"), inputs[2], "-o",
                        dir.file("mixed"), "-j", "2"});
  EXPECT_EQ(run.exit_code, 1);
  const std::string& err = run.stderr_text;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 3) << err;
  EXPECT_NE(err.find("damaged.velka' is not a Velk audio file\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("missing.velka': No such file or directory\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("2 of 4 files done"), std::string::npos) << err;
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(dir.file("mixed"))) {
    left.push_back(e.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{cases[1].name + ".wav",
                                            cases[2].name + ".wav"}));
}

// Damaged and cut files keep what decodes and say what was lost where;
// the exit status tells them from clean files and failures, in a batch as
// alone, and --strict turns them into failures that leave no output.
TEST(VelkaDecode, DamageIsKeptNamedAndToldByTheExitStatus) {
  TempDir dir;
  constexpr uint32_t clean_frames = 50000;
  const std::string clean =
      orv::test::write_encoded_file(dir, "clean", clean_frames);
  std::vector<uint8_t> bytes = read_bytes(clean);
  const size_t clean_size = bytes.size();
  bytes.resize(clean_size / 2);
  const std::string half = dir.file("half.velka");
  orv::test::write_bytes(half, bytes);
  bytes.resize(1000);
  const std::string stub = dir.file("stub.velka");
  orv::test::write_bytes(stub, bytes);
  const std::string damaged =
      orv::test::data_path("vectors/files/damage-garbage-between.VELKA");
  const std::string missing = dir.file("missing.velka");
  const uint64_t half_lost = decode_in_process(clean, UINT64_MAX).size() / 4 -
                             decode_in_process(half, UINT64_MAX).size() / 4;

  struct Case {
    std::vector<std::string> args;  // then -o OUT, OUT named by the case
    int exit_code;
    std::vector<std::string> says;
    std::vector<std::string> outputs;
  };
  const Case cases[] = {
      {{damaged},
       3,
       {"'" + damaged +
        "' is damaged: 1920 frames (0.09 s) lost at 0:00.70 and 0:00.78\n"},
       {"damage-garbage-between.wav"}},
      {{half},
       3,
       {"'" + half + "' is cut short (" + std::to_string(clean_size / 2) +
            " of " + std::to_string(clean_size) +
            " bytes): " + std::to_string(half_lost) + " frames",
        ", where it ends\n"},
       {"half.wav"}},
      {{stub}, 1, {"'" + stub + "' is cut short", "nothing in it"}, {}},
      {{clean, damaged, half, missing},
       1,
       {"3 of 4 files done (2 damaged), 1 failed"},
       {"clean.wav", "damage-garbage-between.wav", "half.wav"}},
      {{clean, damaged, half, "--strict"},
       1,
       {"0:00.78 (--strict: no output)\n", "1 of 3 files done, 2 failed"},
       {"clean.wav"}},
      {{clean, "--strict"}, 0, {}, {"clean.wav"}},
  };
  int n = 0;
  for (const Case& k : cases) {
    const std::string out = dir.file("out" + std::to_string(n++));
    std::vector<std::string> args = {"decode"};
    args.insert(args.end(), k.args.begin(), k.args.end());
    args.insert(args.end(), {"-o", out});
    SCOPED_TRACE(out);
    const RunResult run = run_velka(dir, args);
    EXPECT_EQ(run.exit_code, k.exit_code) << run.stderr_text;
    EXPECT_EQ(run.stderr_text.empty(), k.says.empty()) << run.stderr_text;
    for (const std::string& part : k.says) {
      EXPECT_NE(run.stderr_text.find(part), std::string::npos)
          << part << " in: " << run.stderr_text;
    }
    std::vector<std::string> written;
    std::error_code no_folder;
    for (const auto& e : std::filesystem::directory_iterator(out, no_folder)) {
      written.push_back(e.path().filename().string());
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, k.outputs);
  }
  // What a cut file keeps is what decodes of it.
  EXPECT_TRUE(read_bytes(dir.file("out1/half.wav")).size() ==
              44 + decode_in_process(half, clean_frames).size());

  // On standard output, whose header announced the length, silence makes
  // up for what was lost.
  const RunResult piped = run_velka(dir, {"decode", damaged, "-"});
  EXPECT_EQ(piped.exit_code, 3);
  orv::host::Plugin plugin(ORV_PLUGIN_PATH);
  EXPECT_EQ(piped.stdout_text.size(),
            44 + size_t{4} * plugin.open(damaged).header().total_samples);
  EXPECT_NE(piped.stderr_text.find("silence fills the end"), std::string::npos);

  // velka info: problems listed make the status that of damage.
  for (const auto& [file, status] :
       {std::pair{clean, 0}, {damaged, 3}, {half, 3}, {missing, 1}}) {
    SCOPED_TRACE(file);
    EXPECT_EQ(run_velka(dir, {"info", file}).exit_code, status);
  }
}

TEST(VelkaDecode, SummaryNamesTheFiguresAskedFor) {
  TempDir dir;
  const std::string path = orv::test::write_encoded_file(dir, "summary", 44100);
  const RunResult run =
      run_velka(dir, {"decode", path, dir.file("s.wav"), "--summary"});
  ASSERT_EQ(run.exit_code, 0) << run.stderr_text;
  for (const char* part : {"0:01.00 of audio", "2 channels", "44100 Hz",
                           "kbit/s", "faster than real time"}) {
    EXPECT_NE(run.stdout_text.find(part), std::string::npos)
        << part << " in: " << run.stdout_text;
  }
}

// Each failing run: a non-zero exit, one line on stderr, and the output
// path untouched (here: holding its old contents).
TEST(VelkaDecode, FailuresAreOneLineAndLeaveNoOutput) {
  TempDir dir;
  EncodedCase c;
  c.name = "ok";
  c.frames = 20000;
  const std::string good = orv::test::write_encoded_file(dir, c);
  EncodedCase no_table = c;
  no_table.name = "no-table";
  no_table.options.seek_table = false;
  const std::string untabled = orv::test::write_encoded_file(dir, no_table);
  EncodedCase old_version = c;
  old_version.name = "version-1";
  old_version.options.format_version = 1;
  const std::string version_1 = orv::test::write_encoded_file(dir, old_version);
  orv::test::write_bytes(dir.file("junk.velka"),
                         std::vector<uint8_t>(500, static_cast<uint8_t>(7)));
  const std::string out = dir.file("out.wav");

  struct Case {
    std::vector<std::string> args;
    const char* says;
    int exit_code;
  };
  const Case cases[] = {
      {{"decode", dir.file("missing.velka"), out}, "No such file", 1},
      {{"decode", dir.file("junk.velka"), out}, "not a Velk audio file", 1},
      {{"decode", good, out, "--plugin", dir.file("none.so")},
       "cannot load plug-in",
       1},
      {{"decode", good, out}, "exists (--force overwrites it)", 1},
      {{"decode", good, dir.file("out.mp3"), "-b", "400"},
       "MP3 at 44100 Hz takes 32 to 320 kbit/s",
       1},
      {{"decode", good, dir.file("out.xyz")}, "--format", 2},
      {{"decode", good, "-", "--format", "aiff"}, "standard output", 2},
      {{"decode", good, out, "--start", "-5"}, "--start", 2},
      {{"decode", good, out, "--start"}, "--start", 2},
      {{"decode", good, out, "--loop", "500", "100"}, "START below END", 2},
      {{"decode", good, out, "--loop-count", "2"}, "requires --loop", 2},
      {{"decode", good, out, "--loop", "0", "100", "--loop-count", "0"},
       "--loop-count",
       2},
      {{"decode", good, out, "--start", "454", "-f"}, "past the end", 1},
      {{"decode", good, out, "--loop", "100", "20001", "-f"},
       "past the end",
       1},
      {{"decode", good, out, "--frobnicate"}, "--frobnicate", 2},
      {{"decode"}, "required", 2},
      {{"decode", untabled, out, "--start", "100", "-f"}, "no seek table", 1},
      {{"decode", untabled, out, "--loop", "100", "5000", "-f"},
       "no seek table",
       1},
      {{"decode", version_1, out, "--start", "100", "-f"}, "version 1", 1},
      {{"decode", good, dir.file("no-such-dir/out.wav")}, "cannot create", 1},
  };
  for (const Case& k : cases) {
    std::string joined;
    for (const std::string& a : k.args) joined += a + " ";
    SCOPED_TRACE(joined);
    orv::test::write_bytes(out, {'o', 'l', 'd'});
    const std::vector<std::string> before = dir.list();
    const RunResult run = run_velka(dir, k.args);
    EXPECT_EQ(run.exit_code, k.exit_code);
    EXPECT_EQ(run.stderr_text.rfind("velka decode: ", 0), 0u)
        << run.stderr_text;
    EXPECT_NE(run.stderr_text.find(k.says), std::string::npos)
        << run.stderr_text;
    EXPECT_EQ(std::count(run.stderr_text.begin(), run.stderr_text.end(), '\n'),
              1);
    EXPECT_EQ(slurp(out), "old");
    EXPECT_EQ(dir.list(), before);
  }
}

// Runs velka with `args` while reading the named pipe `fifo`; returns what
// came through it. The pipe is open for reading before velka starts, so
// velka never waits for a reader, and a run that never writes cannot hang.
std::string read_pipe_during(const TempDir& dir, const std::string& fifo,
                             const std::vector<std::string>& args,
                             RunResult& run) {
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return {};
  std::atomic<bool> finished{false};
  std::thread velka([&] {
    run = run_velka(dir, args);
    finished.store(true);
  });
  std::string got;
  char buffer[65536];
  for (bool last = false; !last;) {
    last = finished.load();  // one more full drain after velka has ended
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, last ? 0 : 50);
    ssize_t n = 0;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) {
      got.append(buffer, static_cast<size_t>(n));
    }
  }
  velka.join();
  close(fd);
  return got;
}

// A named pipe that is already there is written into, as other audio tools
// do, and never renamed over: with or without --force, decode and encode.
TEST(VelkaOutput, NamedPipeIsWrittenThroughNotReplaced) {
  TempDir dir;
  const std::string path = orv::test::write_encoded_file(dir, "source", 30000);
  const std::string wav = dir.file("in.wav");
  ASSERT_EQ(run_velka(dir, {"decode", path, wav}).exit_code, 0);
  const std::string streamed_wav =
      run_velka(dir, {"decode", path, "-"}).stdout_text;
  ASSERT_EQ(run_velka(dir, {"encode", wav, dir.file("ref.velka")}).exit_code,
            0);
  const std::string velk = slurp(dir.file("ref.velka"));
  ASSERT_GT(velk.size(), 0u);
  const std::string wav_pipe = dir.file("pipe.wav");
  const std::string velka_pipe = dir.file("pipe.velka");
  ASSERT_EQ(mkfifo(wav_pipe.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(velka_pipe.c_str(), 0600), 0);
  const std::vector<std::string> before = dir.list();

  const struct {
    std::vector<std::string> args;
    const std::string& pipe;
    const std::string& want;
  } cases[] = {
      {{"decode", path, wav_pipe}, wav_pipe, streamed_wav},
      {{"decode", path, wav_pipe, "--force"}, wav_pipe, streamed_wav},
      {{"encode", wav, velka_pipe}, velka_pipe, velk},
      {{"encode", wav, velka_pipe, "-f"}, velka_pipe, velk},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.args.back());
    RunResult run;
    const std::string got = read_pipe_during(dir, k.pipe, k.args, run);
    EXPECT_EQ(run.exit_code, 0) << run.stderr_text;
    EXPECT_TRUE(got == k.want) << got.size() << " bytes, not " << k.want.size();
    struct stat st;
    ASSERT_EQ(lstat(k.pipe.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(dir.list(), before);
  }
}

}  // namespace
