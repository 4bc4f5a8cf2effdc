#pragma once

#include "app/program.h"

namespace glowtern {

// The handlers of the four controls that have one. Each runs on the main thread
// between two waits of the event loop.
void OnManualButton(Program& program);
void OnAutoButton(Program& program);
void OnRndButton(Program& program);
void OnKeyCheckBox(Program& program);

// The three lock-key states as the keyboard reports them now.
void TakeSavedLedStates(Program& program);
// Hands the LEDs back to the saved states: Num Lock, Caps Lock, Scroll Lock.
void RestoreKeyboardLeds(Program& program);

}  // namespace glowtern
