#include "engine/analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "engine/bands.h"
#include "engine/control_ids.h"
#include "tests/support/test_window.h"

namespace glowtern {
namespace {

using States18 = std::array<int32_t, 18>;

constexpr Rgb kMeterBackground{17, 17, 17};
constexpr Rgb kMeterRed{255, 90, 90};
constexpr Rgb kMeterBlue{10, 10, 255};
constexpr States18 kAllOn = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};

// Keeps the frame of the last cycle.
class LastFrame final : public LightOutput {
  public:
    LightFrame frame;
    int writes = 0;

  protected:
    void send(const LightFrame& written) override {
        frame = written;
        ++writes;
    }
    void sendOff() override {}
};

// Whole analysis cycles on a scripted spectrum, against the main window's controls
// and the frame they hand the outputs.
class AnalysisCycleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::DefineEngineControls(controls);
        local.random.seed(20240611u);
        shared.levelValue.store(35);  // sampled from the level slider's initial 35
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
    // Sets the 18 controls from `first` on: band sliders or output selectors.
    void SetAll(int first, int state) {
        for (int n = 0; n < 18; ++n) {
            controls.setState(first + n, state);
        }
    }
    void Cycle() {
        const int before = output.writes;
        RunAnalysisCycle(spectrum.data(), shared.effectMode.load(), shared, local, controls,
                         outputs);
        ASSERT_EQ(output.writes, before + 1);
    }

    float Level(int band) const { return shared.bandLevels[band - 1].load(); }
    float Total() const { return shared.bandLevels[kBandCount].load(); }
    int32_t State(int band) const { return shared.channelStates[band].load(); }
    int32_t Slider(int band) const { return controls.state(bandSlider(band)); }
    template <typename T, size_t N>
    static std::array<T, N> Values(const std::array<std::atomic<T>, N>& atomics) {
        std::array<T, N> values{};
        std::transform(atomics.begin(), atomics.end(), values.begin(),
                       [](const std::atomic<T>& value) { return value.load(); });
        return values;
    }
    std::array<int32_t, 3> Flags() const {
        const std::array<bool, 3>& beats = Frame().beats;
        return {beats[0] ? 1 : 0, beats[1] ? 1 : 0, beats[2] ? 1 : 0};
    }
    std::array<int32_t, 3> Held() const { return Values(shared.heldGroupLevels); }
    States18 States() const {
        States18 states{};
        for (int band = 1; band <= kBandCount; ++band) {
            states[band - 1] = State(band);
        }
        return states;
    }
    const LightFrame& Frame() const { return output.frame; }
    // The frame's channels as the states were stored.
    States18 FrameStates() const {
        States18 states{};
        std::transform(Frame().channels.begin(), Frame().channels.end(), states.begin(),
                       [](bool on) { return on ? 1 : 0; });
        return states;
    }
    // Colour of the 8-pixel-wide meter's bottom-left pixel: the bar's colour, or the
    // background when it shows no bar; {1, 2, 3} when it was never drawn.
    Rgb MeterFoot(int band) {
        const uint8_t* p = controls.latestImage(levelMeter(band));
        return p == nullptr ? Rgb{1, 2, 3} : Rgb{p[69 * 24], p[69 * 24 + 1], p[69 * 24 + 2]};
    }

    std::vector<float> spectrum = std::vector<float>(kSpectrumBins + 1, 0.0f);
    ControlModel controls;
    EngineState shared;
    AnalysisState local;
    LastFrame output;
    LightOutput* outputs[1] = {&output};
};

