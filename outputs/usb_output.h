#pragma once

#include <array>
#include <cstdint>

#include "devices/usb_device.h"
#include "engine/control_ids.h"
#include "engine/light_output.h"
#include "toolkit/controls.h"

namespace glowtern {

// Byte 1 of the three reports a cycle sends, for groups C, B and D in that order.
using UsbReportBytes = std::array<uint8_t, 3>;

// The device takes its 18 outputs in three reports of six bits; the two high bits of each
// byte say which pin group the low six are for. An output is on while the band its
// selector names (OUTn: control outputSelector(n)) is on; "No" and no selection name none.
inline UsbReportBytes UsbReportBytesFor(const LightFrame& frame, const ControlModel& controls) {
    struct Report {
        uint8_t marker;
        std::array<int, 6> outputs;  // OUTn for bits 0..5
    };
    static constexpr std::array<Report, 3> kReports = {{
        {0x00, {17, 18, 16, 15, 14, 13}},  // PC4 PC5 PC3 PC2 PC1 PC0
        {0x40, {10, 9, 12, 8, 11, 7}},     // PB3 PB2 PB5 PB1 PB4 PB0
        {0x80, {1, 2, 3, 4, 5, 6}},        // PD0 PD1 PD3 PD5 PD6 PD7
    }};
    UsbReportBytes bytes{};
    for (size_t r = 0; r < kReports.size(); ++r) {
        uint8_t byte = kReports[r].marker;
        for (int bit = 0; bit < 6; ++bit) {
            const int32_t band = controls.state(outputSelector(kReports[r].outputs[bit]));
            if (band >= 1 && band <= LightFrame::kBands && frame.channels[band - 1]) {
                byte = static_cast<uint8_t>(byte | (1u << bit));
            }
        }
        bytes[r] = byte;
    }
    return bytes;
}

// The USB light device: three reports every cycle; the three all-off reports at the end.
class UsbOutput final : public LightOutput {
  public:
    UsbOutput(UsbDevice& usb, const ControlModel& controls) : usb_(usb), controls_(controls) {}

  protected:
    void send(const LightFrame& frame) override {
        for (const uint8_t byte : UsbReportBytesFor(frame, controls_)) {
            SendUsbReport(usb_, byte);
        }
    }
    void sendOff() override { SwitchUsbOutputsOffWithin(usb_, kCloseLimit); }

  private:
    UsbDevice& usb_;
    const ControlModel& controls_;
};

}  // namespace glowtern
