// Stand-in for the fuzzing engine's main, so that the targets also build
// with compilers that have no libFuzzer: runs the target once on every
// file named on the command line and on every file in every directory
// named there (in name order), then reports how many inputs ran. CTest uses
// it to replay fuzz/corpus/<target>/ on every build; a finding shows up as
// a crash or a sanitizer report, like under the engine.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_target.h"

namespace {

bool run_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
  std::fprintf(stderr, "running %s (%zu bytes)\n", path.c_str(), bytes.size());
  // A copy of exactly the input's size, as the engine passes it.
  const std::vector<uint8_t> input(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        if (!run_file(file)) return 1;
        ++inputs;
      }
    } else {
      if (!run_file(path)) return 1;
      ++inputs;
    }
  }
  std::printf("%zu inputs ran without a finding\n", inputs);
  return inputs == 0 ? 1 : 0;
}
