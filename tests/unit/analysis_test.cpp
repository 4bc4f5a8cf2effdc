#include "engine/analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/bands.h"
#include "engine/control_ids.h"
#include "tests/support/recording_outputs.h"
#include "tests/support/test_window.h"

namespace glowtern {
namespace {

using testing::OutputEvent;

constexpr int kMeterWidth = 8;
constexpr int kMeterHeight = 70;
constexpr Rgb kMeterBackground{17, 17, 17};
constexpr Rgb kMeterRed{255, 90, 90};
constexpr Rgb kMeterBlue{10, 10, 255};

// Whole analysis cycles on a scripted spectrum, against the main window's controls
// and a recording of every output write.
class AnalysisCycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::DefineEngineControls(controls);
        local.random.seed(20240611u);
    }

    // Band `band` sums to exactly `sum`: the value sits in the band's first bin.
    void SetBand(int band, float sum) {
        const BandRange& range = kBandBins[band - 1];
        std::fill(spectrum.begin() + range.firstBin, spectrum.begin() + range.lastBin + 1, 0.0f);
        spectrum[range.firstBin] = sum;
    }
    void SetAllBands(float sum) {
        for (int band = 1; band <= kBandCount; ++band) {
            SetBand(band, sum);
        }
    }
    void ClearSpectrum() { std::fill(spectrum.begin(), spectrum.end(), 0.0f); }

    // The level slider and the level value the worker sampled from it last cycle.
    void SetLevelValue(int value) {
        controls.setState(kLevelSlider, value);
        shared.levelValue.store(value);
    }
    void SetMode(int32_t mode) { shared.effectMode.store(mode); }
    void SetAllSliders(int position) {
        for (int band = 1; band <= kBandCount; ++band) {
            controls.setState(bandSlider(band), position);
        }
    }
    void SelectBands(int band) {
        for (int output = 1; output <= 18; ++output) {
            controls.setState(outputSelector(output), band);
        }
    }

    void Cycle() {
        outputs.clear();
        RunAnalysisCycle(spectrum.data(), shared.effectMode.load(), shared, local, controls,
                         outputs);
    }

    float Level(int band) const { return shared.bandLevels[band - 1].load(); }
    float Total() const { return shared.bandLevels[kBandCount].load(); }
    int32_t State(int band) const { return shared.channelStates[band].load(); }
    int32_t Slider(int band) const { return controls.state(bandSlider(band)); }
    std::array<int32_t, 3> Flags() const {
        return {shared.ledFlags[0].load(), shared.ledFlags[1].load(), shared.ledFlags[2].load()};
    }
    std::array<int32_t, 3> Held() const {
        return {shared.heldGroupLevels[0].load(), shared.heldGroupLevels[1].load(),
                shared.heldGroupLevels[2].load()};
    }
    std::array<int32_t, 18> States() const {
        std::array<int32_t, 18> states{};
        for (int band = 1; band <= kBandCount; ++band) {
            states[band - 1] = State(band);
        }
        return states;
    }
    int DataByte() const { return outputs.lastPortValue(kDataPort); }
    int ControlByte() const { return outputs.lastPortValue(kControlPort); }

    std::vector<uint8_t> Meter(int band) {
        const uint8_t* pixels = controls.latestImage(levelMeter(band));
        if (pixels == nullptr) {
            return {};
        }
        return std::vector<uint8_t>(pixels, pixels + kMeterWidth * kMeterHeight * 3);
    }
    // Colour of the meter's bottom-left pixel: the bar's colour, or the background.
    Rgb MeterFoot(int band) {
        const std::vector<uint8_t> pixels = Meter(band);
        if (pixels.empty()) {
            return Rgb{1, 2, 3};
        }
        const uint8_t* p = &pixels[(69 * kMeterWidth) * 3];
        return Rgb{p[0], p[1], p[2]};
    }
    // Drawn, and showing no bar: background with black grid rows only.
    bool MeterEmpty(int band) {
        const std::vector<uint8_t> pixels = Meter(band);
        if (pixels.empty()) {
            return false;
        }
        for (int y = 0; y < kMeterHeight; ++y) {
            const Rgb want = y % 4 == 2 ? Rgb{0, 0, 0} : kMeterBackground;
            for (int x = 0; x < kMeterWidth; ++x) {
                const uint8_t* p = &pixels[(y * kMeterWidth + x) * 3];
                if (Rgb{p[0], p[1], p[2]} != want) {
                    return false;
                }
            }
        }
        return true;
    }

