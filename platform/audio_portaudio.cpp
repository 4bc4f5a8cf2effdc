#include "platform/audio_portaudio.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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

// PCM types that alsa-lib carries itself; every other type is a plugin library of its own.
constexpr std::array<std::string_view, 26> kBuiltInPcmTypes = {
    "adpcm", "alaw", "asym",   "copy",   "dmix",   "dshare", "dsnoop", "empty",     "file",
    "hooks", "hw",   "iec958", "ladspa", "lfloat", "linear", "meter",  "mmap_emul", "mulaw",
    "multi", "null", "plug",   "rate",   "route",  "share",  "shm",    "softvol",
};

bool IsPluginLibraryPcm(snd_config_t* pcm) {
    snd_config_t* typeNode = nullptr;
    const char* type = nullptr;
    if (snd_config_search(pcm, "type", &typeNode) < 0 ||
        snd_config_get_string(typeNode, &type) < 0 || type == nullptr) {
        return false;  // no plain type: leave it as it is
    }
    return std::find(kBuiltInPcmTypes.begin(), kBuiltInPcmTypes.end(), type) ==
           kBuiltInPcmTypes.end();
}

// PortAudio lists the devices by opening every PCM that ALSA's configuration defines, and each
// opening of a plugin PCM loads the plugin's library with everything it links: on Debian the a52
// plugin alone brings libavcodec and a dozen codec libraries, some 12 MB that stay resident for
// good. Recording only ever uses the default device, so while PortAudio builds its list it is
// shown a configuration without the other plugin PCMs (the PCMs alsa-lib makes itself cost
// nothing to try and stay). The full configuration is read afresh for every later opening.
// Returns false when there was nothing to hide.
bool HidePluginPcmsButDefault() {
    snd_config_t* pcms = nullptr;
    if (snd_config_update() < 0 || snd_config == nullptr ||
        snd_config_search(snd_config, "pcm", &pcms) < 0) {
        return false;
    }
    // A default that is just the name of another PCM keeps that one too.
    std::string alias;
    snd_config_t* defaultPcm = nullptr;
    const char* name = nullptr;
    if (snd_config_search(pcms, "default", &defaultPcm) == 0 &&
        snd_config_get_type(defaultPcm) == SND_CONFIG_TYPE_STRING &&
        snd_config_get_string(defaultPcm, &name) == 0 && name != nullptr) {
        alias = name;
    }
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    snd_config_for_each(i, next, pcms) {
        snd_config_t* pcm = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(pcm, &id) == 0 && id != nullptr &&
            std::string_view(id) != "default" && id != alias && IsPluginLibraryPcm(pcm)) {
            snd_config_delete(pcm);
        }
    }
    return true;
}

// The full ALSA configuration again, for everything opened from now on.
void RestoreAlsaConfiguration() {
    snd_config_update_free_global();
}

bool InitialiseWithDefaultDeviceOnly() {
    const bool hidden = HidePluginPcmsButDefault();
    const bool initialised = Pa_Initialize() == paNoError;
    if (hidden) {
        RestoreAlsaConfiguration();
    }
    return initialised;
}

bool DefaultInputIsAlsaDefault() {
    const PaDeviceIndex index = Pa_GetDefaultInputDevice();
    const PaDeviceInfo* device = index == paNoDevice ? nullptr : Pa_GetDeviceInfo(index);
    return device != nullptr && device->name != nullptr &&
           std::string_view(device->name) == "default";
}

}  // namespace

PortAudioCapture::PortAudioCapture() {
    // ALSA reports through this handler for the rest of the process, also when a running
    // stream hits an overrun or its server goes away.
    snd_lib_error_set_handler(IgnoreAlsaMessage);
    // Looking for JACK must not start a JACK server. Set here, on the main thread before any
    // other thread exists: a later start may run on the worker.
    setenv("JACK_NO_START_SERVER", "1", 0);
}

PortAudioCapture::~PortAudioCapture() {
    close();
}

uint32_t PortAudioCapture::startRecording() {
    if (channel_.load() != 0) {
        return channel_.load();
    }
    QuietStderr quiet;
    if (!InitialiseWithDefaultDeviceOnly()) {
        return 0;
    }
    initialised_ = true;
    // When ALSA's default device could not record without the hidden PCMs, PortAudio has picked
    // another one; the full list, as PortAudio makes it, picks the device as before.
    if (!DefaultInputIsAlsaDefault()) {
        Pa_Terminate();
        initialised_ = false;
        if (Pa_Initialize() != paNoError) {
            return 0;
        }
        initialised_ = true;
    }

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
    input.suggestedLatency = kBufferSeconds;
    input.hostApiSpecificStreamInfo = nullptr;

    PaStream* stream = nullptr;
    if (Pa_OpenStream(&stream, &input, nullptr, kSampleRate, kFramesPerBuffer, paNoFlag, nullptr,
                      nullptr) != paNoError) {
        close();
        return 0;
    }
    stream_ = stream;
    lastSound_.store(std::chrono::steady_clock::now().time_since_epoch().count());
    if (Pa_StartStream(stream) != paNoError) {
        close();
        return 0;
    }
    channel_.store(kChannel);
    return kChannel;
}

void PortAudioCapture::takeRecorded() {
    const std::unique_lock lock(readMutex_, std::try_to_lock);
    if (!lock.owns_lock() || stream_ == nullptr) {
        return;  // another thread is reading right now: it takes this sound in
    }
    const uint64_t before = ring_.written();
    // Whole buffers only: a read of part of one would wait for its rest. What arrives while
    // this runs is left for the next fetch, so there is one look at the stream per fetch. An
    // overrun (the reader kept away longer than the buffer lasts) loses the oldest sound and
    // goes on.
    constexpr long kWhole = static_cast<long>(kFramesPerBuffer);
    long available = Pa_GetStreamReadAvailable(stream_);
    while (available >= kWhole) {
        const long frames = std::min(available, static_cast<long>(kReadFrames)) / kWhole * kWhole;
        const PaError result = Pa_ReadStream(stream_, readBuffer_.data(), frames);
        if (result != paNoError && result != paInputOverflowed) {
            return;
        }
        ring_.push(readBuffer_.data(), static_cast<std::size_t>(frames));
        available -= frames;
    }
    if (ring_.written() != before) {
        lastSound_.store(std::chrono::steady_clock::now().time_since_epoch().count());
    }
}

void PortAudioCapture::fetchSpectrum(uint32_t channel, float* magnitudes) {
    if (channel == 0 || channel != channel_.load()) {
        return;
    }
    takeRecorded();
    // A server that has stopped delivering (stopped, or hung) leaves old sound in the ring;
    // the lamps must not go on following it.
    const auto lastSound = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(lastSound_.load()));
    if (std::chrono::steady_clock::now() - lastSound > kStaleAfter) {
        std::fill(magnitudes, magnitudes + kSpectrumBins, 0.0f);
        return;
    }
    analyser_.analyse(ring_, magnitudes);
}

uint64_t PortAudioCapture::samplesRecorded() {
    if (channel_.load() != 0) {
        takeRecorded();
    }
    return ring_.written();
}

void PortAudioCapture::close() {
    if (!initialised_) {
        return;
    }
    channel_.store(0);
    QuietStderr quiet;
    const std::lock_guard lock(readMutex_);  // no read is under way while the stream goes
    if (stream_ != nullptr) {
        Pa_StopStream(stream_);
        Pa_CloseStream(stream_);
        stream_ = nullptr;
    }
    Pa_Terminate();
    initialised_ = false;
}

}  // namespace glowtern
