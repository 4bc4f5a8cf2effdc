// Recording on a private PulseAudio server, through the server's own client and through
// PortAudio (ALSA's pulse plug-in): what is played into the null sink is what the default input
// hears.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/bands.h"
#include "platform/audio_desktop.h"
#include "platform/audio_portaudio.h"
#include "platform/audio_pulse.h"
#include "tests/support/sound_server.h"

namespace glowtern {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// While PortAudio lists devices it opens ALSA's a52 plugin, which pulls in FFmpeg and a long
// chain of libraries (libgomp, pixman, ...); Pa_Terminate unloads them all again, and
// LeakSanitizer then counts what those libraries had allocated for themselves, no longer
// referenced by any loaded library, as leaked. Holding the plugin for the life of the test
// process keeps that memory reachable; otherwise nothing changes.
[[maybe_unused]] const bool kA52PluginHeld =
    dlopen(GLOWTERN_ALSA_PLUGIN_DIR "/libasound_module_pcm_a52.so", RTLD_LAZY | RTLD_NODELETE) !=
    nullptr;

// Whatever this process writes to fd 2 between construction and text().
class StderrCapture {
  public:
    StderrCapture() {
        char pattern[] = "/tmp/glowtern-stderr-XXXXXX";
        file_ = mkstemp(pattern);
        path_ = pattern;
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        dup2(file_, STDERR_FILENO);
    }
    ~StderrCapture() {
        restore();
        close(file_);
        unlink(path_.c_str());
    }
    std::string text() {
        restore();
        std::string result;
        char buffer[4096];
        ssize_t n;
        while ((n = pread(file_, buffer, sizeof buffer, static_cast<off_t>(result.size()))) > 0) {
            result.append(buffer, static_cast<std::size_t>(n));
        }
        return result;
    }

