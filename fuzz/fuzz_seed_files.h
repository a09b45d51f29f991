// The seed files of the call-sequence target, built into it from
// fuzz/seeds/*.VELKA so that it needs no files at run time.
#ifndef ORV_FUZZ_FUZZ_SEED_FILES_H
#define ORV_FUZZ_FUZZ_SEED_FILES_H

#include <cstddef>
#include <cstdint>

namespace orv::fuzz {

struct SeedFile {
  const char* name;
  const uint8_t* data;
  size_t size;
};

extern const SeedFile seed_files[];
extern const size_t seed_file_count;

}  // namespace orv::fuzz

#endif
