#pragma once

#include "toolkit/controls.h"

namespace glowtern::testing {

// Defines in `controls` every control the analysis cycle reads or sets, with the
// kinds, ranges and initial states of the main window: band sliders 1..18
// (positions 0..39, at 15), the level slider 21 (0..60, at 35), the ARU slider 23
// (1..60, at 35), the KEY (24) and LPT (45) check boxes ticked, the output
// selectors 27..44 ("No", "1".."18", nothing selected) and the 8 x 70 level meters
// 303..320.
void DefineEngineControls(ControlModel& controls);

}  // namespace glowtern::testing
