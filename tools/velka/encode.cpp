// velka encode: any sound file libsndfile reads into a Velk audio file.
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "encoder/velk_encoder.h"

namespace velka {

namespace {

using orv::encoder::EncodeError;
using orv::encoder::EncoderOptions;

constexpr sf_count_t read_chunk_frames = 4096;

// Path of the temporary output while it is being written; removed by the
// signal handler so an interrupted encode leaves nothing behind.
char g_temp_path[4096];

extern "C" void remove_temp_and_exit(int signal_number) {
  if (g_temp_path[0] != '\0') unlink(g_temp_path);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// A one-line failure: the message goes to standard error as is.
struct Failure {
  std::string message;
};

bool parse_number(const char* text, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0' && std::isfinite(out);
}

bool parse_unsigned(const char* text, unsigned long max, unsigned long& out) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoul(text, &end, 10);
  return errno == 0 && *end == '\0' && out <= max;
}

struct Arguments {
  std::string input;
  std::string output;
  EncoderOptions options;
  bool quality_given = false;
};

Arguments parse_arguments(int argc, char** argv) {
  Arguments args;
  std::vector<std::string> positional;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    auto value = [&]() -> const char* {
      if (!has_value) throw Failure{"option " + arg + " needs a value"};
      return argv[++i];
    };
    if (arg == "--quality" || arg == "-q") {
      unsigned long q = 0;
      const char* v = value();
      if (!parse_unsigned(v, 100, q)) {
        throw Failure{
            std::string("quality must be an integer from 0 to 100, not '") + v +
            "'"};
      }
      args.options.quality = static_cast<int>(q);
      args.quality_given = true;
    } else if (arg == "--bitrate" || arg == "-b") {
      double kbps = 0.0;
      const char* v = value();
      if (!parse_number(v, kbps) || kbps <= 0.0) {
        throw Failure{
            std::string("bit rate must be a positive number of kbit/s, not '") +
            v + "'"};
      }
      args.options.bitrate_kbps = kbps;
    } else if (arg == "--format-version") {
      unsigned long version = 0;
      const char* v = value();
      if (!parse_unsigned(v, 2, version)) {
        throw Failure{std::string("format version must be 0, 1 or 2, not '") +
                      v + "'"};
      }
      args.options.format_version = static_cast<unsigned>(version);
    } else if (arg == "--blocks-per-seek-entry") {
      unsigned long blocks = 0;
      const char* v = value();
      if (!parse_unsigned(v, 65535, blocks) || blocks == 0) {
        throw Failure{
            std::string(
                "blocks per seek entry must be from 1 to 65535, not '") +
            v + "'"};
      }
      args.options.blocks_per_seek_entry = static_cast<unsigned>(blocks);
    } else if (arg == "--no-seek-table") {
      args.options.seek_table = false;
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw Failure{"unknown option '" + arg + "'"};
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() != 2) {
    throw Failure{
        "usage: velka encode IN OUT.velka [--quality Q | --bitrate KBPS] "
        "[--format-version 0|1|2] [--blocks-per-seek-entry N | "
        "--no-seek-table]"};
  }
  if (args.quality_given && args.options.bitrate_kbps > 0.0) {
    throw Failure{"--quality and --bitrate exclude each other"};
  }
  args.input = positional[0];
  args.output = positional[1];
  return args;
}

// Progress on standard error, only when it is a terminal.
class Progress {
 public:
  explicit Progress(sf_count_t total)
      : total_(total), enabled_(isatty(STDERR_FILENO) && total > 0) {}
  void update(sf_count_t done) {
    if (!enabled_) return;
    const int percent =
        static_cast<int>(std::min<sf_count_t>(100, done * 100 / total_));
    if (percent == shown_) return;
    shown_ = percent;
    constexpr int width = 40;
    const int filled = percent * width / 100;
    std::fprintf(stderr, "\rencoding [%.*s%*s] %3d%%", filled,
                 "########################################", width - filled, "",
                 percent);
    std::fflush(stderr);
  }
  void done() {
    if (enabled_ && shown_ >= 0) std::fputs("\r\033[K", stderr);
  }

