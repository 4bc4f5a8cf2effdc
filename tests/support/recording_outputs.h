#pragma once

#include <cstdint>
#include <ostream>
#include <string_view>
#include <vector>

#include "engine/light_outputs.h"

namespace glowtern::testing {

// One write to a light output, as the engine made it.
struct OutputEvent {
    enum class Kind : uint8_t { KeyboardLed, Port, UsbReport };
    Kind kind = Kind::Port;
    char letter = 0;     // KeyboardLed: 'n', 'c' or 's'
    int32_t wanted = 0;  // KeyboardLed
    uint16_t port = 0;   // Port
    uint8_t value = 0;   // Port: the byte; UsbReport: byte 1 of the report

    static OutputEvent Led(char letter, int32_t wanted) {
        return {Kind::KeyboardLed, letter, wanted, 0, 0};
    }
    static OutputEvent Port(uint16_t port, uint8_t value) {
        return {Kind::Port, 0, 0, port, value};
    }
    static OutputEvent Usb(uint8_t value) { return {Kind::UsbReport, 0, 0, 0, value}; }

    friend bool operator==(const OutputEvent&, const OutputEvent&) = default;
};

std::ostream& operator<<(std::ostream& out, const OutputEvent& event);

// Records every write in order. Room for a few thousand writes is reserved up
// front, so recording does not allocate as long as `clear()` is called now and then.
class RecordingOutputs final : public LightOutputs {
  public:
    RecordingOutputs();

    void setKeyboardLed(std::string_view letter, int32_t wanted) override;
    void writePort(uint16_t port, uint8_t value) override;
    void writeUsbReport(uint8_t dataByte) override;

    const std::vector<OutputEvent>& events() const { return events_; }
    void clear() { events_.clear(); }

    // The writes of one kind, in order.
    std::vector<OutputEvent> ofKind(OutputEvent::Kind kind) const;
    // Byte 1 of every USB report written, in order.
    std::vector<uint8_t> usbBytes() const;
    // The value last written to `port`, or -1 when nothing was.
    int lastPortValue(uint16_t port) const;

  private:
    std::vector<OutputEvent> events_;
};

}  // namespace glowtern::testing
