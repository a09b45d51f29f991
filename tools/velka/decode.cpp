// velka decode: a Velk audio file to WAV or raw PCM through the plug-in,
// loaded by path and driven the way a host drives it.
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "commands.h"
#include "host/plugin_host.h"
#include "plugin_path.h"

namespace velka {
namespace {

struct DecodeOptions {
  std::string input;
  std::string output;
  std::string plugin = default_plugin_path();
  bool has_start = false;
  uint32_t start_ms = 0;
  bool has_duration = false;
  uint32_t duration_ms = 0;
  bool has_loop = false;
  uint32_t loop_start = 0;
  uint32_t loop_end = 0;
  bool has_loop_count = false;
  uint32_t loop_count = 1;
  bool trim = true;
  bool summary = false;
};

enum class OutputKind { wav, raw };

// The temporary output, removed by the signal handler if the run is cut
// short. A fixed buffer: the handler may only make async-signal-safe calls.
char temp_path_for_signal[4096];

void remove_partial_decode_output(int signal_number) {
  if (temp_path_for_signal[0] != '\0') unlink(temp_path_for_signal);
  _exit(128 + signal_number);
}

void fail_usage(const char* message) {
  std::fprintf(stderr, "velka decode: %s\n", message);
  std::fputs(
      "usage: velka decode IN.velka OUT.wav|OUT.raw [--start MS] "
      "[--duration MS]\n"
      "                    [--loop START END --loop-count N] [--plugin PATH]\n"
      "                    [--no-trim] [--summary]\n",
      stderr);
}

bool parse_u32(const char* text, uint32_t& out) {
  if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool ends_with_ignoring_case(const std::string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    const char a = text[text.size() - n + i];
    const char lower =
        (a >= 'A' && a <= 'Z') ? static_cast<char>(a - 'A' + 'a') : a;
    if (lower != suffix[i]) return false;
  }
  return true;
}

// Returns 0 when parsed, else the exit code.
int parse_options(int argc, char** argv, DecodeOptions& o) {
  std::vector<std::string> positional;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        const std::string message = arg + " needs " + what;
        fail_usage(message.c_str());
        return nullptr;
      }
      return argv[++i];
    };
    auto number = [&](const char* what, uint32_t& out) -> bool {
      const char* text = value(what);
      if (text == nullptr) return false;
      if (!parse_u32(text, out)) {
        const std::string message =
            arg + ": '" + text + "' is not a whole number from 0 to 4294967295";
        fail_usage(message.c_str());
        return false;
      }
      return true;
    };
    if (arg == "--start") {
      if (!number("milliseconds", o.start_ms)) return 2;
      o.has_start = true;
    } else if (arg == "--duration") {
      if (!number("milliseconds", o.duration_ms)) return 2;
      o.has_duration = true;
    } else if (arg == "--loop") {
      if (!number("a start sample", o.loop_start)) return 2;
      if (!number("an end sample", o.loop_end)) return 2;
      o.has_loop = true;
    } else if (arg == "--loop-count") {
      if (!number("a count", o.loop_count)) return 2;
      o.has_loop_count = true;
    } else if (arg == "--plugin") {
      const char* path = value("a path");
      if (path == nullptr) return 2;
      o.plugin = path;
    } else if (arg == "--no-trim") {
      o.trim = false;
    } else if (arg == "--summary") {
      o.summary = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      const std::string message = "unknown option " + arg;
      fail_usage(message.c_str());
      return 2;
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) {
    fail_usage("needs an input file and an output file");
    return 2;
  }
  o.input = positional[0];
  o.output = positional[1];
  if (o.has_loop_count && !o.has_loop) {
    fail_usage("--loop-count needs --loop");
    return 2;
  }
  if (o.has_loop && o.loop_count == 0) {
    fail_usage("--loop-count must be at least 1");
    return 2;
  }
  if (o.has_loop && o.loop_start >= o.loop_end) {
    fail_usage("--loop needs START below END");
    return 2;
  }
  if (!ends_with_ignoring_case(o.output, ".wav") &&
      !ends_with_ignoring_case(o.output, ".raw")) {
    fail_usage("the output name must end in .wav or .raw");
    return 2;
  }
  return 0;
}

