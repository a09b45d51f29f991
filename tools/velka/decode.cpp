// velka decode: Velk audio files to WAV, FLAC, AIFF, Ogg Vorbis, Opus, MP3
// or raw PCM through the plug-in, loaded by path and driven the way a host
// drives it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "audio_output.h"
#include "batch.h"
#include "commands.h"
#include "host/plugin_host.h"
#include "safe_output.h"
#include "stream_input.h"

namespace velka {
namespace {

using orv::host::HostError;

// The input name that stands for standard input.
constexpr const char* standard_input_name = "-";

struct DecodeOptions {
  BatchOptions batch;
  std::string format;  // empty: from the output's name
  bool raw = false;
  std::string plugin = orv::host::default_plugin_path();
  uint32_t start_ms = 0;
  uint32_t duration_ms = 0;
  std::vector<uint32_t> loop;  // START END, or empty
  uint32_t loop_count = 1;
  double fade_seconds = 0;
  std::string fade_shape = "cosine";
  bool no_trim = false;
  bool summary = false;
  bool strict = false;
  double bitrate_kbps = 0;  // lossy outputs; 0: the codec's own
  // Which of the optional numbers were given.
  bool has_start = false;
  bool has_duration = false;
};

// The file open on the plug-in, with what it will play.
struct Source {
  std::unique_ptr<StreamInput> input;  // for anything but a regular file
  orv::host::Stream stream;
  VelkHostFileHeader header;
  VelkHostStreamInfo info;
  uint32_t channels;
  uint32_t sample_rate;
  uint32_t frame_bytes;
};

// A fade to silence over the frames [start, start + length) of the output.
struct Fade {
  uint64_t start = UINT64_MAX;
  uint64_t length = 0;
  bool cosine = true;
};

// What to pull from the source: frames up to `limit` (UINT64_MAX: to the
// stream's end), of which `promised` are expected to arrive, starting at
// the file's frame `first_frame`.
struct Plan {
  uint64_t limit = UINT64_MAX;
  uint64_t promised = UINT64_MAX;
  uint64_t first_frame = 0;
  Fade fade;
};

// Seeks and loops locate samples through a seek table whose entries have a
// known number of blocks, which only version 2 headers give.
std::string why_no_seek_table(const VelkHostFileHeader& header) {
  if (header.seek_entry_count == 0) return "it has no seek table";
  return "its seek table does not say how many blocks an entry holds "
         "(format version " +
         std::to_string(header.version) + ")";
}

// The stream on `path`: a regular file by name, or standard input ("-"), a
// named pipe or a device read as it comes.
Source open_source(orv::host::Plugin& plugin, const std::string& path) {
  std::unique_ptr<StreamInput> input;
  if (path == standard_input_name) {
    if (isatty(STDIN_FILENO) == 1) {
      throw FileFailure(
          "standard input is a terminal; pipe a Velk audio file into velka");
    }
    input = std::make_unique<StreamInput>(STDIN_FILENO, false);
  } else if (struct stat st; stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw FileFailure("'" + path + "' is a directory");
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        throw FileFailure("cannot open '" + path +
                          "': " + std::strerror(errno));
      }
      input = std::make_unique<StreamInput>(fd, true);
    }
  }
  orv::host::Stream stream =
      input == nullptr ? plugin.open(path) : plugin.open(input->source(), path);
  const VelkHostFileHeader header = stream.header();
  const VelkHostStreamInfo info = stream.info();
  const auto format = stream.output_format();
  if (!format.playable) {
    throw FileFailure("'" + path + "' declares " +
                      std::to_string(format.channels) + " channels at " +
                      std::to_string(format.sample_rate) +
                      " Hz, which cannot be played");
  }
  return Source{
      std::move(input),   std::move(stream),     header, info, format.channels,
      format.sample_rate, format.bytes_per_frame};
}

