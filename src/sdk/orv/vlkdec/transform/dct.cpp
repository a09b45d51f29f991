// Unscaled inverse DCT (type III) on a complex FFT of half the length: the
// portable code, which defines the bits every variant gives.
#include "transform/dct.h"

#include "transform/dct_passes.h"
#include "transform/fft.h"

namespace orv::vlkdec {
namespace {

// Every index by the scalar steps, with the portable FFT.
struct PortableGroups {
  static constexpr bool vector = false;
  static void fft(int n, float* a, int nw, const float* w) {
    complex_fft_forward_portable(n, a, nw, w);
  }
};

}  // namespace

void inverse_dct_portable(int n, float* a, int table_length,
                          const float* table) {
  dct<PortableGroups>(n, a, table_length, table);
}

}  // namespace orv::vlkdec
