// The run reader built with BMI2, whose shifts by a register count leave the
// flags alone and take any register for the count, and BMI1, which clears
// the lowest set bit in one instruction. Only called where the processor
// reports the features.
#include "x86/runs_x86.h"
#include "x86/x86.h"

namespace orv::vlkdec {

void read_runs_bmi2(const ChannelLayout& channel, RunState& r,
                    const uint8_t* base, uint64_t& pos, uint64_t safe,
                    float* scratch) {
  read_runs_unchecked<X86RunOps>(channel, r, base, pos, safe, scratch);
}

}  // namespace orv::vlkdec
