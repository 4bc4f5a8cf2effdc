#include "engine/analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/bands.h"
#include "engine/control_ids.h"
#include "tests/support/program_rig.h"

namespace glowtern {
namespace {

using States = std::array<int32_t, 18>;

constexpr Rgb kMeterBackground{17, 17, 17};
constexpr Rgb kMeterRed{255, 90, 90};
constexpr Rgb kMeterBlue{10, 10, 255};
constexpr States kAllOn = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

// Keeps the frame of the last cycle.
class LastFrame final : public LightOutput {
  public:
    LightFrame frame;

  protected:
    void send(const LightFrame& written) override { frame = written; }
    void sendOff() override {}
};

// Whole analysis cycles on a scripted spectrum, against the main window's controls and the
// frame they hand the outputs.
class AnalysisCycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::DefineMainWindowControls(controls);
        local.random.seed(20240611u);
        SetLevel(35);
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
    void SetTotal(float total) {  // all in band 1
        std::ranges::fill(spectrum, 0.0f);
        spectrum[0] = total;
    }
    // The level slider, and the level value the worker sampled from it last cycle.
    void SetLevel(int value) {
        controls.setState(kLevelSlider, value);
        shared.levelValue.store(value);
    }
    void SetSliders(int state) {
        for (int band = 1; band <= kBandCount; ++band) {
            controls.setState(bandSlider(band), state);
        }
    }
    void Cycle(int32_t mode) {
        output.frame = {};
        RunAnalysisCycle(spectrum.data(), mode, shared, local, controls, outputs);
    }

    float Level(int band) const { return shared.bandLevels[band - 1].load(); }
    int32_t Slider(int band) const { return controls.state(bandSlider(band)); }
    States Stored() const {
        States states{};
        for (int band = 1; band <= kBandCount; ++band) {
            states[band - 1] = shared.channelStates[band].load();
        }
        return states;
    }
    // The channel states as stored and as the frame carries them.
    void ExpectStates(const States& expected, const std::string& where) {
        EXPECT_EQ(Stored(), expected) << where;
        for (int band = 1; band <= kBandCount; ++band) {
            EXPECT_EQ(output.frame.channels[band - 1], expected[band - 1] != 0) << where;
        }
    }
    std::array<int32_t, 3> Held() const {
        return {shared.heldGroupLevels[0], shared.heldGroupLevels[1], shared.heldGroupLevels[2]};
    }
    // Colour of the meter's bottom-left pixel: the bar's colour, or the background when it
    // shows no bar; {1, 2, 3} when it was never drawn.
    Rgb MeterFoot(int band) {
        const uint8_t* p = controls.latestImage(levelMeter(band));
        return p == nullptr ? Rgb{1, 2, 3} : Rgb{p[69 * 24], p[69 * 24 + 1], p[69 * 24 + 2]};
    }
    void ExpectMeters(Rgb colour, const std::string& where) {
        for (int band = 1; band <= kBandCount; ++band) {
            EXPECT_EQ(MeterFoot(band), colour) << where << " band " << band;
        }
    }
    // Every band level (and the total) as stored, the frame's levels and the meters at 0.
    void ExpectDark(const std::string& where, bool total) {
        for (int i = 0; i < kBandCount + (total ? 1 : 0); ++i) {
            EXPECT_EQ(shared.bandLevels[i].load(), 0.0f) << where << " level " << i;
        }
        EXPECT_EQ(output.frame.levels, (std::array<float, 18>{})) << where;
        ExpectMeters(kMeterBackground, where);
    }