// Writes frames to a temporary file beside the output and renames it into
// place only when everything was written.
class OutputFile {
 public:
  OutputFile(const std::string& path, OutputKind kind, uint32_t channels,
             uint32_t sample_rate)
      : path_(path), kind_(kind), channels_(channels) {
    temp_ = path + ".partial-XXXXXX";
    fd_ = mkstemp(temp_.data());
    if (fd_ < 0) {
      error_ = "cannot create '" + temp_ + "': " + std::strerror(errno);
      return;
    }
    std::snprintf(temp_path_for_signal, sizeof temp_path_for_signal, "%s",
                  temp_.c_str());
    if (kind_ == OutputKind::wav) {
      SF_INFO info{};
      info.samplerate = static_cast<int>(sample_rate);
      info.channels = static_cast<int>(channels);
      info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
      sound_ = sf_open_fd(fd_, SFM_WRITE, &info, SF_TRUE);
      if (sound_ == nullptr) {
        error_ = std::string("cannot write WAV: ") + sf_strerror(nullptr);
        ::close(fd_);
      }
      fd_ = -1;  // the sound file owns it now, or it is closed
    }
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() { abandon(); }

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // `pcm` holds whole frames of little-endian 16-bit samples.
  bool write(const uint8_t* pcm, size_t frames) {
    const size_t samples = frames * channels_;
    if (kind_ == OutputKind::wav) {
      samples_.resize(samples);
      for (size_t i = 0; i < samples; ++i) {
        samples_[i] = static_cast<int16_t>(
            static_cast<uint16_t>(pcm[2 * i] | pcm[2 * i + 1] << 8));
      }
      const sf_count_t wrote = sf_write_short(sound_, samples_.data(),
                                              static_cast<sf_count_t>(samples));
      if (wrote != static_cast<sf_count_t>(samples)) {
        error_ =
            std::string("cannot write '") + path_ + "': " + sf_strerror(sound_);
        return false;
      }
      return true;
    }
    size_t left = samples * 2;
    while (left > 0) {
      const ssize_t n = ::write(fd_, pcm, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error_ = "cannot write '" + path_ + "': " + std::strerror(errno);
        return false;
      }
      pcm += n;
      left -= static_cast<size_t>(n);
    }
    return true;
  }

  bool commit() {
    if (!ok()) return false;
    bool closed = true;
    if (sound_ != nullptr) {
      closed = sf_close(sound_) == 0;
      sound_ = nullptr;
    } else if (fd_ >= 0) {
      closed = ::close(fd_) == 0;
      fd_ = -1;
    }
    if (!closed) {
      error_ = "cannot finish '" + path_ + "'";
      abandon();
      return false;
    }
    // mkstemp makes the file private; give it the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    chmod(temp_.c_str(), 0666 & ~mask);
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
      error_ = "cannot create '" + path_ + "': " + std::strerror(errno);
      abandon();
      return false;
    }
    temp_.clear();
    temp_path_for_signal[0] = '\0';
    return true;
  }

 private:
  void abandon() {
    if (sound_ != nullptr) sf_close(sound_);
    sound_ = nullptr;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) unlink(temp_.c_str());
    temp_.clear();
    temp_path_for_signal[0] = '\0';
  }

  std::string path_;
  std::string temp_;
  OutputKind kind_;
  uint32_t channels_;
  int fd_ = -1;
  SNDFILE* sound_ = nullptr;
  std::vector<int16_t> samples_;
  std::string error_;
};

// A bar on standard error, drawn only when it is a terminal and the work
// has taken long enough to be worth watching.
class Progress {
 public:
  explicit Progress(uint64_t total_frames)
      : total_(total_frames),
        enabled_(isatty(STDERR_FILENO) == 1 && total_frames != 0),
        started_(std::chrono::steady_clock::now()) {}
  void update(uint64_t frames) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - started_ < std::chrono::milliseconds(300)) return;
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    drawn_ = true;
    const uint64_t shown = std::min(frames, total_);
    const int width = 40;
    const int filled = static_cast<int>(shown * width / total_);
    char bar[width + 1];
    for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '.';
    bar[width] = '\0';
    std::fprintf(stderr, "\rdecoding [%s] %3d%%", bar,
                 static_cast<int>(shown * 100 / total_));
    std::fflush(stderr);
  }
  void finish() {
    if (drawn_) std::fputs("\r\033[K", stderr);
    drawn_ = false;
  }

 private:
  uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point last_;
};

void print_summary(const DecodeOptions& o, const VelkHostStreamInfo& info,
                   uint32_t channels, uint32_t sample_rate, uint64_t frames,
                   double seconds) {
  const double audio_seconds =
      sample_rate != 0 ? static_cast<double>(frames) / sample_rate : 0.0;
  std::printf(
      "Decoded %s to %s: %.2f s of audio (%llu sample frames), %u channel%s "
      "at %u Hz, 16-bit.",
      o.input.c_str(), o.output.c_str(), audio_seconds,
      static_cast<unsigned long long>(frames), channels,
      channels == 1 ? "" : "s", sample_rate);
  // The plug-in has no input bit rate for a file shorter than a millisecond.
  if (info.input_bit_rate != 0) {
    std::printf(
        " The compressed stream runs at %.1f kbit/s against %.1f kbit/s of "
        "PCM (%.1f:1).",
        info.input_bit_rate / 1000.0, info.output_bit_rate / 1000.0,
        static_cast<double>(info.output_bit_rate) / info.input_bit_rate);
  }
  if (seconds > 0) {
    std::printf(" Decoding took %.3f s, %.0f times faster than real time.",
                seconds, audio_seconds / seconds);
  }
  std::printf("\n");
}

// Seeks and loops locate samples through a seek table whose entries have a
// known number of blocks, which only version 2 headers give.
std::string why_no_seek_table(const VelkHostFileHeader& header) {
  if (header.seek_entry_count == 0) return "it has no seek table";
  return "its seek table does not say how many blocks an entry holds "
         "(format version " +
         std::to_string(header.version) + ")";
}

