// The entry every fuzz target defines: run one input, return 0. Inputs that
// make no sense for a target are ignored, never rejected with a crash.
#ifndef ORV_FUZZ_FUZZ_TARGET_H
#define ORV_FUZZ_FUZZ_TARGET_H

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#endif
