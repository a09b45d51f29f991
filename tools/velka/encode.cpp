// velka encode: sound files libsndfile reads into Velk audio files.
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "encoder/velk_encoder.h"
#include "safe_output.h"

namespace velka {
namespace {

using orv::encoder::EncodeError;
using orv::encoder::EncoderOptions;

constexpr sf_count_t read_chunk_frames = 4096;

struct EncodeOptions {
  BatchOptions batch;
  EncoderOptions encoder;
};

// Input samples, normalised by libsndfile to [-1, 1), back on the 16-bit
// scale: exact for integer sources of up to 32 bits, rounded to nearest
// (ties to even) and saturated for wider or floating-point ones.
int16_t to_pcm16(double normalised) {
  const double v = std::nearbyint(normalised * 32768.0);
  return static_cast<int16_t>(std::clamp(v, -32768.0, 32767.0));
}

class InputFile {
 public:
  explicit InputFile(const std::string& path) {
    sound_ = sf_open(path.c_str(), SFM_READ, &info_);
    if (sound_ == nullptr) {
      throw FileFailure("cannot read '" + path + "': " + sf_strerror(nullptr));
    }
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() { sf_close(sound_); }
  SNDFILE* get() const { return sound_; }
  const SF_INFO& info() const { return info_; }

 private:
  SF_INFO info_{};
  SNDFILE* sound_ = nullptr;
};

void check_input(const std::string& path, const SF_INFO& info) {
  if (info.channels < 1 || info.channels > 8) {
    throw FileFailure("'" + path + "' has " + std::to_string(info.channels) +
                      " channels; 1 to 8 are supported");
  }
  if (info.samplerate < 1 || info.samplerate > 65535) {
    throw FileFailure("'" + path + "' has a sample rate of " +
                      std::to_string(info.samplerate) +
                      " Hz; 1 to 65535 Hz are supported");
  }
  if (info.frames == 0) throw FileFailure("'" + path + "' holds no audio");
}

// Feeds the whole input to the encoder.
void read_into(InputFile& in, const std::string& path,
               orv::encoder::Encoder& encoder, JobReport& report) {
  const auto channels = static_cast<size_t>(in.info().channels);
  std::vector<double> normalised(static_cast<size_t>(read_chunk_frames) *
                                 channels);
  std::vector<int16_t> pcm(normalised.size());
  sf_count_t done = 0;
  while (true) {
    const sf_count_t got =
        sf_readf_double(in.get(), normalised.data(), read_chunk_frames);
    if (got <= 0) break;
    const size_t samples = static_cast<size_t>(got) * channels;
    for (size_t i = 0; i < samples; ++i) pcm[i] = to_pcm16(normalised[i]);
    encoder.write(pcm.data(), static_cast<size_t>(got));
    done += got;
    report.add_audio(static_cast<uint64_t>(got),
                     static_cast<uint32_t>(in.info().samplerate));
  }
  if (sf_error(in.get()) != SF_ERR_NO_ERROR) {
    throw FileFailure("error reading '" + path + "': " + sf_strerror(in.get()));
  }
  if (done == 0) throw FileFailure("'" + path + "' holds no audio");
}

// A size for people: bytes, KiB or MiB.
std::string size_text(uint64_t bytes) {
  char text[32];
  if (bytes < 10 * 1024) {
    std::snprintf(text, sizeof text, "%llu bytes",
                  static_cast<unsigned long long>(bytes));
  } else if (bytes < 10 * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB",
                  static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB",
                  static_cast<double>(bytes) / (1024 * 1024));
  }
  return text;
}

void encode_file(const Job& job, JobReport& report, const EncodeOptions& o) {
  InputFile in(job.input);
  check_input(job.input, in.info());
  const SF_INFO& info = in.info();
  const auto channels = static_cast<unsigned>(info.channels);
  // More bits than the PCM itself holds is never what was meant.
  const double pcm_kbps = 16.0 * channels * info.samplerate / 1000;
  if (o.encoder.bitrate_kbps > pcm_kbps) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "': --bitrate takes 1 to %.0f kbit/s for %u channel%s at %d "
                  "Hz (the rate of the uncompressed audio)",
                  std::floor(pcm_kbps), channels, channels == 1 ? "" : "s",
                  info.samplerate);
    throw FileFailure("'" + job.input + text);
  }
  if (info.frames > 0) report.expect(static_cast<uint64_t>(info.frames));
  // The output is claimed before the work: an existing file is refused at
  // once, not after the whole input, and again at the rename should one
  // appear meanwhile.
  SafeOutput out;
  if (!out.open(job.output, o.batch.force)) {
    throw FileFailure(out.error(), !out.refused_existing());
  }
  orv::encoder::Encoder encoder(
      channels, static_cast<unsigned>(info.samplerate), o.encoder);
  read_into(in, job.input, encoder, report);

