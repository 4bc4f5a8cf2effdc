// Recording on a private PulseAudio server, through the server's own client and through
// PortAudio (ALSA's pulse plug-in): what is played into the null sink is what the default input
// hears. (Without a server, the program's own runs show the desktop capture silent and quiet.)
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/bands.h"
#include "platform/audio_portaudio.h"
#include "platform/audio_pulse.h"
#include "tests/support/sound_server.h"

namespace glowtern {
namespace {

using std::chrono::milliseconds;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// While PortAudio lists devices it opens ALSA's a52 plugin, which pulls in FFmpeg and a long
// chain of libraries; Pa_Terminate unloads them again, and LeakSanitizer then counts what they
// had allocated for themselves as leaked. Holding the plugin for the life of the process keeps
// that memory reachable; otherwise nothing changes.
[[maybe_unused]] const bool kA52PluginHeld =
    dlopen(GLOWTERN_ALSA_PLUGIN_DIR "/libasound_module_pcm_a52.so", RTLD_LAZY | RTLD_NODELETE) !=
    nullptr;

bool PollFor(const std::function<bool()>& condition) {  // for five seconds at most
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    return condition();
}

constexpr int kBand5 = 4;  // "53 Hz", bins 16..23 (86..129 Hz)
// A half-scale 100 Hz sine (bin 18.6) puts about 0.52 into band 5, its Hann main lobe wholly
// inside. Once the window lies wholly inside the tone, the loudest other band (band 4, fed by
// side lobes only) is about 150 times quieter; while it straddles the start the step spreads
// over every band, so the test polls until the steady state shows. Silence is digital zero;
// "quiet" leaves room for the resampler's tail.
constexpr float kToneLevel = 0.1f;
constexpr float kQuietLevel = 0.01f;
constexpr float kDominance = 50.0f;

template <typename Capture>
class AudioCapture : public ::testing::Test {};
using Captures = ::testing::Types<PulseCapture, PortAudioCapture>;
TYPED_TEST_SUITE(AudioCapture, Captures);

TYPED_TEST(AudioCapture, ToneFromTheDefaultSourceRisesInBandFiveAndFades) {
    testing::PrivateSoundServer server;
    ASSERT_TRUE(server.running()) << "pulseaudio could not be started";
    const std::string tone = server.makeTone(100.0, 1.0, 0.5);
    ASSERT_FALSE(tone.empty()) << "sox could not make the tone";
    CaptureStderr();
    {
        TypeParam capture;
        const uint32_t channel = capture.startRecording();
        ASSERT_NE(channel, 0u);
        BandSums sums;
        const auto band5 = [&] {  // and the loudest of the others into sums.levels[kBand5]
            std::vector<float> spectrum(kSpectrumBins, 0.0f);
            capture.fetchSpectrum(channel, spectrum.data());
            ComputeBandSums(spectrum.data(), sums);
            const float level = std::exchange(sums.levels[kBand5], 0.0f);
            sums.levels[kBand5] =
                *std::max_element(sums.levels.begin(), sums.levels.begin() + kBandCount);
            return level;
        };
        ASSERT_TRUE(PollFor([&] { return capture.samplesRecorded() >= kFftLength; }));
        EXPECT_LT(band5(), kQuietLevel);
        // Another channel, or none, leaves the spectrum alone.
        std::vector<float> untouched(kSpectrumBins, -1.0f);
        capture.fetchSpectrum(channel + 1, untouched.data());
        capture.fetchSpectrum(0, untouched.data());
        EXPECT_EQ(std::count(untouched.begin(), untouched.end(), -1.0f), kSpectrumBins);

        ASSERT_TRUE(server.play(tone));
        EXPECT_TRUE(PollFor([&] {
            const float level = band5();
            return level > kToneLevel && level > kDominance * sums.levels[kBand5];
        })) << "band 5 did not stand out of the others";
        ASSERT_TRUE(PollFor([&] { return !server.playing(); }));
        EXPECT_TRUE(PollFor([&] { return band5() < kQuietLevel; })) << "band 5 stayed up";
    }
    EXPECT_EQ(GetCapturedStderr(), "");
}

}  // namespace
}  // namespace glowtern
