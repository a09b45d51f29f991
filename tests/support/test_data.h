// Access to the files under tests/data.
#ifndef ORV_TESTS_SUPPORT_TEST_DATA_H
#define ORV_TESTS_SUPPORT_TEST_DATA_H

#include <cstdint>
#include <string>
#include <vector>

namespace orv::test {

// Full path of a file under tests/data.
std::string data_path(const std::string& relative);
// The whole file; fails the current test (and returns empty) if unreadable.
std::vector<uint8_t> read_file(const std::string& path);
// Seed for randomised tests: ORV_TEST_SEED if set, else `fallback`.
uint32_t test_seed(uint32_t fallback);

// The known-answer files under vectors/files, by name without extension.
inline constexpr const char* known_answer_names[] = {"ch1-32000",
                                                     "ch2-48000",
                                                     "ch6-16000",
                                                     "damage-garbage-between",
                                                     "mend-b-dc-swing-2ch",
                                                     "rate-44099",
                                                     "signal-chord-2ch-44100",
                                                     "version-0"};

// A known-answer file under vectors/files and the PCM it decodes to.
struct KnownAnswerFile {
  std::vector<uint8_t> file;
  std::vector<uint8_t> pcm;
};
// Reads `name`.VELKA and `name`.pcm; a missing file fails the current test.
KnownAnswerFile load_known_answer_file(const std::string& name);

}  // namespace orv::test

#endif