    std::vector<float> spectrum = std::vector<float>(kSpectrumBins + 1, 0.0f);
    ControlModel controls;
    EngineState shared;
    AnalysisState local;
    testing::RecordingOutputs outputs;
};

using Silence = AnalysisCycleTest;

TEST_F(Silence, ZeroesEveryLevelAndRestartsThePeakHolds) {
    SetMode(kManualMode);
    SetLevelValue(35);
    SetAllSliders(0);
    SetAllBands(0.5f);
    Cycle();
    ASSERT_EQ(States(),
              (std::array<int32_t, 18>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    for (int32_t held : Held()) {
        ASSERT_GT(held, 10);
    }

    ClearSpectrum();
    Cycle();
    for (int i = 0; i <= kBandCount; ++i) {
        EXPECT_EQ(shared.bandLevels[i].load(), 0.0f) << "element " << i;
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(shared.groupLevels[i].load(), 0.0f) << "group " << i;
    }
    EXPECT_EQ(Flags(), (std::array<int32_t, 3>{0, 0, 0}));
    // The holds were reset to 0; 0 is not above 0, so they fall by one in the same
    // cycle instead of decaying from their old peaks.
    EXPECT_EQ(Held(), (std::array<int32_t, 3>{-1, -1, -1}));
    EXPECT_EQ(States(), (std::array<int32_t, 18>{}));
    EXPECT_EQ(DataByte(), 0x00);
    EXPECT_EQ(ControlByte(), 0x0B);
    for (int band = 1; band <= kBandCount; ++band) {
        EXPECT_TRUE(MeterEmpty(band)) << "band " << band;
    }

    // The next sound flashes every LED again, however faint.
    SetAllBands(0.01f);
    Cycle();
    EXPECT_EQ(Flags(), (std::array<int32_t, 3>{1, 1, 1}));
}

TEST_F(Silence, TotalOfExactlyOneHundredthOrNotANumberIsSilence) {
    SetLevelValue(35);
    spectrum[0] = 0.01f;
    Cycle();
    EXPECT_EQ(Level(1), 0.0f);
    EXPECT_EQ(Total(), 0.0f);

    const float justAbove = std::nextafter(0.01f, 1.0f);
    spectrum[0] = justAbove;
    Cycle();
    EXPECT_EQ(Level(1), static_cast<float>(static_cast<double>(justAbove) * 24));
    EXPECT_EQ(Total(), static_cast<float>(std::sqrt(static_cast<double>(justAbove))));
    EXPECT_GT(shared.groupLevels[0].load(), 0.0f);

    for (int32_t mode : {kNoMode, kManualMode, kAutoMode}) {
        SetMode(mode);
        SetAllSliders(0);
        SetAllBands(1.0f);
        spectrum[0] = std::numeric_limits<float>::quiet_NaN();
        Cycle();
        for (int i = 0; i <= kBandCount; ++i) {
            EXPECT_EQ(shared.bandLevels[i].load(), 0.0f) << "mode " << mode << " element " << i;
        }
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(shared.groupLevels[i].load(), 0.0f) << "mode " << mode;
        }
        EXPECT_EQ(Flags(), (std::array<int32_t, 3>{0, 0, 0})) << "mode " << mode;
        EXPECT_EQ(States(), (std::array<int32_t, 18>{})) << "mode " << mode;
    }
}

using Gain = AnalysisCycleTest;

// With no effect mode a band's level is its sum times the gain factor, so a lone
// band 1 shows the factor the cycle chose for its total.
TEST_F(Gain, FactorFollowsTheTableOfTotalLevels) {
    SetLevelValue(35);
    const auto expectGain = [&](float total, int gain) {
        ClearSpectrum();
        spectrum[0] = total;
        Cycle();
        EXPECT_EQ(Level(1), static_cast<float>(static_cast<double>(total) * gain))
            << "total " << total << " should give gain " << gain;
        EXPECT_EQ(Total(), static_cast<float>(std::sqrt(static_cast<double>(total))));
    };

    // The factor is round(sqrt(round(6 / T))), halves to even. It is k while
    // round(6 / T) lies in k*k - k + 1 .. k*k + k; both neighbouring halves round
    // to the even k*k - k and k*k + k, so k holds for
    // 6 / (k*k + k + 0.5) <= T < 6 / (k*k - k + 0.5).
    const auto lowest = [](int k) { return 6.0 / (k * k + k + 0.5); };
    EXPECT_DOUBLE_EQ(lowest(1), 2.4);
    EXPECT_NEAR(lowest(2), 0.923, 0.0005);
    EXPECT_NEAR(lowest(3), 0.480, 0.0005);
    EXPECT_NEAR(lowest(4), 0.293, 0.0005);
    EXPECT_NEAR(lowest(5), 0.197, 0.0005);
    EXPECT_LT(lowest(24), 0.01);
    EXPECT_GT(lowest(23), 0.01);

    expectGain(12.0f, 0);
    expectGain(1000.0f, 0);
    expectGain(std::nextafter(12.0f, 0.0f), 1);
    for (int k = 1; k <= 23; ++k) {
        const double edge = lowest(k);
        float atEdge = static_cast<float>(edge);
        if (atEdge < edge) {
            atEdge = std::nextafter(atEdge, 1.0f);
        }
        expectGain(atEdge, k);
        expectGain(std::nextafter(atEdge, 0.0f), k + 1);
        expectGain(static_cast<float>(std::sqrt(edge * 6.0 / (k * k - k + 0.5))), k);
    }
    expectGain(std::nextafter(0.01f, 1.0f), 24);
}

TEST_F(Gain, TotalOfTwelveOrMoreSwitchesEveryBandOff) {
    SetLevelValue(35);
    controls.setState(kAruSlider, 1);  // every cycle may lower the thresholds
    for (int32_t mode : {kManualMode, kAutoMode}) {
        SetMode(mode);
        SetAllSliders(0);
        SetAllBands(0.5f);  // total 9
        Cycle();
        ASSERT_EQ(DataByte(), 0xFF) << "mode " << mode;

        SetAllBands(12.0f / 18.0f);  // total 12 (within float rounding) and more
        spectrum[kSpectrumBins - 1] = 1.0f;
        Cycle();
        for (int band = 1; band <= kBandCount; ++band) {
            EXPECT_EQ(Level(band), 0.0f) << "mode " << mode << " band " << band;
            EXPECT_EQ(State(band), 0) << "mode " << mode << " band " << band;
            EXPECT_EQ(MeterFoot(band), kMeterBackground) << "mode " << mode << " band " << band;
        }
        EXPECT_GT(Total(), 3.4f);
        EXPECT_EQ(DataByte(), 0x00);
        EXPECT_EQ(ControlByte(), 0x0B);
        if (mode == kAutoMode) {
            // Off with the decay counter at 0: each threshold falls to 0 + 1.
            for (int band = 1; band <= kBandCount; ++band) {
                EXPECT_EQ(Slider(band), 1) << "band " << band;
            }
        }
    }
}

using Manual = AnalysisCycleTest;

TEST_F(Manual, BandIsOnOnlyAboveItsThreshold) {
    SetMode(kManualMode);
    SetLevelValue(5);
    SetBand(5, 4.0f);  // sqrt(4 x gain 1) x 5 = 10 exactly
    SetBand(6, 4.0f);
    controls.setState(bandSlider(5), 10);
    controls.setState(bandSlider(6), 9);
    Cycle();
    ASSERT_EQ(Level(5), 10.0f);
    ASSERT_EQ(Level(6), 10.0f);
    EXPECT_EQ(State(5), 0);
    EXPECT_EQ(State(6), 1);
    EXPECT_EQ(MeterFoot(5), kMeterBlue);
    EXPECT_EQ(MeterFoot(6), kMeterRed);
    EXPECT_EQ(DataByte(), 0x04);  // band 6 only: D2
    EXPECT_EQ(ControlByte(), 0x0B);
    // The manual mode never moves a slider.
    EXPECT_EQ(Slider(5), 10);
    EXPECT_EQ(Slider(6), 9);
    EXPECT_EQ(Slider(1), 15);
    EXPECT_TRUE(MeterEmpty(1));
}

using Auto = AnalysisCycleTest;

TEST_F(Auto, ThresholdJumpsToEachPeakAndFallsEveryAruCycles) {
    SetMode(kAutoMode);
    SetLevelValue(35);
    controls.setState(kAruSlider, 3);
    controls.setState(bandSlider(7), 10);
    // 3.0 in band 18 keeps the total between 2.4 and 12 (gain 1); band 7's sums
    // are chosen so that sum x 35 x 2.2 lands exactly on the level named.
    SetBand(18, 3.0f);
    SetBand(7, static_cast<float>(17.5 / 77.0));
    Cycle();
    ASSERT_EQ(Level(7), 17.5f);
    EXPECT_EQ(local.decayCounter, 1);
    EXPECT_EQ(shared.aruValue.load(), 3);
    EXPECT_EQ(Slider(7), 18);  // 17.5 rounds to the even 18
    EXPECT_EQ(State(7), 1);
    EXPECT_EQ(MeterFoot(7), kMeterRed);
    EXPECT_EQ(DataByte(), 0x08);
    // Band 18 at 231 is on and its slider stops at the top of its range.
    EXPECT_EQ(Slider(18), 39);
    EXPECT_EQ(State(18), 1);
    // Quiet bands are off; the counter is not 0, so their thresholds stay.
    EXPECT_EQ(Slider(1), 15);
    EXPECT_EQ(State(1), 0);

    SetBand(7, static_cast<float>(3.2 / 77.0));
    Cycle();
    ASSERT_NEAR(Level(7), 3.2f, 1e-5f);
    EXPECT_EQ(local.decayCounter, 2);
    EXPECT_EQ(Slider(7), 18);
    EXPECT_EQ(State(7), 0);
    EXPECT_EQ(MeterFoot(7), kMeterBlue);

    Cycle();
    EXPECT_EQ(local.decayCounter, 0);
    EXPECT_EQ(Slider(7), 4);  // 3.2 + 1 rounded
    EXPECT_EQ(State(7), 0);
    EXPECT_EQ(Slider(1), 1);  // 0 + 1

    // Halves go to the even neighbour on both paths: 3.5 + 1 gives 4, 18.5 gives 18.
    controls.setState(bandSlider(7), 30);
    SetBand(7, static_cast<float>(3.5 / 77.0));
    Cycle();
    Cycle();
    EXPECT_EQ(local.decayCounter, 2);
    EXPECT_EQ(Slider(7), 30);
    Cycle();
    ASSERT_EQ(Level(7), 3.5f);
    EXPECT_EQ(Slider(7), 4);
    SetBand(7, static_cast<float>(18.5 / 77.0));
    Cycle();
    ASSERT_EQ(Level(7), 18.5f);
    EXPECT_EQ(Slider(7), 18);
    EXPECT_EQ(State(7), 1);
}

TEST_F(Auto, AruOfOneLowersThresholdsEveryCycle) {
    SetMode(kAutoMode);
    SetLevelValue(35);
    controls.setState(kAruSlider, 1);
    SetBand(18, 3.0f);
    SetBand(7, static_cast<float>(3.2 / 77.0));
    for (int cycle = 0; cycle < 5; ++cycle) {
        controls.setState(bandSlider(7), 30 - cycle);
        Cycle();
        EXPECT_EQ(local.decayCounter, 0) << "cycle " << cycle;
        EXPECT_EQ(Slider(7), 4) << "cycle " << cycle;
        EXPECT_EQ(State(7), 0);
    }
    EXPECT_EQ(shared.aruValue.load(), 1);
}

using FirstCycle = AnalysisCycleTest;

TEST_F(FirstCycle, LevelValueIsZeroUntilSampledAtTheEnd) {
    SetAllSliders(0);
    SetAllBands(0.5f);
    controls.setState(kLevelSlider, 20);
    for (int32_t mode : {kManualMode, kAutoMode}) {
        SetMode(mode);
        shared.levelValue.store(0);  // as after start
        for (auto& held : shared.heldGroupLevels) {
            held.store(0);
        }
        Cycle();
        for (int band = 1; band <= kBandCount; ++band) {
            EXPECT_EQ(Level(band), 0.0f) << "mode " << mode << " band " << band;
            EXPECT_EQ(State(band), 0) << "mode " << mode << " band " << band;
        }
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(shared.groupLevels[i].load(), 0.0f) << "mode " << mode;
        }
        EXPECT_EQ(Flags(), (std::array<int32_t, 3>{0, 0, 0}));
        EXPECT_EQ(Total(), 3.0f);  // the total does not depend on the level value
        EXPECT_EQ(shared.levelValue.load(), 20);
    }

    // From the next cycle on the sampled value counts; a slider move counts one
    // cycle later again.
    SetMode(kManualMode);
    controls.setState(kLevelSlider, 40);
    Cycle();
    EXPECT_EQ(Level(1), static_cast<float>(std::sqrt(0.5) * 20));
    EXPECT_EQ(State(1), 1);
    EXPECT_EQ(shared.levelValue.load(), 40);
    Cycle();
    EXPECT_EQ(Level(1), static_cast<float>(std::sqrt(0.5) * 40));
}

