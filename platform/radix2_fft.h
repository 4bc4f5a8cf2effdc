#pragma once

#include <complex>
#include <vector>

namespace glowtern {

// The FFT of real input whose length is a power of two (at least 4), as one complex FFT of half
// the length and a split into the real input's spectrum. The Windows build's spectrum analyser
// uses it, since kissfft is not packaged for mingw-w64. Everything is allocated when it is made;
// transform() neither allocates nor changes the object, so threads may share one.
class Radix2RealFft {
  public:
    explicit Radix2RealFft(int length);

    int length() const { return length_; }

    // out[0..length/2] = sum over n of in[n] * e^(-2 pi i k n / length), like kiss_fftr.
    // `work` must hold length/2 values.
    void transform(const float* in, std::complex<float>* out, std::complex<float>* work) const;

  private:
    int length_;
    std::vector<int> bitReversed_;               // of the half-length FFT
    std::vector<std::complex<float>> twiddles_;  // e^(-2 pi i j / (length/2)), j < length/4
    std::vector<std::complex<float>> split_;     // e^(-2 pi i k / length), k <= length/2
};

}  // namespace glowtern
