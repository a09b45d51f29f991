// The run reader for every x86-64 processor.
#include "x86/runs_x86.h"
#include "x86/x86.h"

namespace orv::vlkdec {

void read_runs_sse2(const ChannelLayout& channel, RunState& r,
                    const uint8_t* base, uint64_t& pos, uint64_t safe,
                    float* scratch) {
  read_runs_unchecked<X86RunOps>(channel, r, base, pos, safe, scratch);
}

}  // namespace orv::vlkdec
