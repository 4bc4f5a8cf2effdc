#include "tests/support/recording_outputs.h"

#include <iomanip>

namespace glowtern::testing {

std::ostream& operator<<(std::ostream& out, const OutputEvent& event) {
    switch (event.kind) {
        case OutputEvent::Kind::KeyboardLed:
            return out << "LED " << (event.letter != 0 ? event.letter : '?') << "=" << event.wanted;
        case OutputEvent::Kind::Port:
            return out << "port 0x" << std::hex << event.port << "=0x" << std::setw(2)
                       << std::setfill('0') << int{event.value} << std::dec;
        case OutputEvent::Kind::UsbReport:
            return out << "USB 0x" << std::hex << std::setw(2) << std::setfill('0')
                       << int{event.value} << std::dec;
    }
    return out << "?";
}

RecordingOutputs::RecordingOutputs() {
    events_.reserve(4096);
}

void RecordingOutputs::setKeyboardLed(std::string_view letter, int32_t wanted) {
    // A letter of more than one character is recorded as 0, so a test sees it wrong.
    events_.push_back(OutputEvent::Led(letter.size() == 1 ? letter[0] : '\0', wanted));
}

void RecordingOutputs::writePort(uint16_t port, uint8_t value) {
    events_.push_back(OutputEvent::Port(port, value));
}

void RecordingOutputs::writeUsbReport(uint8_t dataByte) {
    events_.push_back(OutputEvent::Usb(dataByte));
}

std::vector<OutputEvent> RecordingOutputs::ofKind(OutputEvent::Kind kind) const {
    std::vector<OutputEvent> found;
    for (const OutputEvent& event : events_) {
        if (event.kind == kind) {
            found.push_back(event);
        }
    }
    return found;
}

std::vector<uint8_t> RecordingOutputs::usbBytes() const {
    std::vector<uint8_t> bytes;
    for (const OutputEvent& event : events_) {
        if (event.kind == OutputEvent::Kind::UsbReport) {
            bytes.push_back(event.value);
        }
    }
    return bytes;
}

int RecordingOutputs::lastPortValue(uint16_t port) const {
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
        if (it->kind == OutputEvent::Kind::Port && it->port == port) {
            return it->value;
        }
    }
    return -1;
}

}  // namespace glowtern::testing