using Rnd = AnalysisCycleTest;

TEST_F(Rnd, RandomLevelsAndThresholdsStayInTheirRanges) {
    SetMode(kRndMode);
    SetLevelValue(35);
    SetAllBands(0.5f);
    std::array<int, 41> seen{};
    bool thresholdLowestSeen = false;   // a level of 27 on: threshold 26
    bool thresholdHighestSeen = false;  // a level of 39 off: threshold 39
    for (int cycle = 0; cycle < 3000; ++cycle) {
        Cycle();
        int lowestOn = 41;
        int highestOff = -1;
        int data = 0;
        for (int band = 1; band <= kBandCount; ++band) {
            const float level = Level(band);
            ASSERT_EQ(level, std::floor(level));
            ASSERT_GE(level, 0.0f);
            ASSERT_LE(level, 40.0f);
            const int value = static_cast<int>(level);
            ++seen[value];
            if (State(band) != 0) {
                lowestOn = std::min(lowestOn, value);
                if (band >= 4 && band <= 11) {
                    data |= 1 << (band - 4);
                }
            } else {
                highestOff = std::max(highestOff, value);
            }
        }
        // One threshold of 26..39 splits the bands of a cycle.
        ASSERT_GE(lowestOn, 27) << "cycle " << cycle;
        ASSERT_LE(highestOff, 39) << "cycle " << cycle;
        ASSERT_LT(highestOff, lowestOn) << "cycle " << cycle;
        thresholdLowestSeen = thresholdLowestSeen || lowestOn == 27;
        thresholdHighestSeen = thresholdHighestSeen || highestOff == 39;
        ASSERT_EQ(DataByte(), data) << "cycle " << cycle;
    }
    for (int value = 0; value <= 40; ++value) {
        EXPECT_GT(seen[value], 0) << "level " << value << " never drawn";
    }
    EXPECT_TRUE(thresholdLowestSeen);
    EXPECT_TRUE(thresholdHighestSeen);
}

