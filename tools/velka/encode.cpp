// velka encode: sound files libsndfile reads into Velk audio files.
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
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

void encode_file(const Job& job, JobReport& report, const EncodeOptions& o,
                 bool describe) {
  InputFile in(job.input);
  check_input(job.input, in.info());
  const SF_INFO& info = in.info();
  const auto channels = static_cast<unsigned>(info.channels);
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
  if (describe) {
    const double seconds =
        static_cast<double>(stats.total_frames) / info.samplerate;
    std::fprintf(
        stderr,
        "%s: %u ch, %d Hz, %.2f s, %u blocks, %llu bytes, %.1f kbit/s\n",
        job.output.c_str(), channels, info.samplerate, seconds,
        stats.block_count, static_cast<unsigned long long>(stats.file_size),
        static_cast<double>(stats.file_size) * 8.0 / seconds / 1000.0);
  }
}

// With -o every name is an input; without it, two names are IN OUT when
// the second is a Velk file, and otherwise each output goes beside its
// input.
std::vector<Job> plan_jobs(const BatchOptions& o) {
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
  // The one-line description of the result, when someone is watching.
  const bool describe = jobs.size() == 1 && isatty(STDERR_FILENO) == 1;
  BatchSettings settings{"encode", "encoding", o.batch.jobs, o.batch.out_dir};
  return run_batch(settings, jobs, [&](const Job& job, JobReport& report) {
    try {
      encode_file(job, report, o, describe);
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
      ->check(CLI::PositiveNumber)
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
