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

// Recording through PortAudio from the default input device (on a desktop, ALSA's "default",
// which PulseAudio or PipeWire serve). The stream has no callback: recorded sound waits in the
// stream's buffer until a spectrum fetch moves all of it into a sample ring and analyses the
// newest samples there. The analysis looks only every 50 ms, so a callback thread woken for
// every short buffer would cost far more than it brings; reading at the fetch hands it exactly
// the same newest sound. Nothing is printed, not even the chatter of ALSA and JACK while
// PortAudio looks for devices.
class PortAudioCapture final : public AudioCapture {
  public:
    // Sound arrives in buffers of 256 frames (11.6 ms), so a fetch sees it at most one short
    // buffer after it was recorded; only whole buffers are read, which never waits.
    static constexpr unsigned long kFramesPerBuffer = 256;
    // The stream holds this much sound between fetches; far more than one 50 ms cycle, and more
    // than the server's larger deliveries. (A capture buffer delays nothing: it is read as soon
    // as sound is in it.)
    static constexpr double kBufferSeconds = 0.25;
    // Sound older than this is no longer what plays: with nothing newer, fetches give silence.
    static constexpr std::chrono::milliseconds kStaleAfter{300};

    PortAudioCapture();
    ~PortAudioCapture() override;
    PortAudioCapture(const PortAudioCapture&) = delete;
    PortAudioCapture& operator=(const PortAudioCapture&) = delete;

    uint32_t startRecording() override;

    // Call from one thread at a time (the worker). Neither waits nor allocates.
    void fetchSpectrum(uint32_t channel, float* magnitudes) override;

    // Samples recorded so far (those that have arrived are taken in first).
    uint64_t samplesRecorded();

    // Ends the recording and lets go of PortAudio (and the device); startRecording() may
    // begin again.
    void stopRecording() { close(); }

  private:
    static constexpr uint32_t kChannel = 1;
    static constexpr std::size_t kReadFrames = 16 * kFramesPerBuffer;

    // Moves every whole buffer of sound that has arrived into the ring.
    void takeRecorded();
    void close();

    SampleRing ring_;
    SpectrumAnalyser analyser_;
    std::mutex readMutex_;  // one reader of the stream at a time
    std::array<int16_t, kReadFrames> readBuffer_{};
    void* stream_ = nullptr;  // PaStream
    bool initialised_ = false;
    std::atomic<uint32_t> channel_{0};
    std::atomic<std::chrono::steady_clock::rep> lastSound_{0};  // when sound last arrived
};

}  // namespace glowtern
