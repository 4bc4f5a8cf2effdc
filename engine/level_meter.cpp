#include "engine/level_meter.h"

#include <algorithm>
#include <cmath>

#include "engine/control_ids.h"

namespace glowtern {

namespace {

constexpr int kFillWidth = 20;  // wider than the picture; clipping keeps it inside
constexpr int kGridLines = 22;
constexpr int kGridSpacing = 4;
// Far beyond any bar that can show; keeps the integer conversions defined for an
// absurd level.
constexpr double kTallestBar = 1.0e6;

}  // namespace

void DrawLevelMeter(Image& scratch, ControlModel& controls, int band, float level, bool on) {
    if (!controls.imagesShown()) {
        return;  // the next cycle after the window shows draws them all
    }
    const int width = scratch.width();
    const int height = scratch.height();
    scratch.fillRectangle(0, 0, kFillWidth, height, kMeterBackground);

    // Top and height are rounded each on its own (halves to even), so a half-pixel
    // level can move the top without growing the bar. A NaN or negative level
    // shows as an empty meter.
    double barHeight = 2.0 * static_cast<double>(level);
    if (!(barHeight > 0.0)) {
        barHeight = 0.0;
    }
    barHeight = std::min(barHeight, kTallestBar);
    const int top = static_cast<int>(std::nearbyint(height - barHeight));
    const int rows = static_cast<int>(std::nearbyint(barHeight));
    scratch.fillRectangle(0, top, kFillWidth, rows, on ? kMeterBarOn : kMeterBarOff);

    for (int k = 1; k <= kGridLines; ++k) {
        scratch.drawHorizontalLine(0, width, height - kGridSpacing * k, kMeterGrid);
    }
    controls.setImage(levelMeter(band), scratch);
}

}  // namespace glowtern
