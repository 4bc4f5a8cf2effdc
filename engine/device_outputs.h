#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

#include "devices/port_library.h"
#include "devices/usb_device.h"
#include "engine/keyboard_led.h"
#include "engine/light_outputs.h"
#include "toolkit/lock_within.h"

namespace glowtern {

// The real destinations of a cycle's decisions.
//
// The worker writes through here; the end of the program closes it first and then writes
// the off states itself. A write and the close exclude each other, so once close() has
// returned no write of the worker can reach a lamp any more, even from a worker that did
// not stop in time (stuck in a sound library): whatever it does later, the off states
// written after the close are the last ones.
class DeviceOutputs final : public LightOutputs {
  public:
    DeviceOutputs(KeyboardLedOutput& leds, const PortLibrary& port, UsbDevice& usb)
        : leds_(leds), port_(port), usb_(usb) {}

    void setKeyboardLed(std::string_view letter, int32_t wanted) override {
        const std::unique_lock lock(mutex_);
        if (!closed_) {
            SetKeyboardLed(leds_, letter, wanted);
        }
    }
    void writePort(uint16_t port, uint8_t value) override {
        const std::unique_lock lock(mutex_);
        if (!closed_) {
            WritePort(port_, port, value);
        }
    }
    void writeUsbReport(uint8_t dataByte) override {
        const std::unique_lock lock(mutex_);
        if (!closed_) {
            SendUsbReport(usb_, dataByte);
        }
    }

    // No write passes from now on. A write that is stuck in a device is waited for at
    // most `limit`; past that the closing thread goes on without it.
    void close(std::chrono::milliseconds limit = std::chrono::milliseconds(200)) {
        const bool locked = LockWithin(mutex_, limit);
        closed_ = true;  // atomic: set even when a stuck write holds the lock
        if (locked) {
            mutex_.unlock();
        }
    }

  private:
    KeyboardLedOutput& leds_;
    const PortLibrary& port_;
    UsbDevice& usb_;
    std::mutex mutex_;
    std::atomic<bool> closed_{false};
};

}  // namespace glowtern