TEST_F(AnalysisCycleTest, SilenceAtOrBelowOneHundredthOrNotANumberZeroesEverything) {
    SetMode(kManualMode);
    SetAll(kFirstBandSlider, 0);
    const float kNaN = std::numeric_limits<float>::quiet_NaN();
    for (float total : {0.0f, 0.01f, kNaN}) {
        SetAllBands(0.5f);
        Cycle();
        ASSERT_EQ(States(), kAllOn);
        ASSERT_GT(Held()[0], 10);

        ClearSpectrum();
        spectrum[0] = total;
        Cycle();
        EXPECT_EQ(Values(shared.bandLevels), (std::array<float, 21>{})) << total;
        EXPECT_EQ(Values(shared.groupLevels), (std::array<float, 3>{})) << total;
        EXPECT_EQ(Flags(), (std::array<int32_t, 3>{0, 0, 0})) << total;
        // The holds restart from 0 (and fall by one in the same cycle), not from the peaks.
        EXPECT_EQ(Held(), (std::array<int32_t, 3>{-1, -1, -1})) << total;
        EXPECT_EQ(States(), States18{}) << total;
        EXPECT_EQ(FrameStates(), States18{}) << total;
        EXPECT_EQ(Frame().levels, (std::array<float, 18>{})) << total;
        for (int band = 1; band <= kBandCount; ++band) {
            EXPECT_EQ(MeterFoot(band), kMeterBackground) << total << " band " << band;
        }
    }
    // The next sound flashes every LED again, however faint.
    SetAllBands(0.01f);
    Cycle();
    EXPECT_GT(Level(1), 0.0f);
    EXPECT_EQ(Flags(), (std::array<int32_t, 3>{1, 1, 1}));
}

// With no effect mode a band's level is its sum times the gain factor, so a lone
// band 1 shows the factor the cycle chose for its total.
TEST_F(AnalysisCycleTest, GainFactorFollowsTheTableOfTotalLevels) {
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
    const std::array<double, 5> documented = {2.4, 0.923, 0.480, 0.293, 0.197};
    for (int k = 1; k <= 5; ++k) {
        EXPECT_NEAR(lowest(k), documented[k - 1], 0.0005) << k;
    }
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

    // A gain of 0 switches every band off in the modes that decide against thresholds.
    SetAll(kFirstBandSlider, 0);
    for (int32_t mode : {kManualMode, kAutoMode}) {
        SetMode(mode);
        SetAllBands(0.5f);  // total 9
        Cycle();
        ASSERT_EQ(States(), kAllOn) << mode;
        SetAllBands(12.0f / 17.0f);  // total 12.7
        Cycle();
        EXPECT_EQ(Level(1), 0.0f) << mode;
        EXPECT_EQ(States(), States18{}) << mode;
        EXPECT_TRUE(Frame().bandsDecided) << mode;
    }
}

TEST_F(AnalysisCycleTest, ManualBandIsOnOnlyAboveItsThreshold) {
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
    EXPECT_EQ(FrameStates(), States());
    EXPECT_TRUE(Frame().bandsDecided);
    EXPECT_EQ(Frame().levels[4], 10.0f);  // as the meter shows it
    // The manual mode never moves a slider.
    EXPECT_EQ(Slider(5), 10);
    EXPECT_EQ(Slider(1), 15);
}

