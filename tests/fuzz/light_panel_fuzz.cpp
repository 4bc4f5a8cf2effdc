// Whatever arrives on the panel's socket: the input is cut into packets (a length byte, then
// that many bytes), each is decoded, and what decodes is applied to the lamps as the panel
// would. A packet that decodes must encode back to the same bytes, and the lamps never hold
// more lines, pins or history than there are.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/light_panel_protocol.h"
#include "platform/light_panel_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace glowtern;
    PanelLamps lamps;
    int64_t now = 0;
    std::span<const uint8_t> rest(data, size);
    while (!rest.empty()) {
        const size_t length = std::min<size_t>(rest[0], rest.size() - 1);
        const std::span<const uint8_t> packet = rest.subspan(1, length);
        rest = rest.subspan(1 + length);
        now += 10'000'000;

        PanelMessage message;
        if (DecodePanelMessage(packet, message) != PanelDecodeError::None) {
            continue;
        }
        const PanelPacket again = EncodePanelMessage(message);
        if (again.size != packet.size() ||
            !std::equal(packet.begin(), packet.end(), again.bytes.begin())) {
            std::abort();
        }
        if (message.type == PanelMessageType::PortWrite) {
            RecordPanelPortWrite(lamps, message.port, message.value, now);
        } else if (message.type == PanelMessageType::UsbReport) {
            ApplyPanelUsbReport(lamps.pins, message.report[1]);
        }
        PanelWriteLogText(message);
        TrimPanelHistory(lamps, now);
        if (lamps.lines >= (1u << kPanelLineCount) || lamps.pins >= (1u << kPanelPinCount) ||
            lamps.history.size() > kPanelHistoryLimit) {
            std::abort();
        }
    }
    return 0;
}
