#pragma once

#include <cstdint>
#include <string_view>

namespace glowtern {

inline constexpr uint16_t kDataPort = 0x378;     // parallel port data register
inline constexpr uint16_t kControlPort = 0x37A;  // parallel port control register
inline constexpr uint8_t kDataRest = 0x00;       // all eight data lines low
inline constexpr uint8_t kControlRest = 0x0B;    // all four control lines low

// Where an analysis cycle sends its decisions: the keyboard LEDs, the parallel
// port and the USB light device.
class LightOutputs {
  public:
    virtual ~LightOutputs() = default;
    virtual void setKeyboardLed(std::string_view letter, int32_t wanted) = 0;
    virtual void writePort(uint16_t port, uint8_t value) = 0;
    // Puts `dataByte` in byte 1 of the USB output buffer and writes one report.
    virtual void writeUsbReport(uint8_t dataByte) = 0;
};

}  // namespace glowtern
