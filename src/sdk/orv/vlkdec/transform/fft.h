// In-place split-radix complex FFT in single precision.
#ifndef ORV_VLKDEC_TRANSFORM_FFT_H
#define ORV_VLKDEC_TRANSFORM_FFT_H

namespace orv::vlkdec {

// X[k] = sum_j x[j] exp(+2 pi i j k / N) over N = n / 2 complex values held
// as interleaved (re, im) floats in a[0..n). Natural order, no scaling.
// n is a power of two, 4 <= n <= 4 * nw; w is the twiddle part of the
// transform table with nw entries. Results are defined bit for bit: this is
// the portable code, which every variant matches (dsp/dsp.h runs the
// variant for this processor).
void complex_fft_forward_portable(int n, float* a, int nw, const float* w);

}  // namespace orv::vlkdec

#endif
