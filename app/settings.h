#pragma once

#include "app/program.h"

namespace glowtern {

// Moving values between "setting.dat" and the program. Each procedure opens the
// file, works and closes it again; none reports a problem.

// "X_form", "Y_form" into the window position (stays 0, 0 without a file).
void loadWindowPosition(Program& program);
// Every other key into the controls and the effect mode; band sliders at 0 in Rnd mode.
void loadSettings(Program& program);
// "fr1".."fr18" into the band sliders; false (sliders untouched) without a file.
bool loadBandValues(Program& program);
// The band sliders as "fr1".."fr18".
void saveBandValues(Program& program);
// Level, ARU, effect, outputs, switches and the window position.
void saveSettings(Program& program);

}  // namespace glowtern