TEST_F(AnalysisCycleTest, AutoThresholdJumpsToEachPeakAndFallsEveryAruCycles) {
    SetMode(kAutoMode);
    controls.setState(kAruSlider, 3);
    controls.setState(bandSlider(7), 10);
    // 3.0 in band 18 keeps the total between 2.4 and 12 (gain 1); band 7's sum x 35 x
    // 2.2 lands exactly on the level named.
    SetBand(18, 3.0f);
    const auto setLevel7 = [&](double level) { SetBand(7, static_cast<float>(level / 77.0)); };
    setLevel7(17.5);
    Cycle();  // decay counter 1
    ASSERT_EQ(Level(7), 17.5f);
    EXPECT_EQ(Slider(7), 18);
    EXPECT_EQ(State(7), 1);
    EXPECT_EQ(Frame().levels[6], 17.5f);
    EXPECT_EQ(Slider(1), 15);  // off, but the counter is not 0: stays

    setLevel7(3.2);
    Cycle();  // counter 2
    EXPECT_EQ(Slider(7), 18);
    EXPECT_EQ(State(7), 0);
    Cycle();                  // counter 0
    EXPECT_EQ(Slider(7), 4);  // 3.2 + 1 rounded
    EXPECT_EQ(State(7), 0);
    EXPECT_EQ(Slider(1), 1);  // 0 + 1

    // Halves go to the even neighbour on both paths: 3.5 + 1 gives 4, 18.5 gives 18.
    controls.setState(bandSlider(7), 30);
    setLevel7(3.5);
    Cycle();
    Cycle();
    EXPECT_EQ(Slider(7), 30);
    Cycle();
    ASSERT_EQ(Level(7), 3.5f);
    EXPECT_EQ(Slider(7), 4);
    setLevel7(18.5);
    Cycle();
    ASSERT_EQ(Level(7), 18.5f);
    EXPECT_EQ(Slider(7), 18);

    // ARU 1: the thresholds follow the level down in every cycle.
    controls.setState(kAruSlider, 1);
    setLevel7(3.2);
    for (int cycle = 0; cycle < 4; ++cycle) {
        controls.setState(bandSlider(7), 30 - cycle);
        Cycle();
        EXPECT_EQ(Slider(7), 4) << "cycle " << cycle;
    }
    EXPECT_EQ(shared.aruValue.load(), 1);
}

TEST_F(AnalysisCycleTest, FirstCycleHasLevelValueZeroUntilSampledAtItsEnd) {
    SetAll(kFirstBandSlider, 0);
    SetAllBands(0.5f);
    controls.setState(kLevelSlider, 20);
    for (int32_t mode : {kManualMode, kAutoMode}) {
        SetMode(mode);
        shared.levelValue.store(0);  // as after start
        Cycle();
        for (int band = 1; band <= kBandCount; ++band) {
            EXPECT_EQ(Level(band), 0.0f) << "mode " << mode << " band " << band;
        }
        EXPECT_EQ(Values(shared.groupLevels), (std::array<float, 3>{})) << mode;
        EXPECT_EQ(States(), States18{}) << mode;
        EXPECT_EQ(Total(), 3.0f);  // the total does not depend on the level value
        EXPECT_EQ(shared.levelValue.load(), 20);
    }
    // From the next cycle on the sampled value counts.
    SetMode(kManualMode);
    Cycle();
    EXPECT_EQ(Level(1), static_cast<float>(std::sqrt(0.5) * 20));
}

