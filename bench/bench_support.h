#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/light_output.h"
#include "outputs/port_output.h"
#include "outputs/usb_output.h"
#include "toolkit/controls.h"

namespace glowtern::bench {

// Mono 22050 Hz sound that keeps every band of the analysis busy the way music does:
// pink noise, a kick drum twice a second (a falling 150 -> 45 Hz sweep) and a plucked
// melody of eighth notes between 220 and 880 Hz. The same seed gives the same samples.
std::vector<int16_t> MusicLikeSamples(double seconds, uint32_t seed = 1);

// Defines every control of the main window in `controls` from the program's own control
// table, then sets what a settings file of a running show would: both output switches on,
// OUTn on band n, the level and ARU sliders at 35 and every band slider at `threshold`.
void DefineShowControls(ControlModel& controls, int threshold = 15);

// Outputs that go nowhere: the frame is mapped to the port's and the USB device's bytes
// as their outputs map it, and only the last bytes are kept, so nothing can optimise the
// mapping away.
class NullOutputs final : public LightOutput {
  public:
    explicit NullOutputs(const ControlModel& controls) : controls_(controls) {}
    LightOutputList list() const { return self_; }

    int32_t lastLed = 0;
    int32_t lastPort = 0;
    int32_t lastUsb = 0;

  protected:
    void send(const LightFrame& frame) override {
        lastLed = frame.beats[0] + frame.beats[1] + frame.beats[2];
        const PortBytes port = PortBytesFor(frame, controls_.state(kLptCheckBox) != 0);
        lastPort = port.data + port.control;
        for (const uint8_t byte : UsbReportBytesFor(frame, controls_)) {
            lastUsb += byte;
        }
    }
    void sendOff() override {}

  private:
    const ControlModel& controls_;
    std::array<LightOutput*, 1> self_{this};
};

}  // namespace glowtern::bench