    std::vector<float> spectrum = std::vector<float>(kSpectrumBins + 1, 0.0f);
    ControlModel controls;
    EngineState shared;
    AnalysisState local;
    LastFrame output;
    LightOutput* outputs[1] = {&output};
};

TEST_F(AnalysisCycleTest, SilenceAtOrBelowOneHundredthOrNotANumberZeroesEverything) {
    SetSliders(0);
    for (float total : {0.0f, 0.01f, std::numeric_limits<float>::quiet_NaN()}) {
        const std::string where = "total " + std::to_string(total);
        SetAllBands(0.5f);
        Cycle(kManualMode);
        ASSERT_EQ(Stored(), kAllOn);
        ASSERT_GT(Held()[0], 10);
        SetTotal(total);
        Cycle(kManualMode);
        ExpectDark(where, true);
        for (int group = 0; group < 3; ++group) {
            EXPECT_EQ(shared.groupLevels[group].load(), 0.0f) << where;
        }
        EXPECT_EQ(output.frame.beats, (std::array<bool, 3>{})) << where;
        // The holds restart from 0 (and fall by one in the same cycle), not from the peaks.
        EXPECT_EQ(Held(), (std::array<int32_t, 3>{-1, -1, -1})) << where;
        ExpectStates(States{}, where);
    }
    // The next sound flashes every beat again, however faint.
    SetAllBands(0.01f);
    Cycle(kManualMode);
    EXPECT_GT(Level(1), 0.0f);
    EXPECT_EQ(output.frame.beats, (std::array<bool, 3>{true, true, true}));
}

// With no effect mode a band's level is its sum times the gain factor, so a lone band 1
// shows the factor the cycle chose for its total: round(sqrt(round(6 / T))), halves to even.
// It is k while round(6 / T) lies in k*k - k + 1 .. k*k + k, so for
// 6 / (k*k + k + 0.5) <= T < 6 / (k*k - k + 0.5).
TEST_F(AnalysisCycleTest, GainFactorFollowsTheTableOfTotalLevels) {
    const auto expectGain = [&](float total, int gain) {
        SetTotal(total);
        Cycle(kNoMode);
        EXPECT_EQ(Level(1), static_cast<float>(static_cast<double>(total) * gain)) << total;
        EXPECT_EQ(shared.bandLevels[kBandCount].load(),
                  static_cast<float>(std::sqrt(static_cast<double>(total))));
    };
    expectGain(12.0f, 0);
    expectGain(1000.0f, 0);
    expectGain(std::nextafter(12.0f, 0.0f), 1);
    for (int k = 1; k <= 23; ++k) {
        const double edge = 6.0 / (k * k + k + 0.5);
        float atEdge = static_cast<float>(edge);
        atEdge = atEdge < edge ? std::nextafter(atEdge, 1.0f) : atEdge;
        expectGain(atEdge, k);
        expectGain(std::nextafter(atEdge, 0.0f), k + 1);
    }
    expectGain(std::nextafter(0.01f, 1.0f), 24);

    // A gain of 0 switches every band off in the modes that decide against thresholds.
    SetSliders(0);
    for (int32_t mode : {kManualMode, kAutoMode}) {
        SetAllBands(0.5f);  // total 9
        Cycle(mode);
        ASSERT_EQ(Stored(), kAllOn) << mode;
        SetAllBands(12.0f / 17.0f);  // total 12.7
        Cycle(mode);
        EXPECT_EQ(Level(1), 0.0f) << mode;
        EXPECT_EQ(Stored(), States{}) << mode;
        EXPECT_TRUE(output.frame.bandsDecided) << mode;
    }
}

// A band is on only above its threshold; the level value comes from the slider as the cycle
// before sampled it, and is sampled anew at the cycle's end.
TEST_F(AnalysisCycleTest, ManualBandIsOnOnlyAboveItsThreshold) {
    SetLevel(5);
    controls.setState(kLevelSlider, 20);
    SetBand(5, 4.0f);  // sqrt(4 x gain 1) x 5 = 10 exactly
    SetBand(6, 4.0f);
    controls.setState(bandSlider(5), 10);
    controls.setState(bandSlider(6), 9);
    Cycle(kManualMode);
    ASSERT_EQ(Level(5), 10.0f);
    ExpectStates({0, 0, 0, 0, 0, 1}, "");
    EXPECT_EQ(MeterFoot(5), kMeterBlue);
    EXPECT_EQ(MeterFoot(6), kMeterRed);
    EXPECT_TRUE(output.frame.bandsDecided);
    EXPECT_EQ(output.frame.levels[4], 10.0f);  // as the meter shows it
    EXPECT_EQ(Slider(5), 10);                  // the manual mode never moves a slider
    EXPECT_EQ(shared.levelValue.load(), 20);
}

TEST_F(AnalysisCycleTest, AutoThresholdJumpsToEachPeakAndFallsEveryAruCycles) {
    controls.setState(kAruSlider, 3);
    // 3.0 in band 18 keeps the total between 2.4 and 12 (gain 1); band 7's sum x 35 x 2.2
    // lands exactly on the level named.
    SetBand(18, 3.0f);
    // Each cycle: band 7's level, and then its slider and state, and band 1's slider (at
    // level 0). The decay counter runs 1, 2, 0, 1, 2, 0, ...: a peak makes the threshold jump
    // to it, the decay puts it just above the level (3.2 + 1 rounded, 0 + 1), and halves go
    // to the even neighbour on both paths (3.5 + 1 to 4, 18.5 to 18).
    const std::tuple<double, int, int32_t, int> steps[] = {
        {17.5, 18, 1, 15}, {3.2, 18, 0, 15}, {3.2, 4, 0, 1},  {3.5, 4, 0, 1}, {3.5, 4, 0, 1},
        {18.5, 18, 1, 1},  {3.5, 18, 0, 1},  {3.5, 18, 0, 1}, {3.5, 4, 0, 1}};
    for (const auto& [level, slider7, state7, slider1] : steps) {
        SetBand(7, static_cast<float>(level / 77.0));
        Cycle(kAutoMode);
        ASSERT_NEAR(Level(7), level, 1e-4);
        EXPECT_EQ(Slider(7), slider7) << level;
        EXPECT_EQ(Stored()[6], state7) << level;
        EXPECT_EQ(Slider(1), slider1) << level;
    }
    // ARU 1: the thresholds follow the level down in every cycle.
    controls.setState(kAruSlider, 1);
    for (int cycle = 0; cycle < 3; ++cycle) {
        controls.setState(bandSlider(7), 30 - cycle);
        Cycle(kAutoMode);
        EXPECT_EQ(Slider(7), 4) << "cycle " << cycle;
    }
    EXPECT_EQ(shared.aruValue.load(), 1);
}

TEST_F(AnalysisCycleTest, RndLevelsAndThresholdsStayInTheirRanges) {
    SetAllBands(0.5f);
    std::array<int, 41> seen{};
    int lowestOnSeen = 41;    // the threshold ranges over 26..39: a level of 27 may be on ...
    int highestOffSeen = -1;  // ... and one of 39 off
    for (int cycle = 0; cycle < 3000; ++cycle) {
        Cycle(kRndMode);
        int lowestOn = 41;
        int highestOff = -1;
        for (int band = 1; band <= kBandCount; ++band) {
            const float level = Level(band);
            ASSERT_TRUE(level == std::floor(level) && level >= 0.0f && level <= 40.0f) << level;
            const int value = static_cast<int>(level);
            ++seen[value];
            if (Stored()[band - 1] != 0) {
                lowestOn = std::min(lowestOn, value);
            } else {
                highestOff = std::max(highestOff, value);
            }
        }
        ASSERT_LT(highestOff, lowestOn) << "one threshold splits the bands of cycle " << cycle;
        lowestOnSeen = std::min(lowestOnSeen, lowestOn);
        highestOffSeen = std::max(highestOffSeen, highestOff);
    }
    EXPECT_EQ(std::ranges::count(seen, 0), 0) << "some level 0..40 was never drawn";
    EXPECT_EQ(lowestOnSeen, 27);
    EXPECT_EQ(highestOffSeen, 39);
}

TEST_F(AnalysisCycleTest, RndNearSilenceEmptiesTheMetersButKeepsTheDecisions) {
    SetAllBands(0.5f);
    for (int cycles = 0; Stored() == States{} && cycles < 200; ++cycles) {
        Cycle(kRndMode);
    }
    ASSERT_NE(Stored(), States{});
    const States decided = Stored();
    // A total level of sqrt(0.0625) = 0.25 is not above 0.25; then plain silence. The channels
    // stay, but nothing is decided: the port goes dark while the USB device keeps them.
    for (float quiet : {0.0625f, 0.0f}) {
        SetTotal(quiet);
        Cycle(kRndMode);
        ExpectStates(decided, "quiet " + std::to_string(quiet));
        EXPECT_FALSE(output.frame.bandsDecided) << quiet;
        ExpectDark("quiet " + std::to_string(quiet), false);
    }
    SetTotal(0.07f);
    Cycle(kRndMode);
    EXPECT_TRUE(output.frame.bandsDecided);
}

// Other modes decide no band, but still scale and follow the groups: the groups are scaled
// by the gain and then as in the Manual mode; their beats rise above the decaying peak.
TEST_F(AnalysisCycleTest, OtherModesDecideNoBandButStillScaleAndFollowTheGroups) {
    SetSliders(0);
    SetAllBands(0.5f);
    Cycle(kManualMode);
    ASSERT_EQ(Stored(), kAllOn);
    SetTotal(0.5f);  // gain 3
    for (int32_t mode : {int32_t{kNoMode}, 7, -1}) {
        Cycle(mode);
        EXPECT_EQ(Level(1), 1.5f) << "mode " << mode;
        ExpectStates(kAllOn, "mode " + std::to_string(mode));
        ExpectMeters(kMeterRed, "mode " + std::to_string(mode));
        EXPECT_FALSE(output.frame.bandsDecided) << "mode " << mode;
        // Low group: 0.5 / 8 x 3, square root, x 35.
        EXPECT_FLOAT_EQ(shared.groupLevels[0].load(), static_cast<float>(std::sqrt(0.1875) * 35));
    }
}

// Band 4 at 8.0 and level 5 give the groups 5.0, 5.9 and 5.3.
TEST_F(AnalysisCycleTest, BeatsMarkRisesAboveTheDecayingPeak) {
    SetLevel(5);
    SetBand(4, 8.0f);
    for (int cycle = 0; cycle < 6; ++cycle) {
        Cycle(kManualMode);
        ASSERT_EQ(shared.groupLevels[0].load(), 5.0f);
        ASSERT_NEAR(shared.groupLevels[2].load(), 5.3f, 0.1f);
        // 5.0 alternates (held 5, 4, 5, ...); 5.3 stays above its held 5.
        const bool low = cycle % 2 == 0;
        EXPECT_EQ(output.frame.beats, (std::array<bool, 3>{low, low, true})) << cycle;
        EXPECT_EQ(Held(), (std::array<int32_t, 3>{5 - cycle % 2, 6 - cycle % 2, 5})) << cycle;
    }
}

}  // namespace
}  // namespace glowtern