TEST_F(AnalysisCycleTest, RndLevelsAndThresholdsStayInTheirRanges) {
    SetMode(kRndMode);
    SetAllBands(0.5f);
    std::array<int, 41> seen{};
    bool thresholdLowestSeen = false;   // a level of 27 on: threshold 26
    bool thresholdHighestSeen = false;  // a level of 39 off: threshold 39
    for (int cycle = 0; cycle < 3000; ++cycle) {
        Cycle();
        int lowestOn = 41;
        int highestOff = -1;
        for (int band = 1; band <= kBandCount; ++band) {
            const float level = Level(band);
            ASSERT_TRUE(level == std::floor(level) && level >= 0.0f && level <= 40.0f) << level;
            const int value = static_cast<int>(level);
            ++seen[value];
            if (State(band) != 0) {
                lowestOn = std::min(lowestOn, value);
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
    }
    for (int value = 0; value <= 40; ++value) {
        EXPECT_GT(seen[value], 0) << "level " << value << " never drawn";
    }
    EXPECT_TRUE(thresholdLowestSeen);
    EXPECT_TRUE(thresholdHighestSeen);
}

TEST_F(AnalysisCycleTest, RndNearSilenceEmptiesTheMetersButKeepsTheDecisions) {
    SetMode(kRndMode);
    SetAllBands(0.5f);
    // Decide until some band is on.
    int cycles = 0;
    do {
        Cycle();
    } while (States() == States18{} && ++cycles < 200);
    ASSERT_NE(States(), States18{});
    ASSERT_TRUE(Frame().bandsDecided);
    const States18 decided = States();

    // Total level sqrt(0.0625) = 0.25 is not above 0.25; then plain silence. The channels
    // stay, but nothing is decided: the port goes dark while the USB device keeps them.
    for (float quiet : {0.0625f, 0.0f}) {
        ClearSpectrum();
        spectrum[0] = quiet;
        Cycle();
        EXPECT_EQ(States(), decided) << quiet;
        EXPECT_EQ(FrameStates(), decided) << quiet;
        EXPECT_FALSE(Frame().bandsDecided) << quiet;
        EXPECT_EQ(Frame().levels, (std::array<float, 18>{})) << quiet;
        for (int band = 1; band <= kBandCount; ++band) {
            EXPECT_EQ(Level(band), 0.0f) << quiet << " band " << band;
            EXPECT_EQ(MeterFoot(band), kMeterBackground) << quiet << " band " << band;
        }
    }
    spectrum[0] = 0.07f;
    Cycle();
    EXPECT_TRUE(std::any_of(shared.bandLevels.begin(), shared.bandLevels.begin() + kBandCount,
                            [](const auto& level) { return level.load() > 0.0f; }));
}

TEST_F(AnalysisCycleTest, OtherModesDecideNoBandButStillScaleAndFollowTheGroups) {
    SetMode(kManualMode);
    SetAll(kFirstBandSlider, 0);
    SetAllBands(0.5f);
    Cycle();
    ASSERT_EQ(States(), kAllOn);

    ClearSpectrum();
    SetBand(1, 0.5f);  // total 0.5: gain 3
    for (int32_t mode : {int32_t{kNoMode}, 7, -1}) {
        SetMode(mode);
        Cycle();
        EXPECT_EQ(Level(1), 1.5f) << "mode " << mode;
        EXPECT_EQ(States(), kAllOn) << "mode " << mode;
        for (int band = 1; band <= kBandCount; ++band) {
            EXPECT_EQ(MeterFoot(band), kMeterRed) << "mode " << mode << " band " << band;
        }
        EXPECT_FALSE(Frame().bandsDecided) << "mode " << mode;
        EXPECT_EQ(FrameStates(), kAllOn) << "mode " << mode;
        // Low group: 0.5 / 8 x 3, square root, x 35.
        EXPECT_FLOAT_EQ(shared.groupLevels[0].load(), static_cast<float>(std::sqrt(0.1875) * 35));
    }
}

// Band 4 at 8.0 and level 5 give the groups 5.0, 5.9 and 5.3.
TEST_F(AnalysisCycleTest, BeatsMarkRisesAboveTheDecayingPeak) {
    SetMode(kManualMode);
    SetLevelValue(5);
    SetBand(4, 8.0f);
    controls.setState(bandSlider(4), 0);
    for (int cycle = 0; cycle < 6; ++cycle) {
        Cycle();
        ASSERT_EQ(shared.groupLevels[0].load(), 5.0f);
        ASSERT_GT(shared.groupLevels[2].load(), 5.0f);
        ASSERT_LT(shared.groupLevels[2].load(), 5.5f);
        // 5.0 alternates (held 5, 4, 5, ...); 5.3 stays above its held 5.
        const int32_t low = cycle % 2 == 0 ? 1 : 0;
        EXPECT_EQ(Flags(), (std::array<int32_t, 3>{low, low, 1})) << "cycle " << cycle;
        EXPECT_EQ(Held()[0], 5 - (cycle % 2)) << "cycle " << cycle;
        EXPECT_EQ(Held()[2], 5) << "cycle " << cycle;
    }
}

}  // namespace
}  // namespace glowtern
