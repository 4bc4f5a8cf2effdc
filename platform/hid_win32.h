#pragma once

#include <chrono>

#include "platform/hid.h"

namespace glowtern {

// The system's HID devices on Windows: the HID interface class listed through SetupAPI, each
// interface's ids read with HidD_GetAttributes, and output reports written with overlapped
// WriteFile. A write waits at most kWriteLimit for the device; a write still pending then is
// cancelled, so a device that stops answering never holds up the worker. A report shorter than
// the device's output report length is padded with zeros, as Windows wants whole reports.
// Handles point to the bus's own record of an open device.
class Win32HidBus final : public HidBus {
  public:
    static constexpr std::chrono::milliseconds kWriteLimit{100};
    // Interfaces looked at per enumeration; later ones are not listed.
    static constexpr size_t kMaxInterfaces = 256;

    bool initialise() override;
    bool listInterfaces(std::vector<HidInterface>& interfaces) override;
    HidHandle open(const std::string& path) override;
    bool write(HidHandle handle, const uint8_t* data, size_t length) override;
    void close(HidHandle handle) override;
};

}  // namespace glowtern
