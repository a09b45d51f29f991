// Writes the fuzz targets' seed material with the project's encoder:
//   <dir>/seeds/*.VELKA                small files of every channel layout,
//                                      frame length and header version
//   <dir>/corpus/decode_stream/*       those files behind a control byte and
//                                      read schedule, whole and damaged
//   <dir>/corpus/call_sequence/*       call sequences over the seed files
//   <dir>/corpus/block_decoder/*       the seed files' sub-blocks
//   <dir>/corpus/differential/*        the same (the two share a layout)
// The signals are generated from fixed numbers, so a run always writes the
// same bytes (as long as the encoder does). Usage: fuzz_make_corpus <dir>
// (fuzz/make_corpus.sh passes the fuzz folder of the source tree).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "encoder/velk_encoder.h"
#include "format/block_frame.h"
#include "format/byte_order.h"
#include "format/file_header.h"
#include "format/frame.h"
#include "format/seek_table.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct SeedRecipe {
  const char* name;
  unsigned channels;
  unsigned sample_rate;
  unsigned version;
  bool seek_table;
  unsigned blocks_per_entry;
  unsigned blocks;  // length in blocks of the format's hop
  int quality;
};

// Kept small: libFuzzer mutates small inputs far more effectively.
constexpr SeedRecipe seed_recipes[] = {
    {"mono-8000-v2", 1, 8000, 2, true, 2, 5, 20},
    {"stereo-22050-v2", 2, 22050, 2, true, 1, 4, 10},
    {"stereo-44100-v1", 2, 44100, 1, true, 0, 3, 5},
    {"mono-11025-v0-noseek", 1, 11025, 0, false, 0, 4, 20},
    {"ch3-16000-v2", 3, 16000, 2, true, 1, 3, 5},
    {"ch6-48000-v2", 6, 48000, 2, true, 1, 2, 0},
    {"ch8-8000-v2", 8, 8000, 2, true, 3, 3, 0},
};

Bytes make_seed(const SeedRecipe& recipe) {
  const size_t frames = size_t{recipe.blocks} *
                        orv::vlkdec::samples_per_block(recipe.sample_rate);
  std::vector<int16_t> pcm(frames * recipe.channels);
  uint32_t lcg = 12345;
  for (size_t i = 0; i < frames; ++i) {
    for (unsigned c = 0; c < recipe.channels; ++c) {
      lcg = lcg * 1664525u + 1013904223u;
      const double t = static_cast<double>(i) / recipe.sample_rate;
      const double tone =
          8000.0 * std::sin(2.0 * std::numbers::pi * (220.0 * (c + 1)) * t) +
          3000.0 * std::sin(2.0 * std::numbers::pi * 1375.0 * t);
      const double noise = static_cast<double>(lcg >> 20) - 2048.0;
      pcm[i * recipe.channels + c] = static_cast<int16_t>(tone + noise);
    }
  }
  orv::encoder::EncoderOptions options;
  options.quality = recipe.quality;
  options.format_version = recipe.version;
  options.seek_table = recipe.seek_table;
  options.blocks_per_seek_entry = recipe.blocks_per_entry;
  return orv::encoder::encode_to_memory(pcm.data(), frames, recipe.channels,
                                        recipe.sample_rate, options);
}

