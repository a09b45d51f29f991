// Unscaled inverse DCT (type III) in single precision, in place.
#ifndef ORV_VLKDEC_TRANSFORM_DCT_H
#define ORV_VLKDEC_TRANSFORM_DCT_H

namespace orv::vlkdec {

// C[k] = sum_{j=0}^{n-1} a[j] cos(pi j (k + 1/2) / n), k = 0..n-1, with a[0]
// at full weight. n is a power of two, 2 <= n <= table_length; table is the
// transform table and table_length its length parameter (2048). Results are
// defined bit for bit: this is the portable code, which every variant
// matches (dsp/dsp.h runs the variant for this processor).
void inverse_dct_portable(int n, float* a, int table_length,
                          const float* table);

}  // namespace orv::vlkdec

#endif
