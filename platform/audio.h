#pragma once

#include <cstdint>

namespace glowtern {

inline constexpr int kSampleRate = 22050;   // recording rate, mono
inline constexpr int kFftLength = 4096;     // samples per spectrum
inline constexpr int kSpectrumBins = 2048;  // magnitudes per spectrum

// Sound recording from the first recording device, and spectra of the newest sound.
class AudioCapture {
  public:
    virtual ~AudioCapture() = default;

    // Starts recording (mono, 22050 Hz, 16-bit) at once. Returns the recording
    // channel, or 0 when recording cannot start; nothing is reported. Called on the main
    // thread at start-up, and again by the worker while no recording runs; a running
    // recording gives its channel again.
    virtual uint32_t startRecording() = 0;

    // Writes the magnitudes of a Hann-windowed 4096-point FFT of the newest 4096
    // samples into magnitudes[0..2047]: bin k is k * 22050 / 4096 Hz and holds
    // 2 * |X[k]| / 4096. Leaves the array untouched when the channel does not
    // record; gives silence (zeros) when the recording has delivered nothing new for
    // a while (a sound server stopped or gone). Never allocates.
    virtual void fetchSpectrum(uint32_t channel, float* magnitudes) = 0;
};

}  // namespace glowtern
