#include <windows.h>
// mmsystem.h after windows.h
#include <mmsystem.h>

#include <algorithm>
#include <new>

#include "platform/audio_wavein.h"

namespace glowtern {

struct WaveInCapture::Buffer {
    WAVEHDR header{};
    std::array<int16_t, kFramesPerBuffer> samples{};
};

namespace {

HWAVEIN device(void* handle) {
    return static_cast<HWAVEIN>(handle);
}

bool filled(const WAVEHDR& header) {
    // The device sets the flag from its own thread.
    return (static_cast<volatile const DWORD&>(header.dwFlags) & WHDR_DONE) != 0;
}

}  // namespace

WaveInCapture::~WaveInCapture() {
    close();
}

uint32_t WaveInCapture::startRecording() {
    const std::lock_guard lock(mutex_);
    if (channel_.load() != 0) {
        return channel_.load();
    }
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = kSampleRate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = kSampleRate * 2;
    HWAVEIN opened = nullptr;
    if (waveInOpen(&opened, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        return 0;
    }
    buffers_ = new (std::nothrow) Buffer[kBufferCount];
    if (buffers_ == nullptr) {
        waveInClose(opened);
        return 0;
    }
    device_ = opened;
    bool ok = true;
    for (int i = 0; i < kBufferCount && ok; ++i) {
        WAVEHDR& header = buffers_[i].header;
        header.lpData = reinterpret_cast<LPSTR>(buffers_[i].samples.data());
        header.dwBufferLength = sizeof buffers_[i].samples;
        ok = waveInPrepareHeader(opened, &header, sizeof header) == MMSYSERR_NOERROR &&
             waveInAddBuffer(opened, &header, sizeof header) == MMSYSERR_NOERROR;
    }
    next_ = 0;
    lastSound_.store(std::chrono::steady_clock::now().time_since_epoch().count());
    if (!ok || waveInStart(opened) != MMSYSERR_NOERROR) {
        // The lock is held: close's own part without taking it again.
        waveInReset(opened);
        for (int i = 0; i < kBufferCount; ++i) {
            waveInUnprepareHeader(opened, &buffers_[i].header, sizeof(WAVEHDR));
        }
        waveInClose(opened);
        delete[] buffers_;
        buffers_ = nullptr;
        device_ = nullptr;
        return 0;
    }
    channel_.store(kChannel);
    return kChannel;
}

void WaveInCapture::takeRecorded() {
    const std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || device_ == nullptr) {
        return;  // another thread is reading right now: it takes this sound in
    }
    const uint64_t before = ring_.written();
    // The device fills the buffers in the order they were handed to it; each one taken goes
    // back to the end of the line at once.
    for (int taken = 0; taken < kBufferCount && filled(buffers_[next_].header); ++taken) {
        Buffer& buffer = buffers_[next_];
        const size_t frames = std::min<size_t>(buffer.header.dwBytesRecorded / 2, kFramesPerBuffer);
        ring_.push(buffer.samples.data(), frames);
        buffer.header.dwFlags &= ~static_cast<DWORD>(WHDR_DONE);
        buffer.header.dwBytesRecorded = 0;
        waveInAddBuffer(device(device_), &buffer.header, sizeof buffer.header);
        next_ = (next_ + 1) % kBufferCount;
    }
    if (ring_.written() != before) {
        lastSound_.store(std::chrono::steady_clock::now().time_since_epoch().count());
    }
}

void WaveInCapture::fetchSpectrum(uint32_t channel, float* magnitudes) {
    if (channel == 0 || channel != channel_.load()) {
        return;
    }
    takeRecorded();
    // A device that has stopped delivering leaves old sound in the ring; the lamps must not go
    // on following it.
    const auto lastSound = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(lastSound_.load()));
    if (std::chrono::steady_clock::now() - lastSound > kStaleAfter) {
        std::fill(magnitudes, magnitudes + kSpectrumBins, 0.0f);
        return;
    }
    analyser_.analyse(ring_, magnitudes);
}

uint64_t WaveInCapture::samplesRecorded() {
    if (channel_.load() != 0) {
        takeRecorded();
    }
    return ring_.written();
}

void WaveInCapture::close() {
    const std::lock_guard lock(mutex_);
    channel_.store(0);
    if (device_ == nullptr) {
        return;
    }
    // Reset hands every buffer back marked done; only then may they be unprepared and freed.
    waveInReset(device(device_));
    for (int i = 0; i < kBufferCount; ++i) {
        waveInUnprepareHeader(device(device_), &buffers_[i].header, sizeof(WAVEHDR));
    }
    waveInClose(device(device_));
    delete[] buffers_;
    buffers_ = nullptr;
    device_ = nullptr;
}

}  // namespace glowtern
