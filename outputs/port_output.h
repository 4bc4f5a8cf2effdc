#pragma once

#include <cstdint>

#include "devices/port_library.h"
#include "engine/control_ids.h"
#include "engine/light_output.h"
#include "toolkit/controls.h"

namespace glowtern {

inline constexpr uint16_t kDataPort = 0x378;     // parallel port data register
inline constexpr uint16_t kControlPort = 0x37A;  // parallel port control register
inline constexpr uint8_t kDataRest = 0x00;       // all eight data lines low
inline constexpr uint8_t kControlRest = 0x0B;    // all four control lines low

struct PortBytes {
    uint8_t data = kDataRest;
    uint8_t control = kControlRest;
    friend bool operator==(const PortBytes&, const PortBytes&) = default;
};

// The register values that light the lines of the bands that are on. Bands 4..11 drive
// data lines D0..D7; bands 12..15 the control lines, whose rest value 0x0B holds all four
// low (Strobe, Auto Feed and Select In are inverted). Lines rise only for bands this
// frame decided on; with `linesOn` false (LPT unticked) the port rests.
inline PortBytes PortBytesFor(const LightFrame& frame, bool linesOn) {
    PortBytes bytes;
    if (!linesOn || !frame.bandsDecided) {
        return bytes;
    }
    for (int band = 4; band <= 11; ++band) {
        if (frame.channels[band - 1]) {
            bytes.data = static_cast<uint8_t>(bytes.data | (1u << (band - 4)));
        }
    }
    constexpr uint8_t kControlBit[] = {0x01, 0x02, 0x04, 0x08};  // bands 12..15
    for (int band = 12; band <= 15; ++band) {
        if (frame.channels[band - 1]) {
            bytes.control = static_cast<uint8_t>(bytes.control ^ kControlBit[band - 12]);
        }
    }
    return bytes;
}

// The parallel port through the port-I/O library: the data register, then the control
// register, every cycle; both at rest at the end.
class PortOutput final : public LightOutput {
  public:
    PortOutput(const PortLibrary& port, const ControlModel& controls)
        : port_(port), controls_(controls) {}

    // The driver check: whether the library reaches a port.
    bool open() override {
        reached_ = CheckPortDriver(port_);
        return reached_;
    }
    bool reached() const { return reached_; }

  protected:
    void send(const LightFrame& frame) override {
        const PortBytes bytes = PortBytesFor(frame, controls_.state(kLptCheckBox) != 0);
        WritePort(port_, kDataPort, bytes.data);
        WritePort(port_, kControlPort, bytes.control);
    }
    void sendOff() override {
        WritePort(port_, kDataPort, kDataRest);
        WritePort(port_, kControlPort, kControlRest);
    }

  private:
    const PortLibrary& port_;
    const ControlModel& controls_;
    bool reached_ = false;
};

}  // namespace glowtern
