#include "bench/bench_support.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include "app/main_window.h"
#include "engine/bands.h"
#include "engine/control_ids.h"
#include "platform/audio.h"

namespace glowtern::bench {

std::vector<int16_t> MusicLikeSamples(double seconds, uint32_t seed) {
    const auto count = static_cast<std::size_t>(seconds * kSampleRate);
    std::vector<int16_t> samples(count);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> white(-1.0, 1.0);
    // Paul Kellet's economy pink filter: three one-pole sections over white noise.
    double b0 = 0;
    double b1 = 0;
    double b2 = 0;
    // A minor pentatonic, one note every quarter second.
    constexpr std::array<double, 16> kMelody = {220.0, 261.6, 293.7, 329.6, 392.0, 440.0,
                                                523.3, 587.3, 659.3, 587.3, 523.3, 440.0,
                                                392.0, 329.6, 880.0, 659.3};
    constexpr double kNoteSeconds = 0.25;
    constexpr double kBeatSeconds = 0.5;
    double kickPhase = 0;
    double notePhase = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const double t = static_cast<double>(n) / kSampleRate;

        const double w = white(random);
        b0 = 0.99765 * b0 + w * 0.0990460;
        b1 = 0.96300 * b1 + w * 0.2965164;
        b2 = 0.57000 * b2 + w * 1.0526913;
        const double pink = (b0 + b1 + b2 + w * 0.1848) * 0.05;

        const double sinceBeat = std::fmod(t, kBeatSeconds);
        const double kickHertz = 45.0 + 105.0 * std::exp(-sinceBeat / 0.03);
        kickPhase += 2.0 * std::numbers::pi * kickHertz / kSampleRate;
        const double kick = 0.6 * std::exp(-sinceBeat / 0.12) * std::sin(kickPhase);

        const auto note = static_cast<std::size_t>(t / kNoteSeconds) % kMelody.size();
        const double sinceNote = std::fmod(t, kNoteSeconds);
        notePhase += 2.0 * std::numbers::pi * kMelody[note] / kSampleRate;
        const double melody = 0.2 * std::exp(-sinceNote / 0.1) * std::sin(notePhase);

        const double mixed = std::clamp(pink + kick + melody, -1.0, 1.0);
        samples[n] = static_cast<int16_t>(std::lround(mixed * 32767.0));
    }
    return samples;
}

void DefineShowControls(ControlModel& controls, int threshold) {
    for (const ControlSpec& control : MainWindowControls()) {
        controls.define(control);
    }
    controls.setState(kKeyCheckBox, 1);
    controls.setState(kLptCheckBox, 1);
    controls.setState(kLevelSlider, 35);
    controls.setState(kAruSlider, 35);
    for (int band = 1; band <= kBandCount; ++band) {
        controls.setState(bandSlider(band), threshold);
        controls.setState(outputSelector(band), band);
    }
}

}  // namespace glowtern::bench