// Seeks to --start, arms the loop and works out where the output ends.
Plan plan_playback(Source& source, const DecodeOptions& o,
                   const std::string& path) {
  const VelkHostFileHeader& header = source.header;
  if ((o.has_start || !o.loop.empty()) && source.input != nullptr &&
      !source.input->seekable()) {
    throw FileFailure(std::string(o.has_start ? "--start" : "--loop") +
                      " needs an input that can seek, and '" + path +
                      "' is a pipe; give a file's name");
  }
  uint64_t first_frame = 0;
  if (o.has_start) {
    // The seek would stop at the last frame and play a block's worth of
    // what lies there; starting past the end is a mistake to name.
    const uint64_t target = uint64_t{o.start_ms} * header.sample_rate / 1000;
    if (target >= header.total_samples) {
      throw FileFailure("--start " + std::to_string(o.start_ms) +
                        " ms lies past the end of '" + path +
                        "', which lasts " +
                        clock_time(static_cast<double>(header.total_samples) /
                                       header.sample_rate,
                                   3));
    }
    VelkHostSeek seek{};
    if (!source.stream.seek_ms(o.start_ms, &seek)) {
      throw FileFailure("cannot seek in '" + path +
                        "': " + why_no_seek_table(header));
    }
    first_frame = seek.start_sample;
  }
  Plan plan;
  plan.first_frame = first_frame;
  if (!o.loop.empty()) {
    const uint32_t loop_start = o.loop[0];
    const uint32_t loop_end = o.loop[1];
    if (loop_end > header.total_samples) {
      throw FileFailure("the loop end " + std::to_string(loop_end) +
                        " lies past the end of '" + path + "' (" +
                        std::to_string(header.total_samples) +
                        " sample frames)");
    }
    // A fade plays on round the loop while it dies away, so the stream
    // then loops without end and the plan cuts it.
    const bool fading = o.fade_seconds > 0;
    VelkHostLoop loop{};
    if (!source.stream.set_loop(loop_start, loop_end, fading ? 0 : o.loop_count,
                                &loop)) {
      throw FileFailure("cannot loop '" + path +
                        "': " + why_no_seek_table(header));
    }
    const uint64_t first_pass =
        loop_end > first_frame ? loop_end - first_frame : 0;
    plan.promised = first_pass +
                    uint64_t{o.loop_count - 1} * (loop_end - loop.start_sample);
    if (fading) {
      plan.fade.start = plan.promised;
      plan.fade.length = static_cast<uint64_t>(
          std::llround(o.fade_seconds * source.sample_rate));
      plan.fade.cosine = o.fade_shape == "cosine";
      plan.promised += plan.fade.length;
    }
    plan.limit = plan.promised;
  } else {
    plan.promised = header.total_samples > first_frame
                        ? header.total_samples - first_frame
                        : 0;
    if (!o.no_trim) plan.limit = plan.promised;
  }
  if (o.has_duration) {
    plan.limit = std::min<uint64_t>(
        plan.limit, uint64_t{o.duration_ms} * source.sample_rate / 1000);
  }
  return plan;
}

// Scales the frames of `samples` that fall in the fade; `first` is the
// output frame `samples` starts at. The fade's last frame is silent.
void apply_fade(const Fade& fade, uint64_t first, int16_t* samples,
                size_t frames, uint32_t channels) {
  // Chunks before the fade (every chunk, without one) pass untouched.
  if (first + frames <= fade.start) return;
  const size_t from = fade.start > first ? fade.start - first : 0;
  for (size_t f = from; f < frames; ++f) {
    const uint64_t k = first + f - fade.start;
    double gain = 0.0;
    if (k + 1 < fade.length) {
      const double t =
          static_cast<double>(k) / static_cast<double>(fade.length - 1);
      gain =
          fade.cosine ? 0.5 * (1.0 + std::cos(std::numbers::pi * t)) : 1.0 - t;
    }
    for (uint32_t c = 0; c < channels; ++c) {
      int16_t& s = samples[f * channels + c];
      s = static_cast<int16_t>(std::lround(s * gain));
    }
  }
}

// Pulls the planned frames from the source into the writer; returns how
// many arrived.
uint64_t pump(Source& source, const Plan& plan, AudioWriter& writer,
              JobReport& report) {
  const uint32_t channels = source.channels;
  const size_t frame_bytes = source.frame_bytes;
  constexpr size_t chunk_frames = 4096;
  std::vector<uint8_t> bytes(chunk_frames * frame_bytes);
  std::vector<int16_t> samples(chunk_frames * channels);
  uint64_t frames = 0;
  while (frames < plan.limit && !source.stream.ended()) {
    const uint64_t want = std::min<uint64_t>(plan.limit - frames, chunk_frames);
    const size_t got = source.stream.pull(bytes.data(), want * frame_bytes);
    const size_t whole = got / frame_bytes;  // a cut frame at the end goes
    if (whole == 0) continue;
    for (size_t i = 0; i < whole * channels; ++i) {
      samples[i] = static_cast<int16_t>(
          static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8));
    }
    apply_fade(plan.fade, frames, samples.data(), whole, channels);
    writer.write(samples.data(), whole);
    frames += whole;
    report.add_audio(whole, source.sample_rate);
  }
  return frames;
}

