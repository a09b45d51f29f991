// The run reader built with BMI2, whose shifts by a register count leave the
// flags alone and take any register for the count. Only called where the
// processor reports the feature.
#include "decoder/coefficients_parts.h"

#if ORV_READER_BMI2
#include "decoder/coefficients_runs.h"

namespace orv::vlkdec {

void read_runs_bmi2(const ChannelLayout& channel, RunState& r,
                    const uint8_t* base, uint64_t& pos, uint64_t safe,
                    float* scratch) {
  read_runs_unchecked(channel, r, base, pos, safe, scratch);
}

}  // namespace orv::vlkdec
#endif
