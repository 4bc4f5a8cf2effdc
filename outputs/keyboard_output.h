#pragma once

#include "devices/keyboard_led.h"
#include "engine/control_ids.h"
#include "engine/light_output.h"
#include "toolkit/controls.h"

namespace glowtern {

// The lock LEDs while KEY is ticked: Num Lock beats with the low bands, Caps Lock with the
// mid bands, Scroll Lock with the high bands. Off is handing back the lock states saved
// at start-up (or when KEY was last ticked).
class KeyboardOutput final : public LightOutput {
  public:
    KeyboardOutput(KeyboardLedOutput& leds, const SavedLedStates& saved,
                   const ControlModel& controls)
        : leds_(leds), saved_(saved), controls_(controls) {}

    bool offNeedsDisplay() const override { return true; }

  protected:
    void send(const LightFrame& frame) override {
        if (controls_.state(kKeyCheckBox) == 0) {
            return;
        }
        SetKeyboardLed(leds_, "n", frame.beats[0] ? 1 : 0);
        SetKeyboardLed(leds_, "c", frame.beats[1] ? 1 : 0);
        SetKeyboardLed(leds_, "s", frame.beats[2] ? 1 : 0);
    }
    void sendOff() override { RestoreLedStates(leds_, saved_); }

  private:
    KeyboardLedOutput& leds_;
    const SavedLedStates& saved_;
    const ControlModel& controls_;
};

}  // namespace glowtern
