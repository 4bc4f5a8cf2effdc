#include "platform/audio_portaudio.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace glowtern {

namespace {

void IgnoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

// While PortAudio probes the sound systems, ALSA's plugins and JACK write straight to fd 2.
// The program prints nothing, so fd 2 points at /dev/null for that while and is restored
// afterwards.
class QuietStderr {
  public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && devnull >= 0) {
            dup2(devnull, STDERR_FILENO);
        }
        if (devnull >= 0) {
            ::close(devnull);
        }
    }
    ~QuietStderr() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

  private:
    int saved_ = -1;
};

int OnRecorded(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
               PaStreamCallbackFlags, void* ring) {
    if (input != nullptr) {
        static_cast<SampleRing*>(ring)->push(static_cast<const int16_t*>(input), frames);
    }
    return paContinue;
}

}  // namespace

PortAudioCapture::PortAudioCapture() = default;

PortAudioCapture::~PortAudioCapture() {
    close();
}

uint32_t PortAudioCapture::startRecording() {
    if (channel_.load() != 0) {
        return channel_.load();
    }
    // ALSA reports through this handler for the rest of the process, also when a running
    // stream hits an overrun or its server goes away.
    snd_lib_error_set_handler(IgnoreAlsaMessage);
    // Looking for JACK must not start a JACK server.
    setenv("JACK_NO_START_SERVER", "1", 0);

    QuietStderr quiet;
    if (Pa_Initialize() != paNoError) {
        return 0;
    }
    initialised_ = true;

    PaStreamParameters input{};
    input.device = Pa_GetDefaultInputDevice();
    const PaDeviceInfo* device =
        input.device == paNoDevice ? nullptr : Pa_GetDeviceInfo(input.device);
    if (device == nullptr || device->maxInputChannels < 1) {
        close();
        return 0;
    }
    input.channelCount = 1;
    input.sampleFormat = paInt16;
    input.suggestedLatency = device->defaultLowInputLatency;
    input.hostApiSpecificStreamInfo = nullptr;

    PaStream* stream = nullptr;
    if (Pa_OpenStream(&stream, &input, nullptr, kSampleRate, kFramesPerBuffer, paNoFlag, OnRecorded,
                      &ring_) != paNoError) {
        close();
        return 0;
    }
    stream_ = stream;
    if (Pa_StartStream(stream) != paNoError) {
        close();
        return 0;
    }
    channel_.store(kChannel);
    return kChannel;
}

void PortAudioCapture::fetchSpectrum(uint32_t channel, float* magnitudes) {
    if (channel == 0 || channel != channel_.load()) {
        return;
    }
    analyser_.analyse(ring_, magnitudes);
}

void PortAudioCapture::close() {
    if (!initialised_) {
        return;
    }
    channel_.store(0);
    QuietStderr quiet;
    if (stream_ != nullptr) {
        // Stopping waits for a running callback, so the ring outlives every use of it.
        Pa_StopStream(stream_);
        Pa_CloseStream(stream_);
        stream_ = nullptr;
    }
    Pa_Terminate();
    initialised_ = false;
}

}  // namespace glowtern
