#include "platform/radix2_fft.h"

#include <cmath>
#include <numbers>

namespace glowtern {

Radix2RealFft::Radix2RealFft(int length)
    : length_(length),
      bitReversed_(static_cast<size_t>(length / 2)),
      twiddles_(static_cast<size_t>(length / 4)),
      split_(static_cast<size_t>(length / 2 + 1)) {
    const int half = length / 2;
    int bits = 0;
    while ((1 << bits) < half) {
        ++bits;
    }
    for (int n = 0; n < half; ++n) {
        int reversed = 0;
        for (int b = 0; b < bits; ++b) {
            reversed |= ((n >> b) & 1) << (bits - 1 - b);
        }
        bitReversed_[n] = reversed;
    }
    // Angles in double, so the factors carry no error beyond their rounding to float.
    for (int j = 0; j < half / 2; ++j) {
        const double angle = -2.0 * std::numbers::pi * j / half;
        twiddles_[j] = {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
    }
    for (int k = 0; k <= half; ++k) {
        const double angle = -2.0 * std::numbers::pi * k / length;
        split_[k] = {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
    }
}

void Radix2RealFft::transform(const float* in, std::complex<float>* out,
                              std::complex<float>* work) const {
    const int half = length_ / 2;
    // Even samples as real parts, odd ones as imaginary parts, in bit-reversed order.
    for (int n = 0; n < half; ++n) {
        const int from = bitReversed_[n];
        work[n] = {in[2 * from], in[2 * from + 1]};
    }
    for (int size = 2; size <= half; size *= 2) {
        const int step = half / size;  // twiddle stride for this stage
        for (int start = 0; start < half; start += size) {
            for (int j = 0; j < size / 2; ++j) {
                const std::complex<float> odd = work[start + j + size / 2] * twiddles_[j * step];
                const std::complex<float> even = work[start + j];
                work[start + j] = even + odd;
                work[start + j + size / 2] = even - odd;
            }
        }
    }
    // Z = FFT(z), z[n] = x[2n] + i x[2n+1]: the spectra of the even and odd samples are
    // (Z[k] + conj Z[half-k]) / 2 and (Z[k] - conj Z[half-k]) / 2i.
    for (int k = 0; k <= half; ++k) {
        const std::complex<float> z = work[k % half];
        const std::complex<float> mirror = std::conj(work[(half - k) % half]);
        const std::complex<float> even = 0.5f * (z + mirror);
        const std::complex<float> odd = std::complex<float>(0.0f, -0.5f) * (z - mirror);
        out[k] = even + split_[k] * odd;
    }
}

}  // namespace glowtern