// "a", "a and b", "a, b and c".
std::string listing(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? " and " : ", ";
    text += items[i];
  }
  return text;
}

// Pulls and drops what follows the output, a few blocks' worth at most:
// the padding after the header's length, so that the stream reaches its
// end and can tell what it lost.
void drain(Source& source) {
  constexpr size_t most_frames = 8192;
  std::vector<uint8_t> sink(size_t{1024} * source.frame_bytes);
  for (size_t left = most_frames * source.frame_bytes;
       left > 0 && !source.stream.ended();) {
    const size_t ask = std::min(left, sink.size());
    source.stream.pull(sink.data(), ask);
    left -= ask;
  }
}

// What a decode lost, in one line, or empty when nothing was. Frames lost
// are those the stream says its blocks should have held, or failing that
// (with a loop) those the plan promised that never came; the places are
// positions in the output.
std::string damage_line(const std::string& input, const Source& source,
                        const Plan& plan, uint64_t frames) {
  const VelkHostDamage d = source.stream.damage();
  const uint64_t due = std::min(plan.limit, plan.promised);
  const uint64_t lost =
      std::max<uint64_t>(d.frames_missing, frames < due ? due - frames : 0);
  if (lost == 0 && d.gaps == 0) return {};
  const double rate = source.sample_rate;
  std::string line = "'" + input + "' is ";
  if (d.input_cut != 0) {
    line += "cut short (" + std::to_string(d.input_end) + " of " +
            std::to_string(source.header.file_size) + " bytes)";
    if (d.gaps != 0) line += " and damaged";
  } else {
    line += "damaged";
  }
  if (frames == 0) return line + ": nothing in it could be decoded";
  std::vector<std::string> places;
  for (uint32_t i = 0; i < d.places_kept; ++i) {
    const uint64_t at = d.places[i] - std::min(d.places[i], plan.first_frame);
    places.push_back(clock_time(static_cast<double>(at) / rate, 2));
  }
  if (d.gaps > d.places_kept) {
    places.push_back(std::to_string(d.gaps - d.places_kept) + " more places");
  }
  // Without a gap to explain them, the frames went missing at the end.
  if (lost > 0 && (d.input_cut != 0 || d.gaps == 0)) {
    places.push_back(clock_time(static_cast<double>(frames) / rate, 2) +
                     ", where it ends");
  }
  if (lost == 0) return line + ": data lost at " + listing(places);
  char amount[96];
  std::snprintf(amount, sizeof amount, ": %llu frames (%.2f s) lost at ",
                static_cast<unsigned long long>(lost),
                static_cast<double>(lost) / rate);
  return line + amount + listing(places);
}

std::string summary_line(const Job& job, const Source& source, uint64_t frames,
                         double seconds) {
  const double audio_seconds = static_cast<double>(frames) / source.sample_rate;
  char text[512];
  std::string line;
  std::snprintf(text, sizeof text,
                "Decoded %s to %s: %s of audio (%llu sample frames), %u "
                "channel%s at %u Hz, 16-bit.",
                job.input.c_str(), job.output.c_str(),
                clock_time(audio_seconds, 2).c_str(),
                static_cast<unsigned long long>(frames), source.channels,
                source.channels == 1 ? "" : "s", source.sample_rate);
  line += text;
  // The plug-in has no input bit rate for a file shorter than a millisecond.
  const VelkHostStreamInfo& info = source.info;
  if (info.input_bit_rate != 0) {
    std::snprintf(
        text, sizeof text,
        " The compressed stream runs at %.1f kbit/s against %.1f kbit/s of "
        "PCM (%.1f:1).",
        info.input_bit_rate / 1000.0, info.output_bit_rate / 1000.0,
        static_cast<double>(info.output_bit_rate) / info.input_bit_rate);
    line += text;
  }
  if (seconds > 0) {
    std::snprintf(text, sizeof text,
                  " Decoding took %.3f s, %.0f times faster than real time.",
                  seconds, audio_seconds / seconds);
    line += text;
  }
  return line + "\n";
}