 private:
  sf_count_t total_;
  bool enabled_;
  int shown_ = -1;
};

// Input samples, normalised by libsndfile to [-1, 1), back on the 16-bit
// scale: exact for integer sources of up to 32 bits, rounded to nearest
// (ties to even) and saturated for wider or floating-point ones.
int16_t to_pcm16(double normalised) {
  const double v = std::nearbyint(normalised * 32768.0);
  return static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
}

void encode_file(const Arguments& args) {
  SF_INFO info{};
  SNDFILE* in = sf_open(args.input.c_str(), SFM_READ, &info);
  if (in == nullptr) {
    throw Failure{"cannot read '" + args.input + "': " + sf_strerror(nullptr)};
  }
  struct Closer {
    SNDFILE* f;
    ~Closer() { sf_close(f); }
  } closer{in};
  if (info.channels < 1 || info.channels > 8) {
    throw Failure{"'" + args.input + "' has " + std::to_string(info.channels) +
                  " channels; 1 to 8 are supported"};
  }
  if (info.samplerate < 1 || info.samplerate > 65535) {
    throw Failure{"'" + args.input + "' has a sample rate of " +
                  std::to_string(info.samplerate) +
                  " Hz; 1 to 65535 Hz are supported"};
  }
  if (info.frames == 0) throw Failure{"'" + args.input + "' holds no audio"};

  const unsigned channels = static_cast<unsigned>(info.channels);
  orv::encoder::Encoder encoder(
      channels, static_cast<unsigned>(info.samplerate), args.options);
  Progress progress(info.frames);
  std::vector<double> normalised(static_cast<size_t>(read_chunk_frames) *
                                 channels);
  std::vector<int16_t> pcm(normalised.size());
  sf_count_t done = 0;
  while (true) {
    const sf_count_t got =
        sf_readf_double(in, normalised.data(), read_chunk_frames);
    if (got <= 0) break;
    const size_t samples = static_cast<size_t>(got) * channels;
    for (size_t i = 0; i < samples; ++i) pcm[i] = to_pcm16(normalised[i]);
    encoder.write(pcm.data(), static_cast<size_t>(got));
    done += got;
    progress.update(done);
  }
  if (sf_error(in) != SF_ERR_NO_ERROR) {
    progress.done();
    throw Failure{"error reading '" + args.input + "': " + sf_strerror(in)};
  }
  if (done == 0) {
    progress.done();
    throw Failure{"'" + args.input + "' holds no audio"};
  }

  // Write beside the destination under a temporary name, then rename.
  std::string temp = args.output + ".tmp-XXXXXX";
  if (temp.size() >= sizeof g_temp_path) throw Failure{"output path too long"};
  std::memcpy(g_temp_path, temp.c_str(), temp.size() + 1);
  std::signal(SIGINT, remove_temp_and_exit);
  std::signal(SIGTERM, remove_temp_and_exit);
  const int fd = mkstemp(g_temp_path);
  if (fd < 0) {
    g_temp_path[0] = '\0';
    throw Failure{"cannot create '" + args.output +
                  "': " + std::strerror(errno)};
  }
  temp = g_temp_path;
  std::FILE* out = fdopen(fd, "wb");
  auto fail = [&](const std::string& message) {
    if (out != nullptr) std::fclose(out);
    unlink(temp.c_str());
    g_temp_path[0] = '\0';
    progress.done();
    throw Failure{message};
  };
  if (out == nullptr) {
    close(fd);
    fail("cannot write '" + args.output + "': " + std::strerror(errno));
  }
  bool write_ok = true;
  orv::encoder::EncodeStats stats;
  try {
    stats = encoder.finish([&](const uint8_t* data, size_t size) {
      if (write_ok && std::fwrite(data, 1, size, out) != size) write_ok = false;
    });
  } catch (const EncodeError& e) {
    fail(e.what());
  }
  if (!write_ok || std::fflush(out) != 0 || fsync(fd) != 0) {
    fail("cannot write '" + args.output + "': " + std::strerror(errno));
  }
  // mkstemp makes the file private; give it the usual permissions.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  if (std::fclose(out) != 0) {
    out = nullptr;
    fail("cannot write '" + args.output + "': " + std::strerror(errno));
  }
  out = nullptr;
  if (std::rename(temp.c_str(), args.output.c_str()) != 0) {
    fail("cannot rename to '" + args.output + "': " + std::strerror(errno));
  }
  g_temp_path[0] = '\0';
  progress.done();

  if (stats.coarsened_blocks > 0) {
    std::fprintf(
        stderr,
        "velka: note: %u block(s) coarsened below the requested quality to fit "
        "the 65535-byte block limit\n",
        stats.coarsened_blocks);
  }
  if (isatty(STDERR_FILENO)) {
    const double seconds =
        static_cast<double>(stats.total_frames) / info.samplerate;
    std::fprintf(
        stderr,
        "%s: %u ch, %d Hz, %.2f s, %u blocks, %llu bytes, %.1f kbit/s\n",
        args.output.c_str(), channels, info.samplerate, seconds,
        stats.block_count, static_cast<unsigned long long>(stats.file_size),
        static_cast<double>(stats.file_size) * 8.0 / seconds / 1000.0);
  }
}

}  // namespace

int run_encode(int argc, char** argv) {
  try {
    encode_file(parse_arguments(argc, argv));
    return 0;
  } catch (const Failure& f) {
    std::fprintf(stderr, "velka: %s\n", f.message.c_str());
  } catch (const EncodeError& e) {
    std::fprintf(stderr, "velka: %s\n", e.what());
  } catch (const std::bad_alloc&) {
    std::fputs("velka: out of memory\n", stderr);
  }
  return 1;
}

}  // namespace velka
