#include "engine/analysis.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string_view>

#include "engine/control_ids.h"
#include "engine/level_meter.h"

namespace glowtern {

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

constexpr std::array<std::string_view, 3> kLedLetters = {"n", "c", "s"};  // low, mid, high

// The USB device takes its 18 outputs in three reports of six bits; the two high
// bits of each byte say which pin group the low six are for.
struct UsbReportLayout {
    uint8_t marker;
    std::array<int, 6> outputs;  // OUTn for bits 0..5
};
constexpr std::array<UsbReportLayout, 3> kUsbReports = {{
    {0x00, {17, 18, 16, 15, 14, 13}},  // PC4 PC5 PC3 PC2 PC1 PC0
    {0x40, {10, 9, 12, 8, 11, 7}},     // PB3 PB2 PB5 PB1 PB4 PB0
    {0x80, {1, 2, 3, 4, 5, 6}},        // PD0 PD1 PD3 PD5 PD6 PD7
}};

struct LptBytes {
    uint8_t data = kDataRest;
    uint8_t control = kControlRest;
};

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

// Bands 4..11 drive data lines D0..D7; bands 12..15 the control lines, whose rest
// value 0x0B holds all four low (Strobe, Auto Feed and Select In are inverted).
void RaiseLptLine(int band, LptBytes& lpt) {
    if (band >= 4 && band <= 11) {
        lpt.data = static_cast<uint8_t>(lpt.data | (1u << (band - 4)));
        return;
    }
    switch (band) {
        case 12:
            lpt.control = static_cast<uint8_t>(lpt.control & ~0x01u);
            break;
        case 13:
            lpt.control = static_cast<uint8_t>(lpt.control & ~0x02u);
            break;
        case 14:
            lpt.control = static_cast<uint8_t>(lpt.control | 0x04u);
            break;
        case 15:
            lpt.control = static_cast<uint8_t>(lpt.control & ~0x08u);
            break;
        default:
            break;
    }
}

struct Cycle {
    EngineState& shared;
    AnalysisState& local;
    ControlModel& controls;
    LightOutputs& outputs;
    LptBytes lpt;

    float level(int band) const { return shared.bandLevels[band - 1].load(); }

    // One band's decision: its channel state, its port line and its meter.
    void decide(int band, float bandLevel, bool on) {
        shared.channelStates[band].store(on ? 1 : 0);
        if (on) {
            RaiseLptLine(band, lpt);
        }
        DrawLevelMeter(local.meterImage, controls, band, bandLevel, on);
    }

    void gainAndScale(int32_t mode);
    void manual();
    void sampleAruAndDecay();
    void automatic();
    void random();
    void keyboardLeds();
    void parallelPort();
    void usbReports();
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
    // Near-silence: empty meters, but the outputs keep the last decisions (the port
    // still goes dark, since no line is raised).
    for (int band = 1; band <= kBandCount; ++band) {
        shared.bandLevels[band - 1].store(0.0f);
        DrawLevelMeter(local.meterImage, controls, band, 0.0f, false);
    }
}

// A flag is 1 in a cycle where its group level rises above the decaying peak.
void Cycle::keyboardLeds() {
    std::array<int32_t, 3> flags{};
    for (int i = 0; i < 3; ++i) {
        const float x = shared.groupLevels[i].load();
        int32_t held = shared.heldGroupLevels[i].load();
        if (static_cast<double>(held) < static_cast<double>(x)) {
            held = RoundLevel(x);
            flags[i] = 1;
        } else if (held > std::numeric_limits<int32_t>::min()) {
            --held;  // no lower bound, short of overflow
        }
        shared.heldGroupLevels[i].store(held);
        shared.ledFlags[i].store(flags[i]);
    }
    if (controls.state(kKeyCheckBox) != 0) {
        for (int i = 0; i < 3; ++i) {
            outputs.setKeyboardLed(kLedLetters[i], flags[i]);
        }
    }
}

void Cycle::parallelPort() {
    if (controls.state(kLptCheckBox) != 0) {
        outputs.writePort(kDataPort, lpt.data);
        outputs.writePort(kControlPort, lpt.control);
    } else {
        outputs.writePort(kDataPort, kDataRest);
        outputs.writePort(kControlPort, kControlRest);
    }
}

void Cycle::usbReports() {
    std::array<uint8_t, kUsbReports.size()> bytes{};
    for (size_t r = 0; r < kUsbReports.size(); ++r) {
        uint8_t byte = kUsbReports[r].marker;
        for (int bit = 0; bit < 6; ++bit) {
            // "No" (0) and no selection (-1) name no band.
            const int32_t band = controls.state(outputSelector(kUsbReports[r].outputs[bit]));
            if (band >= 1 && band <= kBandCount && shared.channelStates[band].load() != 0) {
                byte = static_cast<uint8_t>(byte | (1u << bit));
            }
        }
        bytes[r] = byte;
    }
    for (uint8_t byte : bytes) {
        outputs.writeUsbReport(byte);
    }
}

}  // namespace

void RunAnalysisCycle(const float* spectrum, int32_t mode, EngineState& shared,
                      AnalysisState& local, ControlModel& controls, LightOutputs& outputs) {
    Cycle cycle{shared, local, controls, outputs, LptBytes{}};

    ComputeBandSums(spectrum, local.sums);
    for (int i = 0; i <= kBandCount; ++i) {
        shared.bandLevels[i].store(local.sums.levels[i]);
    }
    shared.groupLevels[0].store(local.sums.groups.low);
    shared.groupLevels[1].store(local.sums.groups.mid);
    shared.groupLevels[2].store(local.sums.groups.high);

    cycle.gainAndScale(mode);
    cycle.lpt = LptBytes{};
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
    cycle.keyboardLeds();
    cycle.parallelPort();
    cycle.usbReports();
    shared.levelValue.store(controls.state(kLevelSlider));
}

}  // namespace glowtern
