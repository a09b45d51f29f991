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

}  // namespace orv::test

#endif
