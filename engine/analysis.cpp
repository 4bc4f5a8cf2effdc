#include "engine/analysis.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "engine/control_ids.h"
#include "engine/level_meter.h"

namespace glowtern {

static_assert(LightFrame::kBands == kBandCount);

namespace {

// A total level at or below this is silence. Single precision on purpose: a total of
// exactly 0.01f is silence.
constexpr float kSilenceLevel = 0.01f;
// In the Rnd mode a total level (square root of the raw total) at or below this is
// near-silence: the meters empty, the channel states stay.
constexpr float kRndQuietLevel = 0.25f;
constexpr int kRndThresholdBase = 26;
constexpr int kRndThresholdSpread = 13;  // thresholds 26..39
constexpr int kRndLevelMax = 40;         // random levels 0..40
constexpr double kAutoLevelScale = 2.2;

// Rounds to the nearest integer, halves to even (the default rounding mode). Only a
// corrupt spectrum can give a level no int32 holds; it saturates, and NaN gives 0,
// instead of an undefined conversion.
int32_t RoundLevel(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    const double rounded = std::nearbyint(value);
    if (rounded <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
        return std::numeric_limits<int32_t>::min();
    }
    if (rounded >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(rounded);
}

struct Cycle {
    EngineState& shared;
    AnalysisState& local;
    ControlModel& controls;

    float level(int band) const { return shared.bandLevels[band - 1].load(); }

    void drawMeter(int band, float bandLevel, bool on) {
        DrawLevelMeter(local.meterImage, controls, band, bandLevel, on);
        local.frame.levels[band - 1] = bandLevel;
    }
    // One band's decision: its channel state and its meter.
    void decide(int band, float bandLevel, bool on) {
        shared.channelStates[band].store(on ? 1 : 0);
        drawMeter(band, bandLevel, on);
        local.frame.bandsDecided = true;
    }

    void gainAndScale(int32_t mode);
    void manual();
    void sampleAruAndDecay();
    void automatic();
    void random();
    void beats();
    void finishFrame();
};

void Cycle::gainAndScale(int32_t mode) {
    const float total = local.sums.levels[kBandCount];
    // NaN compares false, so a NaN total is silence too.
    if (!(total > kSilenceLevel)) {
        for (int i = 0; i <= kBandCount; ++i) {
            shared.bandLevels[i].store(0.0f);
        }
        for (int i = 0; i < 3; ++i) {
            shared.groupLevels[i].store(0.0f);
            shared.heldGroupLevels[i].store(0);
        }
        return;
    }
    // Each step is worked in double and stored as float, in this order.
    const int32_t g = RoundLevel(static_cast<double>(local.gainReference) / total);
    const int32_t gain = RoundLevel(std::sqrt(static_cast<double>(g)));
    const double levelValue = shared.levelValue.load();
    for (int i = 0; i < kBandCount; ++i) {
        float x = static_cast<float>(static_cast<double>(local.sums.levels[i]) * gain);
        if (mode == kManualMode) {
            x = static_cast<float>(std::sqrt(static_cast<double>(x)) * levelValue);
        } else if (mode == kAutoMode) {
            x = static_cast<float>(static_cast<double>(x) * levelValue * kAutoLevelScale);
        }
        shared.bandLevels[i].store(x);
    }
    shared.bandLevels[kBandCount].store(static_cast<float>(std::sqrt(static_cast<double>(total))));
    const std::array<float, 3> raw = {local.sums.groups.low, local.sums.groups.mid,
                                      local.sums.groups.high};
    for (int i = 0; i < 3; ++i) {
        float x = static_cast<float>(static_cast<double>(raw[i]) * gain);
        x = static_cast<float>(std::sqrt(static_cast<double>(x)) * levelValue);
        shared.groupLevels[i].store(x);
    }
}

void Cycle::manual() {
    for (int band = 1; band <= kBandCount; ++band) {
        const int32_t threshold = controls.state(bandSlider(band));
        const float x = level(band);
        decide(band, x, static_cast<double>(x) > threshold);
    }
}

void Cycle::sampleAruAndDecay() {
    const int32_t aru = controls.state(kAruSlider);
    shared.aruValue.store(aru);
    if (++local.decayCounter >= aru) {
        local.decayCounter = 0;
    }
}

// Thresholds jump to each new peak and, once every ARU cycles, fall to just above
// the current level. The slider's own range bounds the positions.
void Cycle::automatic() {
    for (int band = 1; band <= kBandCount; ++band) {
        const int32_t threshold = controls.state(bandSlider(band));
        const float x = level(band);
        const bool on = static_cast<double>(x) > threshold;
        if (on) {
            controls.setState(bandSlider(band), RoundLevel(x));
        } else if (local.decayCounter == 0) {
            controls.setState(bandSlider(band), RoundLevel(static_cast<double>(x) + 1.0));
        }
        decide(band, x, on);
    }
}

void Cycle::random() {
    std::uniform_int_distribution<int> thresholdDraw(0, kRndThresholdSpread);
    const int threshold = kRndThresholdBase + thresholdDraw(local.random);
    if (level(kBandCount + 1) > kRndQuietLevel) {
        std::uniform_int_distribution<int> levelDraw(0, kRndLevelMax);
        for (int band = 1; band <= kBandCount; ++band) {
            const float x = static_cast<float>(levelDraw(local.random));
            shared.bandLevels[band - 1].store(x);
            decide(band, x, x > static_cast<float>(threshold));
        }
        return;
    }
    // Near-silence: empty meters, but the channels keep the last decisions.
    for (int band = 1; band <= kBandCount; ++band) {
        shared.bandLevels[band - 1].store(0.0f);
        drawMeter(band, 0.0f, false);
    }
}

// A group beats in a cycle where its level rises above the decaying peak.
void Cycle::beats() {
    for (int i = 0; i < 3; ++i) {
        const float x = shared.groupLevels[i].load();
        int32_t held = shared.heldGroupLevels[i].load();
        const bool beat = static_cast<double>(held) < static_cast<double>(x);
        if (beat) {
            held = RoundLevel(x);
        } else if (held > std::numeric_limits<int32_t>::min()) {
            --held;  // no lower bound, short of overflow
        }
        shared.heldGroupLevels[i].store(held);
        local.frame.beats[i] = beat;
    }
}

void Cycle::finishFrame() {
    for (int band = 1; band <= kBandCount; ++band) {
        local.frame.channels[band - 1] = shared.channelStates[band].load() != 0;
    }
}

}  // namespace

void RunAnalysisCycle(const float* spectrum, int32_t mode, EngineState& shared,
                      AnalysisState& local, ControlModel& controls, LightOutputList outputs) {
    Cycle cycle{shared, local, controls};
    local.frame.bandsDecided = false;

    ComputeBandSums(spectrum, local.sums);
    for (int i = 0; i <= kBandCount; ++i) {
        shared.bandLevels[i].store(local.sums.levels[i]);
    }
    shared.groupLevels[0].store(local.sums.groups.low);
    shared.groupLevels[1].store(local.sums.groups.mid);
    shared.groupLevels[2].store(local.sums.groups.high);

    cycle.gainAndScale(mode);
    if (mode == kManualMode) {
        cycle.manual();
    }
    cycle.sampleAruAndDecay();
    if (mode == kAutoMode) {
        cycle.automatic();
    }
    if (mode == kRndMode) {
        cycle.random();
    }
    cycle.beats();
    cycle.finishFrame();
    for (LightOutput* output : outputs) {
        output->write(local.frame);
    }
    shared.levelValue.store(controls.state(kLevelSlider));
}

}  // namespace glowtern