TEST_F(Rnd, NearSilenceEmptiesTheMetersButKeepsTheDecisions) {
    SetMode(kRndMode);
    SetLevelValue(35);
    for (int output = 1; output <= 18; ++output) {
        controls.setState(outputSelector(output), output);
    }
    SetAllBands(0.5f);
    // Decide until some band that drives a port line is on.
    std::array<int32_t, 18> decided{};
    std::vector<uint8_t> decidedReports;
    for (int cycle = 0; cycle < 200; ++cycle) {
        Cycle();
        decided = States();
        decidedReports = outputs.usbBytes();
        if (DataByte() != 0x00 || ControlByte() != 0x0B) {
            break;
        }
    }
    ASSERT_TRUE(DataByte() != 0x00 || ControlByte() != 0x0B);
    ASSERT_EQ(decidedReports.size(), 3u);

    const auto expectQuiet = [&](const char* what) {
        Cycle();
        EXPECT_EQ(States(), decided) << what;
        EXPECT_EQ(outputs.usbBytes(), decidedReports) << what;
        EXPECT_EQ(DataByte(), 0x00) << what;
        EXPECT_EQ(ControlByte(), 0x0B) << what;
        for (int band = 1; band <= kBandCount; ++band) {
            EXPECT_EQ(Level(band), 0.0f) << what << " band " << band;
            EXPECT_TRUE(MeterEmpty(band)) << what << " band " << band;
        }
    };
    ClearSpectrum();
    spectrum[0] = 0.0625f;  // total level sqrt(0.0625) = 0.25: not above 0.25
    expectQuiet("total level 0.25");
    ClearSpectrum();
    expectQuiet("silence");

    spectrum[0] = 0.07f;
    Cycle();
    bool anyLevel = false;
    for (int band = 1; band <= kBandCount; ++band) {
        anyLevel = anyLevel || Level(band) > 0.0f;
    }
    EXPECT_TRUE(anyLevel);
}

