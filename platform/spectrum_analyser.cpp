#include "platform/spectrum_analyser.h"

#if defined(_WIN32)
#include "platform/radix2_fft.h"  // kissfft is not packaged for mingw-w64
#else
#include <kissfft/kiss_fftr.h>
#endif

#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <new>
#include <numbers>

#include "platform/audio.h"

namespace glowtern {

static_assert(kFftLength % 2 == 0 && kSpectrumBins == kFftLength / 2);

struct SpectrumAnalyser::Buffers {
#if defined(_WIN32)
    Radix2RealFft fft{kFftLength};
    std::array<std::complex<float>, kFftLength / 2> work{};
    std::array<std::complex<float>, kFftLength / 2 + 1> output{};
#else
    kiss_fftr_cfg config = nullptr;
    std::array<kiss_fft_cpx, kFftLength / 2 + 1> output{};
#endif
    // The Hann window with the int16 scaling (1 / 32768) folded in.
    std::array<float, kFftLength> window{};
    std::array<int16_t, kFftLength> samples{};
    std::array<float, kFftLength> input{};
};

SpectrumAnalyser::SpectrumAnalyser() : buffers_(std::make_unique<Buffers>()) {
#if !defined(_WIN32)
    buffers_->config = kiss_fftr_alloc(kFftLength, 0, nullptr, nullptr);
    if (buffers_->config == nullptr) {
        throw std::bad_alloc();
    }
#endif
    // The periodic Hann window: its coherent gain is exactly 1/2, and a sine centred on a bin
    // spreads only into the two neighbouring bins.
    for (int n = 0; n < kFftLength; ++n) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / kFftLength);
        buffers_->window[n] = static_cast<float>(hann / 32768.0);
    }
}

SpectrumAnalyser::~SpectrumAnalyser() {
#if !defined(_WIN32)
    kiss_fftr_free(buffers_->config);
#endif
}

void SpectrumAnalyser::analyse(const SampleRing& ring, float* magnitudes) {
    Buffers& b = *buffers_;
    uint64_t end = 0;
    ring.copyNewest(b.samples.data(), b.samples.size(), end);
    for (int n = 0; n < kFftLength; ++n) {
        b.input[n] = static_cast<float>(b.samples[n]) * b.window[n];
    }
#if defined(_WIN32)
    b.fft.transform(b.input.data(), b.output.data(), b.work.data());
    constexpr float kScale = 2.0f / kFftLength;
    for (int k = 0; k < kSpectrumBins; ++k) {
        const float re = b.output[k].real();
        const float im = b.output[k].imag();
#else
    kiss_fftr(b.config, b.input.data(), b.output.data());
    constexpr float kScale = 2.0f / kFftLength;
    for (int k = 0; k < kSpectrumBins; ++k) {
        const float re = b.output[k].r;
        const float im = b.output[k].i;
#endif
        magnitudes[k] = std::sqrt(re * re + im * im) * kScale;
    }
}

}  // namespace glowtern