void write_file(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

// The payloads of the file's blocks, in order.
std::vector<Bytes> payloads(const Bytes& file) {
  using namespace orv::vlkdec;
  const auto header = parse_file_header(file.data(), file.size());
  if (!header) return {};
  size_t at = data_start_for(*header);
  std::vector<Bytes> result;
  while (at <= file.size()) {
    const auto size = read_block_frame(file.data() + at, file.size() - at);
    if (!size) break;
    const size_t payload = at + block_frame_header_bytes;
    if (payload + *size > file.size()) break;
    result.emplace_back(file.begin() + static_cast<long>(payload),
                        file.begin() + static_cast<long>(payload + *size));
    at = payload + *size;
  }
  return result;
}

// The fuzz targets read their control words little-endian, as the file.
void append_u16(Bytes& out, uint32_t v) {
  out.resize(out.size() + 2);
  orv::vlkdec::store_u16(&out[out.size() - 2], v);
}
void append_u32(Bytes& out, uint32_t v) {
  out.resize(out.size() + 4);
  orv::vlkdec::store_u32(&out[out.size() - 4], v);
}

// decode_stream inputs: control byte, schedule, file.
Bytes stream_input(uint8_t control, const Bytes& schedule, const Bytes& file) {
  // Sized up front: g++ 12 warns wrongly about inserts into a fresh vector.
  Bytes out(1 + schedule.size() + file.size());
  out[0] = static_cast<uint8_t>((control & 0xF0) | schedule.size());
  std::copy(schedule.begin(), schedule.end(), out.begin() + 1);
  std::copy(file.begin(), file.end(),
            out.begin() + 1 + static_cast<long>(schedule.size()));
  return out;
}

// call_sequence operations.
void op_process(Bytes& out, uint32_t bytes) {
  out.push_back(0);
  append_u16(out, bytes);
}
void op_seek(Bytes& out, int32_t position, bool host_moves) {
  out.push_back(1);
  append_u32(out, static_cast<uint32_t>(position));
  out.push_back(host_moves ? 1 : 0);
}
void op_property(Bytes& out, uint8_t token, uint8_t pointers, uint32_t word0,
                 uint32_t word1) {
  out.push_back(2);
  out.push_back(token);
  out.push_back(pointers);
  append_u32(out, word0);
  append_u32(out, word1);
}
void op_exact_seek(Bytes& out, uint32_t ms) {
  out.push_back(3);
  append_u32(out, ms);
}
void op_input(Bytes& out, uint8_t mode) {
  out.push_back(4);
  out.push_back(mode);
}
void op_loop(Bytes& out, int32_t start, int32_t end) {
  out.push_back(5);
  append_u32(out, static_cast<uint32_t>(start));
  append_u32(out, static_cast<uint32_t>(end));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_corpus <fuzz directory>\n");
    return 2;
  }
  const fs::path root(argv[1]);
  const fs::path seeds = root / "seeds";
  const fs::path corpus = root / "corpus";
  for (const char* dir :
       {"decode_stream", "call_sequence", "block_decoder", "differential"}) {
    fs::remove_all(corpus / dir);
    fs::create_directories(corpus / dir);
  }
  fs::remove_all(seeds);
  fs::create_directories(seeds);

  std::vector<Bytes> files;
  for (const SeedRecipe& recipe : seed_recipes) {
    files.push_back(make_seed(recipe));
    write_file(seeds / (std::string(recipe.name) + ".VELKA"), files.back());
    std::printf("%-22s %6zu bytes\n", recipe.name, files.back().size());
  }

  // The call-sequence target numbers its seeds in name order.
  std::vector<size_t> by_name(files.size());
  for (size_t i = 0; i < by_name.size(); ++i) by_name[i] = i;
  std::sort(by_name.begin(), by_name.end(), [](size_t a, size_t b) {
    return std::string(seed_recipes[a].name) <
           std::string(seed_recipes[b].name);
  });

  for (size_t order = 0; order < by_name.size(); ++order) {
    const size_t i = by_name[order];
    const Bytes& file = files[i];
    const std::string name = seed_recipes[i].name;
    const fs::path ds = corpus / "decode_stream";
    write_file(ds / (name + "-full"), stream_input(0xE0, {}, file));
    write_file(ds / (name + "-short-reads"),
               stream_input(0x00, {1, 7, 0, 200, 3}, file));
    write_file(ds / (name + "-odd-requests"),
               stream_input(0x40, {0, 13}, file));
    Bytes damaged = file;
    damaged[damaged.size() / 2] ^= 0x5A;
    damaged[damaged.size() * 3 / 4] = 0x99;
    write_file(ds / (name + "-damaged"), stream_input(0x60, {}, damaged));
    Bytes truncated(file.begin(),
                    file.begin() + static_cast<long>(file.size() * 2 / 3));
    write_file(ds / (name + "-truncated"), stream_input(0x20, {}, truncated));

    const fs::path cs = corpus / "call_sequence";
    const auto seed_byte = static_cast<uint8_t>(order);
    Bytes plain = {seed_byte, 0};
    for (int k = 0; k < 4; ++k) op_process(plain, 4096);
    write_file(cs / (name + "-plain"), plain);

    Bytes seeking = {seed_byte, 0};
    op_process(seeking, 1000);
    op_exact_seek(seeking, 150);
    op_process(seeking, 3);
    op_process(seeking, 8192);
    op_property(seeking, 16, 6, 0x80000000u | 300, 0);
    op_seek(seeking, -1, false);
    op_process(seeking, 8192);
    write_file(cs / (name + "-seek"), seeking);

    Bytes looping = {seed_byte, 0};
    op_loop(looping, 100, 900);
    op_process(looping, 0xF010);
    op_loop(looping, 0, 200);
    op_process(looping, 5000);
    op_property(looping, 19, 2, 3, 0);
    op_process(looping, 5000);
    write_file(cs / (name + "-loop"), looping);

    Bytes properties = {seed_byte, 0x21, 0x40, 0x00, 0xFF, 0x30, 0x00, 0x99};
    op_input(properties, 1 << 2);
    op_process(properties, 777);
    for (uint8_t token = 0; token < 22; ++token) {
      op_property(properties, token, 1, 0, 0);
      op_property(properties, token, 6, 500, 1000);
    }
    op_input(properties, 2);
    op_seek(properties, 0, true);
    op_process(properties, 4096);
    write_file(cs / (name + "-properties"), properties);

    const std::vector<Bytes> blocks = payloads(file);
    const unsigned channels = seed_recipes[i].channels;
    const unsigned rate = seed_recipes[i].sample_rate;
    Bytes sub_blocks;
    append_u16(sub_blocks, rate);
    // One- and two-channel files hold one sub-block per block; for more
    // channels the first pair's sub-block leads the payload, planar.
    sub_blocks.push_back(static_cast<uint8_t>(
        (channels >= 2 ? 1 : 0) | (channels > 2 ? 2 : 0) | (i % 4) << 2));
    for (size_t b = 0; b < blocks.size() && b < 4; ++b) {
      append_u16(sub_blocks, static_cast<uint32_t>(blocks[b].size()));
      sub_blocks.insert(sub_blocks.end(), blocks[b].begin(), blocks[b].end());
    }
    write_file(corpus / "block_decoder" / name, sub_blocks);
    write_file(corpus / "differential" / name, sub_blocks);
  }
  return 0;
}