using OtherModes = AnalysisCycleTest;

TEST_F(OtherModes, DecideNoBandButStillScaleAndFollowTheGroups) {
    SetMode(kManualMode);
    SetLevelValue(35);
    SetAllSliders(0);
    SetAllBands(0.5f);
    controls.setState(outputSelector(1), 1);
    Cycle();
    ASSERT_EQ(States()[0], 1);
    std::array<std::vector<uint8_t>, 18> meters;
    for (int band = 1; band <= kBandCount; ++band) {
        meters[band - 1] = Meter(band);
    }
    std::array<int32_t, 3> held = Held();
    ASSERT_EQ(held[0], 25);  // sqrt(0.5) x 35 = 24.7

    ClearSpectrum();
    SetBand(1, 0.5f);  // total 0.5: gain 3
    for (int32_t mode : {int32_t{kNoMode}, 7, -1}) {
        SetMode(mode);
        Cycle();
        EXPECT_EQ(Level(1), 1.5f) << "mode " << mode;
        EXPECT_EQ(Level(2), 0.0f) << "mode " << mode;
        EXPECT_EQ(States(),
                  (std::array<int32_t, 18>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}))
            << "mode " << mode;
        for (int band = 1; band <= kBandCount; ++band) {
            EXPECT_EQ(Meter(band), meters[band - 1]) << "mode " << mode << " band " << band;
        }
        EXPECT_EQ(DataByte(), 0x00) << "mode " << mode;
        EXPECT_EQ(ControlByte(), 0x0B) << "mode " << mode;
        EXPECT_EQ(outputs.usbBytes(), (std::vector<uint8_t>{0x00, 0x40, 0x81})) << "mode " << mode;
        // Low group: 0.5 / 8 x 3, square root, x 35 = 15.2, below the held peak.
        EXPECT_FLOAT_EQ(shared.groupLevels[0].load(), static_cast<float>(std::sqrt(0.1875) * 35));
        EXPECT_EQ(Flags()[0], 0);
        EXPECT_EQ(Held()[0], --held[0]);
    }
}