void decode_file(const Job& job, JobReport& report, const DecodeOptions& o,
                 const OutputFormat& format) {
  // Each worker thread loads the plug-in once, for all its files.
  thread_local std::unique_ptr<orv::host::Plugin> plugin;
  if (plugin == nullptr) {
    try {
      plugin = std::make_unique<orv::host::Plugin>(o.plugin);
    } catch (const HostError& e) {
      throw FileFailure(e.what(), true);  // no file would fare better
    }
  }
  try {
    Source source = open_source(*plugin, job.input);
    const Plan plan = plan_playback(source, o, job.input);
    report.expect(std::min(plan.limit, plan.promised));
    AudioParams params;
    params.channels = source.channels;
    params.sample_rate = source.sample_rate;
    params.bitrate_kbps = o.bitrate_kbps;
    // Known unless the stream may run past the header's length.
    if (plan.limit <= plan.promised) params.frames = plan.limit;
    const std::string refused = why_format_refuses(format, params);
    if (!refused.empty()) throw FileFailure("'" + job.input + "': " + refused);

    SafeOutput out;
    if (!out.open(job.output, o.batch.force)) {
      throw FileFailure(out.error(), !out.refused_existing());
    }
    const auto started = std::chrono::steady_clock::now();
    AudioWriter writer(out, format, params);
    const uint64_t frames = pump(source, plan, writer, report);
    if (frames == plan.promised && o.loop.empty()) drain(source);
    // Damage keeps what could be decoded, and says what was lost; with
    // --strict, or when nothing at all could be, it is a failure instead.
    std::string damage = damage_line(job.input, source, plan, frames);
    if (!damage.empty() && (o.strict || frames == 0)) {
      if (frames == 0) throw FileFailure(damage);
      throw FileFailure(damage + (out.is_direct()
                                      ? " (--strict; what was written stays)"
                                      : " (--strict: no output)"));
    }
    if (writer.finish() > 0) {
      damage += "; silence fills the end, to the length the stream announced";
    }
    const double seconds = std::chrono::duration<double>(
                               std::chrono::steady_clock::now() - started)
                               .count();
    if (!out.commit()) throw FileFailure(out.error(), !out.refused_existing());
    if (!damage.empty()) report.damaged(damage);
    if (o.summary) {
      // Beside standard output's audio, the summary goes to standard error.
      std::FILE* to = out.is_standard_output() ? stderr : stdout;
      std::fputs(summary_line(job, source, frames, seconds).c_str(), to);
    }
  } catch (const HostError& e) {
    throw FileFailure(e.what());
  }
}

// The jobs and the output format from the names on the command line:
// with -o every name is an input; without it, two names are IN OUT when
// the second is not a Velk file, and otherwise each output goes beside
// its input.
std::vector<Job> plan_jobs(const DecodeOptions& o,
                           const OutputFormat*& format) {
  const std::vector<std::string>& files = o.batch.files;
  check_batch_names(files, o.batch.out_dir, "decode",
                    [](const std::string& name) {
                      std::error_code missing;
                      return !has_extension(name, "velka") &&
                             (format_for_name(name) != nullptr ||
                              !std::filesystem::exists(name, missing));
                    });
  format = o.raw ? format_named("raw") : format_named(o.format);
  // IN OUT, where OUT may be "-" for standard output.
  const bool in_and_out = o.batch.out_dir.empty() && files.size() == 2 &&
                          !has_extension(files[1], "velka");
  const bool reads_standard_input =
      std::find(files.begin(), files.end() - (in_and_out ? 1 : 0),
                standard_input_name) != files.end() - (in_and_out ? 1 : 0);
  if (reads_standard_input &&
      !(in_and_out && files[0] == standard_input_name)) {
    throw UsageError(
        "standard input is decoded on its own and needs an output: velka "
        "decode - OUT");
  }
  if (in_and_out) {
    const std::string& output = files[1];
    if (output == SafeOutput::standard_output_name) {
      if (format == nullptr) format = format_named("wav");
      // AIFF has to seek back for its sizes; the rest stream.
      if ((format->sndfile_format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF) {
        throw UsageError("AIFF cannot be written to standard output; use WAV");
      }
    } else if (format == nullptr) {
      format = format_for_name(output);
      if (format == nullptr) {
        throw UsageError("cannot tell the output format from the name '" +
                         output + "'; name one with --format");
      }
    }
    return {{files[0], output}};
  }
  if (format == nullptr) format = format_named("wav");
  std::vector<Job> jobs;
  for (const std::string& input : files) {
    jobs.push_back(
        {input, output_name(input, o.batch.out_dir, format->extension)});
  }
  return jobs;
}

// CLI::Range for numbers with a fraction, whose message gives the bounds
// as they are written ("1 to 10000") rather than with six decimals.
CLI::Validator plain_range(double low, double high) {
  char bounds[64];
  std::snprintf(bounds, sizeof bounds, "%g to %g", low, high);
  const std::string range = bounds;
  std::snprintf(bounds, sizeof bounds, "FLOAT in [%g - %g]", low, high);
  return CLI::Validator(
      [low, high, range](const std::string& value) -> std::string {
        // A value that is no number is left to the conversion's message.
        char* end = nullptr;
        const double number = std::strtod(value.c_str(), &end);
        if (end == value.c_str() || (number >= low && number <= high)) {
          return {};
        }
        return "Value " + value + " not in range " + range;
      },
      bounds);
}

std::string format_list() {
  std::string list;
  for (const OutputFormat& f : output_formats()) {
    list += list.empty() ? "" : ", ";
    list += f.name;
  }
  return list;
}

int run(const DecodeOptions& o) {
  if (!o.loop.empty() && o.loop[0] >= o.loop[1]) {
    throw UsageError("--loop needs START below END");
  }
  const OutputFormat* format = nullptr;
  const std::vector<Job> jobs = plan_jobs(o, format);
  if (o.bitrate_kbps > 0 && format->lossless) {
    throw UsageError(std::string("--bitrate is for the lossy outputs (ogg, "
                                 "opus, mp3), not ") +
                     format->name);
  }
  check_distinct_outputs(jobs);
  BatchSettings settings{"decode", "decoding", o.batch.jobs, o.batch.out_dir};
  settings.quiet = o.batch.quiet;
  return run_batch(settings, jobs, [&](const Job& job, JobReport& report) {
    decode_file(job, report, o, *format);
  });
}

}  // namespace