int decode(const DecodeOptions& o) {
  using orv::host::HostError;
  try {
    orv::host::Plugin plugin(o.plugin);
    orv::host::Stream stream = plugin.open(o.input);
    const VelkHostFileHeader header = stream.header();
    const VelkHostStreamInfo info = stream.info();
    const uint32_t channels = (info.answered & (1u << 7)) != 0
                                  ? info.output_channels
                                  : header.channels;
    const uint32_t sample_rate = (info.answered & (1u << 5)) != 0
                                     ? info.output_sample_rate
                                     : header.sample_rate;
    if (channels == 0 || channels > 8 || sample_rate == 0) {
      std::fprintf(stderr,
                   "velka decode: '%s' declares %u channels at %u Hz, which "
                   "cannot be played\n",
                   o.input.c_str(), channels, sample_rate);
      return 1;
    }
    uint64_t first_frame = 0;
    if (o.has_start) {
      VelkHostSeek seek{};
      if (!stream.seek_ms(o.start_ms, &seek)) {
        std::fprintf(stderr, "velka decode: cannot seek in '%s': %s\n",
                     o.input.c_str(), why_no_seek_table(header).c_str());
        return 1;
      }
      first_frame = seek.start_sample;
    }
    uint64_t expected = UINT64_MAX;  // frames, for the bar and the trim
    if (o.has_loop) {
      if (o.loop_end > header.total_samples) {
        std::fprintf(stderr,
                     "velka decode: the loop end %u lies past the end of "
                     "'%s' (%u sample frames)\n",
                     o.loop_end, o.input.c_str(), header.total_samples);
        return 1;
      }
      VelkHostLoop loop{};
      if (!stream.set_loop(o.loop_start, o.loop_end, o.loop_count, &loop)) {
        std::fprintf(stderr, "velka decode: cannot loop '%s': %s\n",
                     o.input.c_str(), why_no_seek_table(header).c_str());
        return 1;
      }
      const uint64_t first_pass =
          o.loop_end > first_frame ? o.loop_end - first_frame : 0;
      expected = first_pass +
                 uint64_t{o.loop_count - 1} * (o.loop_end - loop.start_sample);
    } else if (o.trim) {
      expected = header.total_samples > first_frame
                     ? header.total_samples - first_frame
                     : 0;
    }
    uint64_t limit = o.trim || o.has_loop ? expected : UINT64_MAX;
    if (o.has_duration) {
      limit = std::min<uint64_t>(limit,
                                 uint64_t{o.duration_ms} * sample_rate / 1000);
    }
    const OutputKind kind = ends_with_ignoring_case(o.output, ".wav")
                                ? OutputKind::wav
                                : OutputKind::raw;
    OutputFile out(o.output, kind, channels, sample_rate);
    if (!out.ok()) {
      std::fprintf(stderr, "velka decode: %s\n", out.error().c_str());
      return 1;
    }
    std::signal(SIGINT, remove_partial_decode_output);
    std::signal(SIGTERM, remove_partial_decode_output);

    Progress progress(std::min(limit, expected) != UINT64_MAX
                          ? std::min(limit, expected)
                          : header.total_samples);
    const size_t frame_bytes = size_t{2} * channels;
    std::vector<uint8_t> chunk(frame_bytes * 4096);
    uint64_t frames = 0;
    const auto started = std::chrono::steady_clock::now();
    while (frames < limit && !stream.ended()) {
      const uint64_t want =
          std::min<uint64_t>(limit - frames, chunk.size() / frame_bytes);
      const size_t got = stream.pull(chunk.data(), want * frame_bytes);
      const size_t whole =
          got / frame_bytes;  // a cut frame at the end is dropped
      if (whole > 0 && !out.write(chunk.data(), whole)) break;
      frames += whole;
      progress.update(frames);
    }
    const double seconds = std::chrono::duration<double>(
                               std::chrono::steady_clock::now() - started)
                               .count();
    progress.finish();
    if (!out.commit()) {
      std::fprintf(stderr, "velka decode: %s\n", out.error().c_str());
      return 1;
    }
    // The header promised more than the data held: a truncated or damaged
    // file. What could be decoded is kept; the shortfall is reported.
    if (frames < limit && limit != UINT64_MAX) {
      std::fprintf(stderr,
                   "velka decode: warning: '%s' ended after %llu of %llu "
                   "sample frames (truncated or damaged)\n",
                   o.input.c_str(), static_cast<unsigned long long>(frames),
                   static_cast<unsigned long long>(limit));
    }
    if (o.summary) {
      print_summary(o, info, channels, sample_rate, frames, seconds);
    }
    return 0;
  } catch (const HostError& e) {
    std::fprintf(stderr, "velka decode: %s\n", e.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fputs("velka decode: out of memory\n", stderr);
    return 1;
  }
}

}  // namespace

int run_decode(int argc, char** argv) {
  DecodeOptions options;
  if (const int code = parse_options(argc, argv, options); code != 0) {
    return code;
  }
  return decode(options);
}

}  // namespace velka
