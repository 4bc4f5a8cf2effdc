#include "engine/level_meter.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "engine/control_ids.h"
#include "tests/support/program_rig.h"

namespace glowtern {
namespace {

constexpr Rgb kBackground{17, 17, 17};
constexpr Rgb kRed{255, 90, 90};
constexpr Rgb kBlue{10, 10, 255};

// Every pixel of the 8 x 70 picture band `band`'s meter shows, and the scratch picture, against
// rows firstBarRow..69 in the bar colour, then the grid rows 2, 6, ..., 66 black over it all.
void ExpectMeter(ControlModel& controls, const Image& scratch, int band, int firstBarRow, Rgb bar) {
    const uint8_t* shown = controls.latestImage(levelMeter(band));
    ASSERT_NE(shown, nullptr) << "band " << band << " meter never set";
    int wrong = 0;
    for (int y = 0; y < 70; ++y) {
        const Rgb want = y % 4 == 2 ? Rgb{0, 0, 0} : y >= firstBarRow ? bar : kBackground;
        for (int x = 0; x < 8; ++x) {
            const uint8_t* p = shown + (y * 8 + x) * 3;
            wrong += Rgb{p[0], p[1], p[2]} != want || scratch.pixel(x, y) != want;
        }
    }
    EXPECT_EQ(wrong, 0) << "band " << band << " first bar row " << firstBarRow;
}

// The bar grows two rows per level unit from the bottom; its top and its height are rounded
// each on its own, halves to even. A band that is off draws the same bar in blue.
TEST(LevelMeter, BarHeightAndColourFollowTheLevelAndTheDecision) {
    ControlModel controls;
    testing::DefineMainWindowControls(controls);
    Image scratch{8, 70};
    scratch.fillRectangle(0, 0, 8, 70, kRed);  // leftovers of an earlier band
    struct Case {
        float level;
        bool on;
        int firstBarRow;
    };
    const Case cases[] = {
        {10.0f, true, 50},  {10.0f, false, 50},
        {0.0f, true, 70},   {0.0f, false, 70},
        {17.25f, true, 36},  // 34.5 rows rounds to 34 and the top 35.5 to 36: rows 36..69
        {0.25f, true, 70},   // a top of 69.5 rounds to 70 while the height 0.5 rounds to 0
        {0.75f, true, 68},   // a top of 68.5 rounds to 68 and the height 1.5 to 2
        {35.0f, true, 0},   {40.0f, false, 0},
        {1.0e30f, true, 0}, {std::numeric_limits<float>::quiet_NaN(), true, 70},
        {-3.0f, true, 70},
    };
    std::vector<uint8_t> first;
    for (size_t n = 0; n < std::size(cases); ++n) {
        const Case& c = cases[n];
        const int band = static_cast<int>(n) + 1;
        DrawLevelMeter(scratch, controls, band, c.level, c.on);
        ExpectMeter(controls, scratch, band, c.firstBarRow, c.on ? kRed : kBlue);
        const uint8_t* shown = controls.latestImage(levelMeter(band));
        if (n == 0 && shown != nullptr) {
            first.assign(shown, shown + 8 * 70 * 3);
        }
    }
    // Each band sets only its own meter, and keeps its picture while the scratch is redrawn.
    const uint8_t* shown = controls.latestImage(levelMeter(1));
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(std::vector(shown, shown + 8 * 70 * 3), first);
    EXPECT_EQ(controls.latestImage(levelMeter(18)), nullptr);
}

TEST(LevelMeter, NothingIsDrawnWhileNobodySeesTheMeters) {
    ControlModel controls;
    testing::DefineMainWindowControls(controls);
    Image scratch{8, 70};
    controls.setImagesShown(false);
    DrawLevelMeter(scratch, controls, 1, 10.0f, true);
    EXPECT_EQ(controls.latestImage(levelMeter(1)), nullptr);
    controls.setImagesShown(true);
    DrawLevelMeter(scratch, controls, 1, 10.0f, true);
    ExpectMeter(controls, scratch, 1, 50, kRed);
}

}  // namespace
}  // namespace glowtern
