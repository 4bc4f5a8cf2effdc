#include "engine/level_meter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "engine/control_ids.h"
#include "tests/support/test_window.h"

namespace glowtern {
namespace {

constexpr int kWidth = 8;
constexpr int kHeight = 70;
constexpr Rgb kBackground{17, 17, 17};
constexpr Rgb kRed{255, 90, 90};
constexpr Rgb kBlue{10, 10, 255};
constexpr Rgb kBlack{0, 0, 0};

// The picture a meter should show: rows firstBarRow..69 in the bar colour, then the
// grid rows 2, 6, ..., 66 black over everything.
std::vector<Rgb> ExpectedMeter(int firstBarRow, Rgb bar) {
    std::vector<Rgb> pixels(kWidth * kHeight, kBackground);
    for (int y = 0; y < kHeight; ++y) {
        const bool grid = y % 4 == 2;
        for (int x = 0; x < kWidth; ++x) {
            if (grid) {
                pixels[y * kWidth + x] = kBlack;
            } else if (y >= firstBarRow) {
                pixels[y * kWidth + x] = bar;
            }
        }
    }
    return pixels;
}

class LevelMeterTest : public ::testing::Test {
  protected:
    void SetUp() override { testing::DefineEngineControls(controls); }

    // Every pixel the control shows against the expected picture; the scratch
    // picture must hold the same.
    void ExpectShown(int band, const std::vector<Rgb>& expected) {
        const uint8_t* shown = controls.latestImage(levelMeter(band));
        ASSERT_NE(shown, nullptr) << "band " << band << " meter never set";
        int wrong = 0;
        int wrongScratch = 0;
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const uint8_t* p = shown + (y * kWidth + x) * 3;
                const Rgb got{p[0], p[1], p[2]};
                const Rgb want = expected[y * kWidth + x];
                if (got != want && ++wrong <= 5) {
                    ADD_FAILURE() << "band " << band << " pixel (" << x << ", " << y << ") is "
                                  << int{got.red} << "," << int{got.green} << "," << int{got.blue}
                                  << " not " << int{want.red} << "," << int{want.green} << ","
                                  << int{want.blue};
                }
                if (scratch.pixel(x, y) != want && ++wrongScratch <= 5) {
                    ADD_FAILURE() << "scratch pixel (" << x << ", " << y << ") differs";
                }
            }
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(wrongScratch, 0);
    }

    ControlModel controls;
    Image scratch{kWidth, kHeight};
};

TEST_F(LevelMeterTest, LevelZeroShowsOnlyBackgroundAndGridWhateverTheDecision) {
    scratch.fillRectangle(0, 0, kWidth, kHeight, kRed);  // leftovers of an earlier band
    DrawLevelMeter(scratch, controls, 1, 0.0f, true);
    ExpectShown(1, ExpectedMeter(kHeight, kRed));
    DrawLevelMeter(scratch, controls, 2, 0.0f, false);
    ExpectShown(2, ExpectedMeter(kHeight, kBlue));
}

TEST_F(LevelMeterTest, NothingIsDrawnWhileNobodySeesTheMeters) {
    controls.setImagesShown(false);
    DrawLevelMeter(scratch, controls, 1, 10.0f, true);
    EXPECT_EQ(controls.latestImage(levelMeter(1)), nullptr);
    controls.setImagesShown(true);
    DrawLevelMeter(scratch, controls, 1, 10.0f, true);
    ExpectShown(1, ExpectedMeter(50, kRed));
}

TEST_F(LevelMeterTest, BarGrowsTwoRowsPerLevelUnitFromTheBottom) {
    DrawLevelMeter(scratch, controls, 3, 10.0f, true);
    ExpectShown(3, ExpectedMeter(50, kRed));
    // 34.5 rows rounds to 34 and the top 35.5 to 36, each on its own: rows 36..69.
    DrawLevelMeter(scratch, controls, 4, 17.25f, true);
    ExpectShown(4, ExpectedMeter(36, kRed));
    // A top of 69.5 rounds to 70 (even) while the height 0.5 rounds to 0: no bar.
    DrawLevelMeter(scratch, controls, 5, 0.25f, true);
    ExpectShown(5, ExpectedMeter(kHeight, kRed));
    // A top of 68.5 rounds to 68 and the height 1.5 to 2: rows 68 and 69.
    DrawLevelMeter(scratch, controls, 6, 0.75f, true);
    ExpectShown(6, ExpectedMeter(68, kRed));
}

TEST_F(LevelMeterTest, HighLevelsFillTheWholeMeter) {
    DrawLevelMeter(scratch, controls, 7, 35.0f, true);
    ExpectShown(7, ExpectedMeter(0, kRed));
    DrawLevelMeter(scratch, controls, 8, 40.0f, true);
    ExpectShown(8, ExpectedMeter(0, kRed));
    DrawLevelMeter(scratch, controls, 9, 1.0e30f, false);
    ExpectShown(9, ExpectedMeter(0, kBlue));
}

TEST_F(LevelMeterTest, BandThatIsOffDrawsTheSameBarInBlue) {
    DrawLevelMeter(scratch, controls, 10, 10.0f, false);
    ExpectShown(10, ExpectedMeter(50, kBlue));
    DrawLevelMeter(scratch, controls, 11, 17.25f, false);
    ExpectShown(11, ExpectedMeter(36, kBlue));
    DrawLevelMeter(scratch, controls, 12, 40.0f, false);
    ExpectShown(12, ExpectedMeter(0, kBlue));
}

TEST_F(LevelMeterTest, EachBandSetsOnlyItsOwnMeter) {
    DrawLevelMeter(scratch, controls, 18, 10.0f, true);
    ExpectShown(18, ExpectedMeter(50, kRed));
    for (int band = 1; band < 18; ++band) {
        EXPECT_EQ(controls.latestImage(levelMeter(band)), nullptr) << "band " << band;
    }
    // The control keeps its copy when the scratch picture is drawn again.
    DrawLevelMeter(scratch, controls, 1, 40.0f, false);
    ExpectShown(1, ExpectedMeter(0, kBlue));
    const uint8_t* shown = controls.latestImage(levelMeter(18));
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown[(69 * kWidth) * 3], 255);  // still the red bar of band 18
}

TEST_F(LevelMeterTest, UnreadableLevelShowsAnEmptyMeter) {
    DrawLevelMeter(scratch, controls, 13, std::numeric_limits<float>::quiet_NaN(), true);
    ExpectShown(13, ExpectedMeter(kHeight, kRed));
    DrawLevelMeter(scratch, controls, 14, -3.0f, true);
    ExpectShown(14, ExpectedMeter(kHeight, kRed));
}

}  // namespace
}  // namespace glowtern
