#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "devices/keyboard_led.h"
#include "devices/port_library.h"
#include "devices/usb_device.h"
#include "engine/light_output.h"
#include "platform/dmx.h"
#include "toolkit/controls.h"

namespace glowtern {

// What the outputs are made from; all of it outlives them.
struct OutputContext {
    ControlModel& controls;
    KeyboardLedOutput& leds;
    const SavedLedStates& savedLeds;
    const PortLibrary& port;
    UsbDevice& usb;
    std::string panelSocket;  // the light panel's socket; empty: none is looked for
    DmxLink* dmx = nullptr;   // null: no DMX
};

// Every kind of lamp, in the order a cycle writes them (light_outputs.cpp registers them).
class LightOutputs {
  public:
    explicit LightOutputs(const OutputContext& context);

    LightOutputList inOrder() const { return list_; }

    // The output of kind T (each kind is registered once).
    template <typename T>
    T& get() const {
        for (LightOutput* output : list_) {
            if (auto* found = dynamic_cast<T*>(output)) {
                return *found;
            }
        }
        std::abort();  // not registered: a mistake in light_outputs.cpp
    }

  private:
    template <typename T, typename... Arguments>
    void add(Arguments&&... arguments) {
        owned_.push_back(std::make_unique<T>(std::forward<Arguments>(arguments)...));
        list_.push_back(owned_.back().get());
    }

    std::vector<std::unique_ptr<LightOutput>> owned_;
    std::vector<LightOutput*> list_;
};

// The end of the program. Every output closed to the worker; then the lamps switched off
// in the reverse order of their writes, all but those whose off goes through the display,
// which each end sequence switches off at its own place (SwitchDisplayOutputsOff). Bounded
// in time, from any thread.
void CloseOutputs(const LightOutputs& outputs);
void SwitchLampsOff(const LightOutputs& outputs);
void SwitchDisplayOutputsOff(const LightOutputs& outputs);

}  // namespace glowtern
