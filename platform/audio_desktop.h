#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "platform/audio.h"
#include "platform/audio_portaudio.h"
#include "platform/audio_pulse.h"

namespace glowtern {

// Recording on a desktop: through the sound server's own client (PulseCapture) whenever a
// server answers, and through PortAudio and ALSA (PortAudioCapture) only while none does, for
// a system without a sound server. PortAudio is not even started while a server answers, or
// while one is there but silent (stopped): on a desktop ALSA's default device is that same
// server, and asking it through ALSA would wait on it. Without a server it is tried every
// kAlsaRetry, and let go as soon as a server answers. The source choice and the source list
// are the sound server's; ALSA records its default device.
class DesktopAudioCapture final : public AudioCapture {
  public:
    static constexpr std::chrono::seconds kAlsaRetry{3};

    uint32_t startRecording() override;
    void fetchSpectrum(uint32_t channel, float* magnitudes) override;
    bool offersSourceChoice() const override { return true; }
    void chooseSource(const SoundSourceChoice& choice) override { pulse_.chooseSource(choice); }
    std::vector<SoundSource> sources() override { return pulse_.sources(); }

    // Whether ALSA records now, for tests.
    bool recordingThroughAlsa() const { return alsaChannel_ != 0; }

  private:
    static constexpr uint32_t kChannel = 1;

    PulseCapture pulse_;
    PortAudioCapture alsa_;
    uint32_t alsaChannel_ = 0;
    std::chrono::steady_clock::time_point nextAlsaAttempt_{};
};

}  // namespace glowtern