  bool written = true;
  const orv::encoder::EncodeStats stats =
      encoder.finish([&](const uint8_t* data, size_t size) {
        written = written && out.write(data, size);
      });
  if (!written || !out.commit()) {
    throw FileFailure(out.error(), !out.refused_existing());
  }

  if (stats.coarsened_blocks > 0) {
    report.note("note: '" + job.output +
                "': " + std::to_string(stats.coarsened_blocks) +
                " block(s) coarsened below the requested quality to fit the "
                "65535-byte block limit");
  }
  const double seconds =
      static_cast<double>(stats.total_frames) / info.samplerate;
  const double kbps = static_cast<double>(stats.file_size) * 8 / seconds / 1000;
  // The rate control meets its target within a few per cent where the
  // qualities can reach it; say so where they cannot.
  const double target = o.encoder.bitrate_kbps;
  if (target > 0 && (kbps < 0.9 * target || kbps > 1.1 * target)) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "': --bitrate %g is out of reach for this audio; the %s "
                  "quality gives %.1f kbit/s",
                  target, kbps < target ? "finest" : "coarsest", kbps);
    report.note("note: '" + job.output + text);
  }
  char text[160];
  std::snprintf(text, sizeof text, ", %.1f kbit/s (%u channel%s, %d Hz)", kbps,
                channels, channels == 1 ? "" : "s", info.samplerate);
  report.say(job.output + ": " + clock_time(seconds, 2) + ", " +
             size_text(stats.file_size) + text);
}

// With -o every name is an input; without it, two names are IN OUT when
// the second is a Velk file, and otherwise each output goes beside its
// input.
std::vector<Job> plan_jobs(const BatchOptions& o) {
  check_batch_names(o.files, o.out_dir, "encode", [](const std::string& name) {
    return has_extension(name, "velka");
  });
  if (o.out_dir.empty() && o.files.size() == 2 &&
      has_extension(o.files[1], "velka")) {
    return {{o.files[0], o.files[1]}};
  }
  std::vector<Job> jobs;
  for (const std::string& input : o.files) {
    jobs.push_back({input, output_name(input, o.out_dir, "velka")});
  }
  return jobs;
}

int run(const EncodeOptions& o) {
  const std::vector<Job> jobs = plan_jobs(o.batch);
  check_distinct_outputs(jobs);
  BatchSettings settings{"encode", "encoding", o.batch.jobs, o.batch.out_dir};
  settings.quiet = o.batch.quiet;
  return run_batch(settings, jobs, [&](const Job& job, JobReport& report) {
    try {
      encode_file(job, report, o);
    } catch (const EncodeError& e) {
      throw FileFailure("cannot encode '" + job.input + "': " + e.what());
    }
  });
}

}  // namespace

Command add_encode_command(CLI::App& velka) {
  auto o = std::make_shared<EncodeOptions>();
  CLI::App* cmd = velka.add_subcommand(
      "encode",
      "Encode sound files libsndfile reads (WAV, FLAC, AIFF, ...) into Velk "
      "audio files");
  add_batch_options(*cmd, o->batch,
                    "IN... [OUT.velka]: the files to encode and, without "
                    "-o, the output");
  CLI::Option* quality =
      cmd->add_option("-q,--quality", o->encoder.quality,
                      "Constant perceptual quality from 0 to 100 (default "
                      "50)")
          ->type_name("Q")
          ->check(CLI::Range(0, 100));
  cmd->add_option("-b,--bitrate", o->encoder.bitrate_kbps,
                  "Keep the file's average at KBPS kbit/s instead of a "
                  "quality")
      ->type_name("KBPS")
      ->check(CLI::Validator(
          [](const std::string& value) -> std::string {
            // A value that is no number is left to the conversion's message.
            char* end = nullptr;
            const double kbps = std::strtod(value.c_str(), &end);
            if (end == value.c_str() || kbps >= 1) return {};
            return "a bit rate is at least 1 kbit/s, and at most the rate of "
                   "the uncompressed audio";
          },
          "", "at least 1"))
      ->excludes(quality);
  cmd->add_option("--format-version", o->encoder.format_version,
                  "Header version 0, 1 or 2 (default 2)")
      ->type_name("V")
      ->check(CLI::Range(0u, 2u));
  CLI::Option* no_table = cmd->add_flag(
      "--no-seek-table", [o](int64_t) { o->encoder.seek_table = false; },
      "Leave the seek table out");
  cmd->add_option("--blocks-per-seek-entry", o->encoder.blocks_per_seek_entry,
                  "Blocks per seek-table stretch (default: about half a "
                  "second)")
      ->type_name("N")
      ->check(CLI::Range(1u, 65535u))
      ->excludes(no_table);
  return {cmd, [o] { return run(*o); }};
}

}  // namespace velka