using KeyboardLeds = AnalysisCycleTest;

TEST_F(KeyboardLeds, FlagsMarkRisesAboveTheDecayingPeak) {
    SetLevelValue(5);
    spectrum[0] = 8.0f;  // low group 1, mid 1.4, high 1.12: gain 1
    const std::array<int32_t, 6> lowFlags = {1, 0, 1, 0, 1, 0};
    const std::array<int32_t, 6> lowHeld = {5, 4, 5, 4, 5, 4};
    for (int cycle = 0; cycle < 6; ++cycle) {
        Cycle();
        ASSERT_EQ(shared.groupLevels[0].load(), 5.0f);
        ASSERT_GT(shared.groupLevels[2].load(), 5.0f);
        ASSERT_LT(shared.groupLevels[2].load(), 5.5f);
        EXPECT_EQ(Flags()[0], lowFlags[cycle]) << "cycle " << cycle;
        EXPECT_EQ(Held()[0], lowHeld[cycle]) << "cycle " << cycle;
        EXPECT_EQ(Flags()[2], 1) << "cycle " << cycle;  // 5.29 stays above the held 5
        EXPECT_EQ(Held()[2], 5) << "cycle " << cycle;
        const std::vector<OutputEvent> leds = outputs.ofKind(OutputEvent::Kind::KeyboardLed);
        EXPECT_EQ(leds, (std::vector<OutputEvent>{OutputEvent::Led('n', Flags()[0]),
                                                  OutputEvent::Led('c', Flags()[1]),
                                                  OutputEvent::Led('s', Flags()[2])}));
    }

    // Unticked, nothing reaches the keyboard but the flags keep running.
    controls.setState(kKeyCheckBox, 0);
    Cycle();
    EXPECT_TRUE(outputs.ofKind(OutputEvent::Kind::KeyboardLed).empty());
    EXPECT_EQ(Flags()[0], 1);
    Cycle();
    EXPECT_EQ(Flags()[0], 0);
}