  private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    int file_ = -1;
    int saved_ = -1;
    std::string path_;
};

// Sets an environment variable for one scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
            hadOld_ = true;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (hadOld_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    const char* name_;
    std::string old_;
    bool hadOld_ = false;
};

// Polls `condition` every 20 ms until it holds or `limit` has passed.
bool PollFor(milliseconds limit, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

template <typename Capture>
BandSums FetchBands(Capture& capture, uint32_t channel) {
    std::vector<float> spectrum(kSpectrumBins, 0.0f);
    capture.fetchSpectrum(channel, spectrum.data());
    BandSums sums;
    ComputeBandSums(spectrum.data(), sums);
    return sums;
}

float LoudestBandBesides(const BandSums& sums, int band) {
    float loudest = 0;
    for (int b = 0; b < kBandCount; ++b) {
        if (b != band) {
            loudest = std::max(loudest, sums.levels[b]);
        }
    }
    return loudest;
}

constexpr int kBand5 = 4;  // "53 Hz", bins 16..23 (86..129 Hz)
// A half-scale 100 Hz sine (bin 18.6) puts about 0.52 into band 5: the Hann main lobe, bins 17 to
// 20, lies wholly inside it. Silence on the null sink is digital zero; "near silence" leaves
// room for the resampler's tail.
constexpr float kToneLevel = 0.1f;
constexpr float kQuietLevel = 0.01f;
// Once the whole window lies inside the tone, the loudest other band is band 4, fed only by the
// window's side lobes 3.6 to 6.6 bins away: band 5 is then about 150 times louder. While the
// window straddles the tone's start the step spreads over every band, so the test polls until
// the steady state shows.
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

    StderrCapture stderrText;
    {
        TypeParam capture;
        const uint32_t channel = capture.startRecording();
        ASSERT_NE(channel, 0u);

        // The null sink's monitor starts delivering after a moment; wait for a full window.
        ASSERT_TRUE(PollFor(seconds(5), [&] { return capture.samplesRecorded() >= kFftLength; }));
        EXPECT_LT(FetchBands(capture, channel).levels[kBand5], kQuietLevel);

        // Another channel, or none, leaves the spectrum alone.
        std::vector<float> untouched(kSpectrumBins, -1.0f);
        capture.fetchSpectrum(channel + 1, untouched.data());
        capture.fetchSpectrum(0, untouched.data());
        EXPECT_TRUE(
            std::all_of(untouched.begin(), untouched.end(), [](float m) { return m == -1; }));

        ASSERT_TRUE(server.play(tone));
        float band5 = 0;
        float ratio = 0;
        const bool rose = PollFor(seconds(5), [&] {
            const BandSums sums = FetchBands(capture, channel);
            band5 = sums.levels[kBand5];
            const float others = LoudestBandBesides(sums, kBand5);
            ratio = others > 0 ? band5 / others : (band5 > 0 ? 1e9f : 0);
            return band5 > kToneLevel && ratio > kDominance;
        });
        EXPECT_TRUE(rose) << "band 5 reached " << band5 << ", " << ratio << " x the next band";
        // Keep measuring while the tone lasts, for the record.
        float lowestRatio = ratio;
        float highestRatio = ratio;
        float highestBand5 = band5;
        while (rose && server.playing()) {
            const BandSums sums = FetchBands(capture, channel);
            if (sums.levels[kBand5] > kToneLevel) {
                const float r = sums.levels[kBand5] / LoudestBandBesides(sums, kBand5);
                highestBand5 = std::max(highestBand5, sums.levels[kBand5]);
                lowestRatio = std::min(lowestRatio, r);
                highestRatio = std::max(highestRatio, r);
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        this->RecordProperty("band5_peak", std::to_string(highestBand5));
        this->RecordProperty("band5_over_next_band_lowest", std::to_string(lowestRatio));
        this->RecordProperty("band5_over_next_band_highest", std::to_string(highestRatio));
        std::printf(
            "band 5 peak %.3f; %.0f to %.0f x the next loudest band while the tone played\n",
            highestBand5, lowestRatio, highestRatio);

        ASSERT_TRUE(PollFor(seconds(5), [&] { return !server.playing(); }));
        EXPECT_TRUE(PollFor(seconds(5),
                            [&] {
                                band5 = FetchBands(capture, channel).levels[kBand5];
                                return band5 < kQuietLevel;
                            }))
            << "band 5 stayed at " << band5;
    }
    EXPECT_EQ(stderrText.text(), "");
}

TEST(DesktopAudioCapture, SilentAndQuietWithoutASoundServer) {
    // libpulse is pointed at an empty directory: no server answers, and ALSA's "default" device
    // (the pulse plug-in) finds none either; on a machine without sound hardware nothing
    // records. The fetches go on giving silence, and nothing is printed.
    const std::filesystem::path empty =
        std::filesystem::temp_directory_path() / ("glowtern-nopulse-" + std::to_string(getpid()));
    std::filesystem::create_directory(empty);
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", empty.string());
        ScopedEnv server("PULSE_SERVER", "unix:" + (empty / "none").string());
        ScopedEnv cookie("PULSE_COOKIE", (empty / "cookie").string());
        StderrCapture stderrText;
        {
            DesktopAudioCapture capture;
            const uint32_t channel = capture.startRecording();
            ASSERT_NE(channel, 0u);
            std::vector<float> spectrum(kSpectrumBins, -1.0f);
            // The first fetch tries the server and then ALSA; a later one the server again.
            // (A machine with sound hardware records it through ALSA.)
            for (int fetch = 0; fetch < 30; ++fetch) {
                capture.fetchSpectrum(channel, spectrum.data());
                EXPECT_TRUE(
                    capture.recordingThroughAlsa() ||
                    std::all_of(spectrum.begin(), spectrum.end(), [](float m) { return m == 0; }));
                std::this_thread::sleep_for(milliseconds(50));
            }
            EXPECT_TRUE(capture.sources().empty());
            RecordProperty("through_alsa", capture.recordingThroughAlsa() ? 1 : 0);
        }
        EXPECT_EQ(stderrText.text(), "");
    }
    std::filesystem::remove_all(empty);
}

}  // namespace
}  // namespace glowtern
