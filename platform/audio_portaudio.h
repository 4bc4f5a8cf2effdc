#pragma once

#include <atomic>
#include <cstdint>

#include "platform/audio.h"
#include "platform/sample_ring.h"
#include "platform/spectrum_analyser.h"

namespace glowtern {

// Recording through PortAudio from the default input device (on a desktop, ALSA's "default",
// which PulseAudio or PipeWire serve). The stream's callback fills a sample ring; a spectrum
// fetch analyses the newest samples in it. Nothing is printed, not even the chatter of ALSA and
// JACK while PortAudio looks for devices.
class PortAudioCapture final : public AudioCapture {
  public:
    // 256 frames (11.6 ms) per callback keeps the newest samples at most one short buffer behind
    // the sound; the device is asked for its low input latency.
    static constexpr unsigned long kFramesPerBuffer = 256;

    PortAudioCapture();
    ~PortAudioCapture() override;
    PortAudioCapture(const PortAudioCapture&) = delete;
    PortAudioCapture& operator=(const PortAudioCapture&) = delete;

    uint32_t startRecording() override;

    // Call from one thread at a time (the worker).
    void fetchSpectrum(uint32_t channel, float* magnitudes) override;

    // Samples recorded so far.
    uint64_t samplesRecorded() const { return ring_.written(); }

  private:
    static constexpr uint32_t kChannel = 1;

    void close();

    SampleRing ring_;
    SpectrumAnalyser analyser_;
    void* stream_ = nullptr;  // PaStream
    bool initialised_ = false;
    std::atomic<uint32_t> channel_{0};
};

}  // namespace glowtern