using ParallelPort = AnalysisCycleTest;

TEST_F(ParallelPort, LinesFollowTheBandsThatAreOn) {
    SetMode(kManualMode);
    SetLevelValue(35);
    SetBand(4, 1.0f);
    SetBand(12, 1.0f);
    SetBand(14, 1.0f);
    Cycle();
    EXPECT_EQ(DataByte(), 0x01);
    EXPECT_EQ(ControlByte(), 0x0E);

    SetAllBands(0.5f);
    SetAllSliders(0);
    Cycle();
    EXPECT_EQ(DataByte(), 0xFF);
    EXPECT_EQ(ControlByte(), 0x04);

    controls.setState(kLptCheckBox, 0);
    Cycle();
    EXPECT_EQ(States()[3], 1);
    EXPECT_EQ(DataByte(), 0x00);
    EXPECT_EQ(ControlByte(), 0x0B);
    controls.setState(kLptCheckBox, 1);

    // Each band alone: bands 4..11 raise D0..D7; 12, 13 and 15 clear the inverted
    // Strobe, Auto Feed and Select In bits, 14 sets Initialize; the rest drive none.
    struct Line {
        int data;
        int control;
    };
    const std::array<Line, 18> lines = {{{0x00, 0x0B},
                                         {0x00, 0x0B},
                                         {0x00, 0x0B},
                                         {0x01, 0x0B},
                                         {0x02, 0x0B},
                                         {0x04, 0x0B},
                                         {0x08, 0x0B},
                                         {0x10, 0x0B},
                                         {0x20, 0x0B},
                                         {0x40, 0x0B},
                                         {0x80, 0x0B},
                                         {0x00, 0x0A},
                                         {0x00, 0x09},
                                         {0x00, 0x0F},
                                         {0x00, 0x03},
                                         {0x00, 0x0B},
                                         {0x00, 0x0B},
                                         {0x00, 0x0B}}};
    for (int band = 1; band <= kBandCount; ++band) {
        ClearSpectrum();
        SetBand(band, 1.0f);
        Cycle();
        ASSERT_EQ(State(band), 1) << "band " << band;
        EXPECT_EQ(DataByte(), lines[band - 1].data) << "band " << band;
        EXPECT_EQ(ControlByte(), lines[band - 1].control) << "band " << band;
    }
}

using Usb = AnalysisCycleTest;

