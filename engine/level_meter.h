#pragma once

#include "toolkit/controls.h"
#include "toolkit/image.h"

namespace glowtern {

inline constexpr Rgb kMeterBackground{17, 17, 17};
inline constexpr Rgb kMeterBarOn{255, 90, 90};
inline constexpr Rgb kMeterBarOff{10, 10, 255};
inline constexpr Rgb kMeterGrid{0, 0, 0};

// Draws band `band`'s meter into `scratch` (the worker's own 8 x 70 picture): a
// dark background, a bar 2 pixels high per level unit standing on the bottom edge,
// red when the band is on and blue when it is off, cut by a black line every 4
// rows; then hands a copy to the band's level meter control. Draws nothing while nobody
// sees the meters (the window hidden). Allocates nothing.
void DrawLevelMeter(Image& scratch, ControlModel& controls, int band, float level, bool on);

}  // namespace glowtern
