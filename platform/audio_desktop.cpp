#include "platform/audio_desktop.h"

#include <algorithm>

namespace glowtern {

uint32_t DesktopAudioCapture::startRecording() {
    return pulse_.startRecording() != 0 ? kChannel : 0;
}

void DesktopAudioCapture::fetchSpectrum(uint32_t channel, float* magnitudes) {
    if (channel != kChannel) {
        return;
    }
    pulse_.service();
    if (pulse_.link() != PulseCapture::Link::NoServer) {
        if (alsaChannel_ != 0) {
            alsa_.stopRecording();
            alsaChannel_ = 0;
        }
        pulse_.analyse(magnitudes);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (alsaChannel_ == 0 && now >= nextAlsaAttempt_) {
        nextAlsaAttempt_ = now + kAlsaRetry;
        alsaChannel_ = alsa_.startRecording();
    }
    if (alsaChannel_ != 0) {
        alsa_.fetchSpectrum(alsaChannel_, magnitudes);
    } else {
        std::fill(magnitudes, magnitudes + kSpectrumBins, 0.0f);
    }
}

}  // namespace glowtern