TEST_F(Usb, ReportsCarryTheStatesOfTheSelectedBands) {
    SetMode(kManualMode);
    SetLevelValue(35);
    SetAllSliders(0);
    SetAllBands(0.5f);

    SelectBands(9);
    Cycle();
    EXPECT_EQ(outputs.usbBytes(), (std::vector<uint8_t>{0x3F, 0x7F, 0xBF}));
    SelectBands(0);
    Cycle();
    EXPECT_EQ(outputs.usbBytes(), (std::vector<uint8_t>{0x00, 0x40, 0x80}));
    SelectBands(-1);
    Cycle();
    EXPECT_EQ(outputs.usbBytes(), (std::vector<uint8_t>{0x00, 0x40, 0x80}));

    // The device's pins: which report and bit each output OUT1..OUT18 drives. Alone,
    // OUT17 gives 0x01 in the first report, OUT13 0x20, OUT7 0x60 in the second and
    // OUT6 0xA0 in the third.
    struct Pin {
        int report;
        int bit;
    };
    const std::array<Pin, 18> pins = {{{2, 0},    // OUT1 PD0
                                       {2, 1},    // OUT2 PD1
                                       {2, 2},    // OUT3 PD3
                                       {2, 3},    // OUT4 PD5
                                       {2, 4},    // OUT5 PD6
                                       {2, 5},    // OUT6 PD7
                                       {1, 5},    // OUT7 PB0
                                       {1, 3},    // OUT8 PB1
                                       {1, 1},    // OUT9 PB2
                                       {1, 0},    // OUT10 PB3
                                       {1, 4},    // OUT11 PB4
                                       {1, 2},    // OUT12 PB5
                                       {0, 5},    // OUT13 PC0
                                       {0, 4},    // OUT14 PC1
                                       {0, 3},    // OUT15 PC2
                                       {0, 2},    // OUT16 PC3
                                       {0, 0},    // OUT17 PC4
                                       {0, 1}}};  // OUT18 PC5
    for (int output = 1; output <= 18; ++output) {
        SelectBands(0);
        controls.setState(outputSelector(output), 19 - output);  // any band that is on
        Cycle();
        std::vector<uint8_t> expected = {0x00, 0x40, 0x80};
        const Pin& pin = pins[output - 1];
        expected[pin.report] = static_cast<uint8_t>(expected[pin.report] | (1 << pin.bit));
        EXPECT_EQ(outputs.usbBytes(), expected) << "OUT" << output;
    }
    // A selector naming a band that is off gives 0; one band may drive many outputs.
    ClearSpectrum();
    SetBand(4, 1.0f);
    SelectBands(5);
    controls.setState(outputSelector(1), 4);
    controls.setState(outputSelector(18), 4);
    controls.setState(outputSelector(10), 4);
    Cycle();
    ASSERT_EQ(State(5), 0);
    EXPECT_EQ(outputs.usbBytes(), (std::vector<uint8_t>{0x02, 0x41, 0x81}));
}

using OutputOrder = AnalysisCycleTest;

TEST_F(OutputOrder, LedsThenPortDataAndControlThenThreeUsbReports) {
    SetMode(kManualMode);
    SetLevelValue(5);
    SetBand(4, 8.0f);  // groups 5.0, 5.9 and 5.3, as for the LED flags
    controls.setState(bandSlider(4), 0);
    controls.setState(outputSelector(1), 4);
    Cycle();
    ASSERT_EQ(Flags(), (std::array<int32_t, 3>{1, 1, 1}));
    Cycle();
    EXPECT_EQ(outputs.events(),
              (std::vector<OutputEvent>{
                  OutputEvent::Led('n', 0), OutputEvent::Led('c', 0), OutputEvent::Led('s', 1),
                  OutputEvent::Port(kDataPort, 0x01), OutputEvent::Port(kControlPort, 0x0B),
                  OutputEvent::Usb(0x00), OutputEvent::Usb(0x40), OutputEvent::Usb(0x81)}));

    SetBand(14, 1.0f);
    controls.setState(bandSlider(14), 0);
    controls.setState(kKeyCheckBox, 0);
    Cycle();
    ASSERT_EQ(State(14), 1);
    EXPECT_EQ(outputs.events(),
              (std::vector<OutputEvent>{
                  OutputEvent::Port(kDataPort, 0x01), OutputEvent::Port(kControlPort, 0x0F),
                  OutputEvent::Usb(0x00), OutputEvent::Usb(0x40), OutputEvent::Usb(0x81)}));
    controls.setState(kLptCheckBox, 0);
    Cycle();
    EXPECT_EQ(outputs.events(),
              (std::vector<OutputEvent>{
                  OutputEvent::Port(kDataPort, 0x00), OutputEvent::Port(kControlPort, 0x0B),
                  OutputEvent::Usb(0x00), OutputEvent::Usb(0x40), OutputEvent::Usb(0x81)}));
}

}  // namespace
}  // namespace glowtern
