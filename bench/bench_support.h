#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/light_outputs.h"
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

// Outputs that go nowhere; only the last bytes are kept, so nothing can optimise the
// writes away.
class NullOutputs final : public LightOutputs {
  public:
    void setKeyboardLed(std::string_view letter, int32_t wanted) override {
        lastLed = static_cast<int32_t>(letter.size()) + wanted;
    }
    void writePort(uint16_t port, uint8_t value) override { lastPort = port + value; }
    void writeUsbReport(uint8_t dataByte) override { lastUsb = dataByte; }

    int32_t lastLed = 0;
    int32_t lastPort = 0;
    int32_t lastUsb = 0;
};

}  // namespace glowtern::bench
