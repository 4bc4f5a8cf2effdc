#include "platform/spectrum_analyser.h"

#include <kissfft/kiss_fftr.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <new>
#include <numbers>

#include "platform/audio.h"

namespace glowtern {

static_assert(kFftLength % 2 == 0 && kSpectrumBins == kFftLength / 2);

struct SpectrumAnalyser::Buffers {
    kiss_fftr_cfg config = nullptr;
    // The Hann window with the int16 scaling (1 / 32768) folded in.
    std::array<float, kFftLength> window{};
    std::array<int16_t, kFftLength> samples{};
    std::array<float, kFftLength> input{};
    std::array<kiss_fft_cpx, kFftLength / 2 + 1> output{};
};

SpectrumAnalyser::SpectrumAnalyser() : buffers_(std::make_unique<Buffers>()) {
    buffers_->config = kiss_fftr_alloc(kFftLength, 0, nullptr, nullptr);
    if (buffers_->config == nullptr) {
        throw std::bad_alloc();
    }
    // The periodic Hann window: its coherent gain is exactly 1/2, and a sine centred on a bin
    // spreads only into the two neighbouring bins.
    for (int n = 0; n < kFftLength; ++n) {
        const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / kFftLength);
        buffers_->window[n] = static_cast<float>(hann / 32768.0);
    }
}

SpectrumAnalyser::~SpectrumAnalyser() {
    kiss_fftr_free(buffers_->config);
}

void SpectrumAnalyser::analyse(const SampleRing& ring, float* magnitudes) {
    Buffers& b = *buffers_;
    uint64_t end = 0;
    ring.copyNewest(b.samples.data(), b.samples.size(), end);
    for (int n = 0; n < kFftLength; ++n) {
        b.input[n] = static_cast<float>(b.samples[n]) * b.window[n];
    }
    kiss_fftr(b.config, b.input.data(), b.output.data());
    constexpr float kScale = 2.0f / kFftLength;
    for (int k = 0; k < kSpectrumBins; ++k) {
        const float re = b.output[k].r;
        const float im = b.output[k].i;
        magnitudes[k] = std::sqrt(re * re + im * im) * kScale;
    }
}

}  // namespace glowtern
