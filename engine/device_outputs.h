#pragma once

#include "devices/port_library.h"
#include "devices/usb_device.h"
#include "engine/keyboard_led.h"
#include "engine/light_outputs.h"

namespace glowtern {

// The real destinations of a cycle's decisions.
class DeviceOutputs final : public LightOutputs {
  public:
    DeviceOutputs(KeyboardLedOutput& leds, const PortLibrary& port, UsbDevice& usb)
        : leds_(leds), port_(port), usb_(usb) {}

    void setKeyboardLed(std::string_view letter, int32_t wanted) override {
        SetKeyboardLed(leds_, letter, wanted);
    }
    void writePort(uint16_t port, uint8_t value) override { WritePort(port_, port, value); }
    void writeUsbReport(uint8_t dataByte) override { SendUsbReport(usb_, dataByte); }

  private:
    KeyboardLedOutput& leds_;
    const PortLibrary& port_;
    UsbDevice& usb_;
};

}  // namespace glowtern
