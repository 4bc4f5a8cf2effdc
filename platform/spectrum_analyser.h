#pragma once

#include <memory>

#include "platform/sample_ring.h"

namespace glowtern {

// The spectrum of the newest recorded sound: a Hann-windowed real FFT of the newest kFftLength
// samples, as kSpectrumBins magnitudes 2 * |X[k]| / kFftLength (a full-scale sine centred on a
// bin gives 0.5 there). Everything it needs is allocated when it is made; analyse() neither
// allocates nor waits. One thread at a time may call analyse().
class SpectrumAnalyser {
  public:
    SpectrumAnalyser();
    ~SpectrumAnalyser();
    SpectrumAnalyser(const SpectrumAnalyser&) = delete;
    SpectrumAnalyser& operator=(const SpectrumAnalyser&) = delete;

    // Writes magnitudes[0..kSpectrumBins-1]. Before kFftLength samples have been recorded the
    // missing older samples count as silence.
    void analyse(const SampleRing& ring, float* magnitudes);

  private:
    struct Buffers;
    std::unique_ptr<Buffers> buffers_;
};

}  // namespace glowtern
