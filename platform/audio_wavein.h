#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "platform/audio.h"
#include "platform/sample_ring.h"
#include "platform/spectrum_analyser.h"

namespace glowtern {

// Recording on Windows through waveIn from the default recording device (WAVE_MAPPER), mono,
// 22050 Hz, 16-bit. As with the Linux capture there is no callback: the device fills a ring of
// short buffers, and a spectrum fetch takes every filled one, in order, into a sample ring, hands
// it back to the device and analyses the newest samples. Nothing waits and nothing allocates
// after the start.
class WaveInCapture final : public AudioCapture {
  public:
    static constexpr int kFramesPerBuffer = 256;  // 11.6 ms
    static constexpr int kBufferCount = 24;       // 0.28 s between two fetches at most
    static constexpr std::chrono::milliseconds kStaleAfter{300};

    WaveInCapture() = default;
    ~WaveInCapture() override;
    WaveInCapture(const WaveInCapture&) = delete;
    WaveInCapture& operator=(const WaveInCapture&) = delete;

    uint32_t startRecording() override;
    void fetchSpectrum(uint32_t channel, float* magnitudes) override;

    // Samples recorded so far (those that have arrived are taken in first).
    uint64_t samplesRecorded();

  private:
    static constexpr uint32_t kChannel = 1;

    struct Buffer;
    void takeRecorded();
    void close();

    SampleRing ring_;
    SpectrumAnalyser analyser_;
    std::mutex mutex_;        // one reader of the device at a time, and the start and the close
    void* device_ = nullptr;  // HWAVEIN
    Buffer* buffers_ = nullptr;
    int next_ = 0;  // the buffer the device fills first
    std::atomic<uint32_t> channel_{0};
    std::atomic<std::chrono::steady_clock::rep> lastSound_{0};
};

}  // namespace glowtern
