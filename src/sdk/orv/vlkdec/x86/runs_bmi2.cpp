// The run reader built with BMI2, whose shifts by a register count leave the
// flags alone and take any register for the count, and BMI1, which clears
// the lowest set bit in one instruction. Only called where the processor
// reports the features.
#include "x86/runs_x86.h"
#include "x86/x86.h"

namespace orv::vlkdec {
namespace {

// With BMI1 the lowest set bit clears in one instruction, so runs of width
// 1 are parsed by their coefficients' start bits (parse_width1).
struct Bmi2RunOps : X86RunOps {
  static constexpr bool width1_by_lowest_bit = true;
};

}  // namespace

void read_runs_bmi2(const ChannelLayout& channel, RunState& r,
                    const uint8_t* base, uint64_t& pos, uint64_t safe,
                    float* scratch) {
  read_runs_unchecked<Bmi2RunOps>(channel, r, base, pos, safe, scratch);
}

}  // namespace orv::vlkdec
