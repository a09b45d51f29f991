// velka info: header fields, block statistics and seek table of a file,
// read straight from its bytes, with a consistency check of each; then
// what the decoder plug-in answers about the same file.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "format/block_frame.h"
#include "format/file_header.h"
#include "format/frame.h"
#include "format/seek_table.h"
#include "host/plugin_host.h"

namespace velka {

namespace {

using orv::vlkdec::FileHeader;

struct BlockSummary {
  uint64_t count = 0;
  uint64_t bytes = 0;  // whole blocks, frame headers included
  uint32_t smallest = 0;
  uint32_t largest = 0;
  uint64_t data_bytes = 0;  // bytes after the seek table
};

struct SeekSummary {
  uint64_t smallest = 0;
  uint64_t largest = 0;
  uint64_t total = 0;
};

std::string json_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

struct InfoOptions {
  std::vector<std::string> files;
  bool json = false;
  std::string plugin = orv::host::default_plugin_path();
};

// The plug-in, loaded once for every file, or why it could not be.
struct Loaded {
  std::unique_ptr<orv::host::Plugin> plugin;
  std::string error;
};

Loaded load_plugin(const std::string& path) {
  Loaded loaded;
  try {
    loaded.plugin = std::make_unique<orv::host::Plugin>(path);
  } catch (const std::exception& e) {
    loaded.error = e.what();
  }
  return loaded;
}

// The plug-in's answers about the file.
struct PluginAnswers {
  bool loaded = false;
  std::string error;  // why there are no answers, one line
  VelkHostStreamInfo info{};
};

struct AnswerField {
  const char* json_name;
  const char* label;
  const char* unit;
  uint32_t VelkHostStreamInfo::*value;
  uint32_t answered_bit;
};

const AnswerField answer_fields[] = {
    {"input_bit_rate", "input bit rate", "bit/s",
     &VelkHostStreamInfo::input_bit_rate, VELK_HOST_INFO_INPUT_BIT_RATE},
    {"input_sample_rate", "input rate", "Hz",
     &VelkHostStreamInfo::input_sample_rate, VELK_HOST_INFO_INPUT_SAMPLE_RATE},
    {"input_sample_width", "input width", "bits",
     &VelkHostStreamInfo::input_sample_width,
     VELK_HOST_INFO_INPUT_SAMPLE_WIDTH},
    {"input_channels", "input channels", "",
     &VelkHostStreamInfo::input_channels, VELK_HOST_INFO_INPUT_CHANNELS},
    {"output_bit_rate", "output bit rate", "bit/s",
     &VelkHostStreamInfo::output_bit_rate, VELK_HOST_INFO_OUTPUT_BIT_RATE},
    {"output_sample_rate", "output rate", "Hz",
     &VelkHostStreamInfo::output_sample_rate,
     VELK_HOST_INFO_OUTPUT_SAMPLE_RATE},
    {"output_sample_width", "output width", "bits",
     &VelkHostStreamInfo::output_sample_width,
     VELK_HOST_INFO_OUTPUT_SAMPLE_WIDTH},
    {"output_channels", "output channels", "",
     &VelkHostStreamInfo::output_channels, VELK_HOST_INFO_OUTPUT_CHANNELS},
    {"duration_ms", "duration", "ms", &VelkHostStreamInfo::duration_ms,
     VELK_HOST_INFO_DURATION},
};

// Loads the plug-in and asks it about the file. A plug-in that cannot be
// loaded, or that refuses the file, leaves the answers out, not the rest
// of the report.
PluginAnswers ask_plugin(const Loaded& plugin, const std::string& path) {
  PluginAnswers answers;
  answers.error = plugin.error;
  try {
    if (plugin.plugin == nullptr) throw orv::host::HostError(plugin.error);
    orv::host::Stream stream = plugin.plugin->open(path);
    answers.info = stream.info();
    answers.loaded = true;
  } catch (const std::exception& e) {
    answers.error = e.what();
  }
  for (char& c : answers.error) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return answers;
}

bool answered(const PluginAnswers& a, size_t field) {
  return a.loaded && (a.info.answered & answer_fields[field].answered_bit) != 0;
}

// Where the plug-in's answers contradict the header.
void compare_with_header(const PluginAnswers& a, const FileHeader& h,
                         std::vector<std::string>& problems) {
  const struct {
    size_t field;
    uint32_t expected;
  } checks[] = {
      {1, h.sample_rate}, {3, h.channels}, {5, h.sample_rate}, {7, h.channels}};
  for (const auto& check : checks) {
    if (!answered(a, check.field)) continue;
    const AnswerField& f = answer_fields[check.field];
    const uint32_t got = a.info.*f.value;
    if (got != check.expected) {
      problems.push_back(std::string("the plug-in's ") + f.label + " is " +
                         std::to_string(got) + " but the header says " +
                         std::to_string(check.expected));
    }
  }
}

void print_answers_json(const std::string& plugin_path,
                        const PluginAnswers& a) {
  std::printf("\"plugin\":{\"path\":\"%s\",\"loaded\":%s",
              json_escape(plugin_path).c_str(), a.loaded ? "true" : "false");
  if (!a.loaded) {
    std::printf(",\"error\":\"%s\"}", json_escape(a.error).c_str());
    return;
  }
  for (size_t i = 0; i < std::size(answer_fields); ++i) {
    const AnswerField& f = answer_fields[i];
    if (answered(a, i)) {
      std::printf(",\"%s\":%u", f.json_name, a.info.*f.value);
    } else {
      std::printf(",\"%s\":null", f.json_name);
    }
  }
  std::printf("}");
}

// One answer with its unit, or "?" where the plug-in gave none.
std::string answer_text(const PluginAnswers& a, size_t field) {
  const AnswerField& f = answer_fields[field];
  std::string text = answered(a, field) ? std::to_string(a.info.*f.value) : "?";
  if (*f.unit != '\0') text += std::string(" ") + f.unit;
  return text;
}

void print_answers_text(const std::string& plugin_path,
                        const PluginAnswers& a) {
  if (!a.loaded) {
    std::printf("plug-in:         no answers (%s)\n", a.error.c_str());
    return;
  }
  std::printf("plug-in:         %s\n", plugin_path.c_str());
  // Fields 0-3 describe the input, 4-7 the output, in the same order.
  for (size_t side = 0; side < 2; ++side) {
    const size_t at = 4 * side;
    std::printf("  %s        %s, %s, %s channels, %s\n",
                side == 0 ? "input: " : "output:",
                answer_text(a, at + 1).c_str(), answer_text(a, at + 2).c_str(),
                answer_text(a, at + 3).c_str(), answer_text(a, at).c_str());
  }
  std::printf("  duration:      %s\n", answer_text(a, 8).c_str());
}

// Reports on one file: the whole report, or one line of it.
void describe(const std::string& path, const InfoOptions& o,
              const Loaded& plugin, bool one_line, JobReport& report) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    throw FileFailure("cannot open '" + path + "': " + std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode)) throw FileFailure("'" + path + "' is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileFailure("cannot open '" + path + "'");
  uint8_t head[orv::vlkdec::file_header_bytes];
  in.read(reinterpret_cast<char*>(head), sizeof head);
  const auto parsed =
      orv::vlkdec::parse_file_header(head, static_cast<size_t>(in.gcount()));
  if (!parsed) {
    throw FileFailure("'" + path + "' is not a Velk audio file (bad header)");
  }
  const FileHeader h = *parsed;
  std::vector<std::string> problems;
  if (h.channels < 1 || h.channels > orv::vlkdec::max_channels)
    problems.push_back("channel count outside 1..8");
  if (h.sample_rate == 0) problems.push_back("sample rate 0");

  // Seek table: read in chunks; a table longer than the file is a problem.
  SeekSummary seek;
  constexpr uint64_t chunk_entries = 4096;
  constexpr uint64_t entry_bytes = orv::vlkdec::seek_entry_bytes;
  std::vector<uint8_t> chunk(entry_bytes * chunk_entries);
  uint64_t entries_left = h.seek_entry_count;
  bool first_entry = true;
  while (entries_left > 0) {
    const uint64_t take = std::min(entries_left, chunk_entries);
    in.read(reinterpret_cast<char*>(chunk.data()),
            static_cast<std::streamsize>(entry_bytes * take));
    if (static_cast<uint64_t>(in.gcount()) != entry_bytes * take) {
      problems.push_back("seek table runs past the end of the file");
      break;
    }
    for (uint64_t e = 0; e < take; ++e) {
      const uint32_t s = orv::vlkdec::read_seek_entry(chunk.data(), e);
      seek.smallest = first_entry ? s : std::min<uint64_t>(seek.smallest, s);
      seek.largest = std::max<uint64_t>(seek.largest, s);
      seek.total += s;
      first_entry = false;
    }
    entries_left -= take;
  }

  // Blocks: walk the frame headers.
  BlockSummary blocks;
  std::vector<uint8_t> payload(orv::vlkdec::max_block_payload_bytes);
  while (in) {
    uint8_t frame[orv::vlkdec::block_frame_header_bytes];
    in.read(reinterpret_cast<char*>(frame), sizeof frame);
    const auto got = in.gcount();
    blocks.data_bytes += static_cast<uint64_t>(got);
    if (got == 0) break;
    const auto size =
        orv::vlkdec::read_block_frame(frame, static_cast<size_t>(got));
    if (!size) {
      problems.push_back("block framing broken at block " +
                         std::to_string(blocks.count));
      in.seekg(0, std::ios::end);
      break;
    }
    in.read(reinterpret_cast<char*>(payload.data()), *size);
    blocks.data_bytes += static_cast<uint64_t>(in.gcount());
    if (static_cast<uint32_t>(in.gcount()) != *size) {
      problems.push_back("last block truncated");
      break;
    }
    const uint32_t whole = orv::vlkdec::block_frame_header_bytes + *size;
    blocks.smallest =
        blocks.count == 0 ? whole : std::min(blocks.smallest, whole);
    blocks.largest = std::max(blocks.largest, whole);
    blocks.bytes += whole;
    ++blocks.count;
  }
  // Count whatever is left after broken framing.
  in.clear();
  in.seekg(0, std::ios::end);
  const uint64_t actual_size = static_cast<uint64_t>(in.tellg());

  if (actual_size != h.file_size) {
    problems.push_back("header file_size " + std::to_string(h.file_size) +
                       " but the file has " + std::to_string(actual_size) +
                       " bytes");
  }
  if (blocks.largest > h.max_block_size) {
    problems.push_back("a block of " + std::to_string(blocks.largest) +
                       " bytes exceeds max_block_size");
  }
  const uint64_t data_start = orv::vlkdec::data_start_for(h);
  if (h.seek_entry_count > 0 && actual_size >= data_start &&
      seek.total != actual_size - data_start) {
    problems.push_back("seek table covers " + std::to_string(seek.total) +
                       " bytes of " + std::to_string(actual_size - data_start) +
                       " bytes of blocks");
  }

  const PluginAnswers answers = ask_plugin(plugin, path);
  compare_with_header(answers, h, problems);
  if (!problems.empty()) report.damaged({});  // listed in the report

  const double seconds =
      h.sample_rate ? static_cast<double>(h.total_samples) / h.sample_rate
                    : 0.0;
  const double kbps =
      seconds > 0.0 ? static_cast<double>(h.file_size) * 8.0 / seconds / 1000.0
                    : 0.0;
  const uint32_t n = orv::vlkdec::frame_length_for_rate(h.sample_rate);
  report.add_audio(h.total_samples, h.sample_rate);
  const double mean_block = blocks.count ? static_cast<double>(blocks.bytes) /
                                               static_cast<double>(blocks.count)
                                         : 0.0;

  if (o.json) {
    std::printf(
        "{\"file\":\"%s\",\"version\":%u,\"channels\":%u,\"sample_rate\":%u,"
        "\"total_samples\":%u,\"duration_seconds\":%.6f,\"file_size\":%u,"
        "\"bitrate_kbps\":%.3f,\"frame_length\":%u,\"max_block_size\":%u,"
        "\"blocks\":{\"count\":%llu,\"min_size\":%u,\"mean_size\":%.1f,\"max_"
        "size\":%u},"
        "\"seek_table\":{\"entries\":%u,\"blocks_per_entry\":%u,\"min_"
        "stretch\":%llu,"
        "\"max_stretch\":%llu},",
        json_escape(path).c_str(), h.version, h.channels, h.sample_rate,
        h.total_samples, seconds, h.file_size, kbps, n, h.max_block_size,
        static_cast<unsigned long long>(blocks.count), blocks.smallest,
        mean_block, blocks.largest, h.seek_entry_count, h.blocks_per_seek_entry,
        static_cast<unsigned long long>(seek.smallest),
        static_cast<unsigned long long>(seek.largest));
    print_answers_json(o.plugin, answers);
    std::printf(",\"problems\":[");
    for (size_t i = 0; i < problems.size(); ++i) {
      std::printf("%s\"%s\"", i ? "," : "", json_escape(problems[i]).c_str());
    }
    std::printf("]}\n");
    return;
  }
  if (one_line) {
    std::printf(
        "%s: version %u, %u ch, %u Hz, %.3f s, %.1f kbit/s, %llu "
        "blocks, ",
        path.c_str(), h.version, h.channels, h.sample_rate, seconds, kbps,
        static_cast<unsigned long long>(blocks.count));
    if (h.seek_entry_count == 0) {
      std::printf("no seek table");
    } else {
      std::printf("%u seek entries", h.seek_entry_count);
    }
    if (!answers.loaded) std::printf(", no plug-in answers");
    for (const auto& p : problems) std::printf("; problem: %s", p.c_str());
    std::printf("\n");
    return;
  }
  std::printf("file:            %s\n", path.c_str());
  std::printf("format version:  %u\n", h.version);
  std::printf("channels:        %u\n", h.channels);
  std::printf("sample rate:     %u Hz (frame length %u)\n", h.sample_rate, n);
  std::printf("total samples:   %u\n", h.total_samples);
  std::printf("duration:        %.3f s\n", seconds);
  std::printf("file size:       %u bytes\n", h.file_size);
  std::printf("bit rate:        %.1f kbit/s\n", kbps);
  std::printf("max block size:  %u bytes\n", h.max_block_size);
  std::printf("blocks:          %llu (min %u, mean %.1f, max %u bytes)\n",
              static_cast<unsigned long long>(blocks.count), blocks.smallest,
              mean_block, blocks.largest);
  if (h.seek_entry_count == 0) {
    std::printf("seek table:      none\n");
  } else {
    std::printf("seek table:      %u entries", h.seek_entry_count);
    if (h.version == 2)
      std::printf(", %u blocks per entry", h.blocks_per_seek_entry);
    std::printf(" (stretches %llu to %llu bytes)\n",
                static_cast<unsigned long long>(seek.smallest),
                static_cast<unsigned long long>(seek.largest));
  }
  print_answers_text(o.plugin, answers);
  for (const auto& p : problems)
    std::printf("problem:         %s\n", p.c_str());
}

int run(const InfoOptions& o) {
  std::vector<Job> jobs;
  for (const std::string& path : o.files) jobs.push_back({path, {}});
  const Loaded plugin = load_plugin(o.plugin);
  const bool one_line = jobs.size() > 1 && !o.json;
  BatchSettings settings{"info", "reading", 1, {}, false};
  return run_batch(settings, jobs, [&](const Job& job, JobReport& report) {
    describe(job.input, o, plugin, one_line, report);
  });
}

}  // namespace

Command add_info_command(CLI::App& velka) {
  auto o = std::make_shared<InfoOptions>();
  CLI::App* cmd = velka.add_subcommand(
      "info",
      "Describe Velk audio files: header, duration, bit rate, blocks, seek "
      "table and the plug-in's answers");
  cmd->add_option("files", o->files,
                  "FILE.velka...: the files to describe (several: one line "
                  "each)")
      ->required();
  cmd->add_flag("--json", o->json, "One JSON object per file, one a line");
  cmd->add_option("--plugin", o->plugin,
                  "The decoder plug-in to ask (default: the one installed "
                  "with velka)")
      ->type_name("PATH");
  return {cmd, [o] { return run(*o); }};
}

}  // namespace velka