Command add_decode_command(CLI::App& velka) {
  auto o = std::make_shared<DecodeOptions>();
  CLI::App* cmd = velka.add_subcommand(
      "decode",
      "Decode Velk audio files through the plug-in to " + format_list());
  add_batch_options(*cmd, o->batch,
                    "IN.velka... [OUT]: the files to decode and, without "
                    "-o, the output (- for standard output)");
  CLI::Option* format =
      cmd->add_option("--format", o->format,
                      "Output format (" + format_list() +
                          "); by default from the output's name, else wav")
          ->check(CLI::IsMember([] {
            std::vector<std::string> names;
            for (const OutputFormat& f : output_formats()) {
              names.push_back(f.name);
            }
            return names;
          }()));
  cmd->add_flag("--raw", o->raw, "The same as --format raw")->excludes(format);
  cmd->add_option("--start", o->start_ms,
                  "Start at MS milliseconds (sample-exact seek)")
      ->type_name("MS");
  cmd->add_option("--duration", o->duration_ms,
                  "Stop after MS milliseconds of output")
      ->type_name("MS");
  CLI::Option* loop =
      cmd->add_option("--loop", o->loop,
                      "Play up to sample frame END, then jump back to START")
          ->expected(2)
          ->type_name("START END");
  cmd->add_option("--loop-count", o->loop_count,
                  "Passes of the loop in all (default 1)")
      ->type_name("N")
      ->check(CLI::Range(1u, UINT32_MAX))
      ->needs(loop);
  CLI::Option* fade =
      cmd->add_option("--fade", o->fade_seconds,
                      "After the last pass, fade out over SECONDS while the "
                      "loop plays on, then stop")
          ->type_name("SECONDS")
          ->check(plain_range(0, 3600))
          ->needs(loop);
  cmd->add_option("--fade-shape", o->fade_shape,
                  "Shape of the fade: cosine (default) or linear")
      ->check(CLI::IsMember({"cosine", "linear"}))
      ->needs(fade);
  cmd->add_option("--plugin", o->plugin,
                  "The decoder plug-in to load (default: the one installed "
                  "with velka)")
      ->type_name("PATH");
  cmd->add_flag("--no-trim", o->no_trim,
                "Keep every decoded frame, past the header's length");
  cmd->add_flag("--summary", o->summary,
                "Print duration, rates, channels, bit rates and speed");
  cmd->add_option("-b,--bitrate", o->bitrate_kbps,
                  "Bit rate of a lossy output in kbit/s: constant for mp3, "
                  "a target for opus, the nearest quality for ogg")
      ->type_name("KBPS")
      ->check(plain_range(1, 10000));
  cmd->add_flag("--strict", o->strict,
                "Fail on a damaged or cut file and write no output, instead "
                "of keeping what decodes (exit status 1)");
  return {cmd, [o, cmd] {
            o->has_start = cmd->count("--start") > 0;
            o->has_duration = cmd->count("--duration") > 0;
            return run(*o);
          }};
}

}  // namespace velka
