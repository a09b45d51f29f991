#include "support/test_data.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace orv::test {

std::string data_path(const std::string& relative) {
  return std::string(ORV_TEST_DATA_DIR) + "/" + relative;
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t test_seed(uint32_t fallback) {
  const char* text = std::getenv("ORV_TEST_SEED");
  if (text == nullptr || *text == '\0') return fallback;
  return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
}

KnownAnswerFile load_known_answer_file(const std::string& name) {
  return {read_file(data_path("vectors/files/" + name + ".VELKA")),
          read_file(data_path("vectors/files/" + name + ".pcm"))};
}

}  // namespace orv::test
