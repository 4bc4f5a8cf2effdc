#pragma once

#include "app/program.h"

namespace glowtern {

// Moving values between "setting.dat" and the program. Each procedure opens the
// file, works and closes it again; none reports a problem.

// "X_form", "Y_form" into the window position (stays 0, 0 without a file); notes whether
// the file is there at all.
void loadWindowPosition(Program& program);
// Every other key into the controls, the effect mode and the sound source ("Sound_From",
// "Sound_Source"); band sliders at 0 in Rnd mode.
void loadSettings(Program& program);
// "fr1".."fr18" into the band sliders; false (sliders untouched) without a file.
bool loadBandValues(Program& program);
// The band sliders as "fr1".."fr18".
void saveBandValues(Program& program);
// Level, ARU, effect, outputs, switches and the window position; the sound source once it
// is not the default input or the file has it already.
void saveSettings(Program& program);

}  // namespace glowtern
