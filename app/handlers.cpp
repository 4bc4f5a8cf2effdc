#include "app/handlers.h"

#include "app/settings.h"
#include "engine/bands.h"
#include "engine/control_ids.h"

namespace glowtern {

namespace {

void zeroBandSliders(Program& program) {
    for (int band = 1; band <= kBandCount; ++band) {
        program.toolkit.controls().setState(bandSlider(band), 0);
    }
}

// Auto and Rnd: keep the manual values the Manual button brought in, then switch.
void leaveManualValues(Program& program, EffectMode mode) {
    if (program.manualPresetFlag == 1) {
        // Saved before the new mode is published: in Auto mode the worker moves the
        // very sliders being saved.
        saveBandValues(program);
        program.manualPresetFlag = 0;
    }
    program.engine.effectMode.store(mode);
    // A cycle that began in Auto mode could still move a slider after the zeroing;
    // the worker reads the mode once per cycle, so after this wait none will.
    WaitForCycleEnd(program.worker);
    zeroBandSliders(program);
}

}  // namespace

void OnManualButton(Program& program) {
    program.engine.effectMode.store(kManualMode);
    WaitForCycleEnd(program.worker);
    if (loadBandValues(program)) {
        program.manualPresetFlag = 1;
    }
}

void OnAutoButton(Program& program) {
    leaveManualValues(program, kAutoMode);
}

void OnRndButton(Program& program) {
    leaveManualValues(program, kRndMode);
}

void OnKeyCheckBox(Program& program) {
    if (program.toolkit.controls().state(kKeyCheckBox) == 1) {
        TakeSavedLedStates(program);
    } else {
        // A cycle that read the box as ticked may still be setting LEDs.
        WaitForCycleEnd(program.worker);
        RestoreKeyboardLeds(program);
    }
}

void TakeSavedLedStates(Program& program) {
    Keyboard& keyboard = program.platform.keyboard;
    program.savedLeds.capsLock = keyboard.lockKeyState(LockKey::CapsLock);
    program.savedLeds.numLock = keyboard.lockKeyState(LockKey::NumLock);
    program.savedLeds.scrollLock = keyboard.lockKeyState(LockKey::ScrollLock);
}

void RestoreKeyboardLeds(Program& program) {
    RestoreLedStates(program.leds, program.savedLeds);
}

}  // namespace glowtern
