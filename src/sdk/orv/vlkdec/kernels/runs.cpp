// The portable run reader, which defines what every variant reads.
#include "kernels/runs_loop.h"

namespace orv::vlkdec {

void read_runs_portable(const ChannelLayout& channel, RunState& r,
                        const uint8_t* base, uint64_t& pos, uint64_t safe,
                        float* scratch) {
  read_runs_unchecked<PortableRunOps>(channel, r, base, pos, safe, scratch);
}

}  // namespace orv::vlkdec
