#include "platform/light_panel_protocol.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace glowtern {

namespace {

constexpr const char* kSocketName = "glowtern-panel.sock";

// The length of each message type, header included; 0 for unknown types.
size_t messageSize(uint8_t type) {
    switch (static_cast<PanelMessageType>(type)) {
        case PanelMessageType::Hello:
        case PanelMessageType::Welcome:
        case PanelMessageType::Presence:
            return kPanelHeaderSize + 1;
        case PanelMessageType::PortWrite:
            return kPanelHeaderSize + 3;
        case PanelMessageType::UsbReport:
            return kPanelHeaderSize + 2;
    }
    return 0;
}

// The fallback directory is ours alone, or it is not used at all.
bool privateDirectory(const std::string& path, bool make) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno != ENOENT || !make || ::mkdir(path.c_str(), 0700) != 0) {
            return false;
        }
        if (::lstat(path.c_str(), &info) != 0) {
            return false;
        }
    }
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

// Group B, C and D pins by report bit (pin numbers in panel order, see the header).
constexpr std::array<std::array<uint8_t, 6>, 3> kGroupPins = {{
    {6 + 4, 6 + 5, 6 + 3, 6 + 2, 6 + 1, 6 + 0},  // marker 0: PC4 PC5 PC3 PC2 PC1 PC0
    {3, 2, 5, 1, 4, 0},                          // marker 1: PB3 PB2 PB5 PB1 PB4 PB0
    {12, 13, 14, 15, 16, 17},                    // marker 2: PD0 PD1 PD3 PD5 PD6 PD7
}};

}  // namespace

const char* PanelDecodeErrorName(PanelDecodeError error) {
    switch (error) {
        case PanelDecodeError::None:
            return "none";
        case PanelDecodeError::Truncated:
            return "truncated";
        case PanelDecodeError::Oversized:
            return "oversized";
        case PanelDecodeError::BadMarker:
            return "bad-marker";
        case PanelDecodeError::WrongVersion:
            return "wrong-version";
        case PanelDecodeError::UnknownType:
            return "unknown-type";
    }
    return "unknown";
}

PanelPacket EncodePanelMessage(const PanelMessage& message) {
    PanelPacket packet;
    const auto type = static_cast<uint8_t>(message.type);
    packet.bytes[0] = kPanelMarker[0];
    packet.bytes[1] = kPanelMarker[1];
    packet.bytes[2] = kPanelProtocolVersion;
    packet.bytes[3] = type;
    packet.size = messageSize(type);
    switch (message.type) {
        case PanelMessageType::Hello:
        case PanelMessageType::Welcome:
        case PanelMessageType::Presence:
            packet.bytes[4] = message.flags;
            break;
        case PanelMessageType::PortWrite:
            packet.bytes[4] = static_cast<uint8_t>(message.port & 0xFF);
            packet.bytes[5] = static_cast<uint8_t>(message.port >> 8);
            packet.bytes[6] = message.value;
            break;
        case PanelMessageType::UsbReport:
            packet.bytes[4] = message.report[0];
            packet.bytes[5] = message.report[1];
            break;
    }
    return packet;
}

PanelDecodeError DecodePanelMessage(std::span<const uint8_t> packet, PanelMessage& message) {
    if (packet.size() > kPanelMaxMessageSize) {
        return PanelDecodeError::Oversized;
    }
    if (packet.size() < kPanelHeaderSize) {
        return PanelDecodeError::Truncated;
    }
    if (packet[0] != kPanelMarker[0] || packet[1] != kPanelMarker[1]) {
        return PanelDecodeError::BadMarker;
    }
    if (packet[2] != kPanelProtocolVersion) {
        return PanelDecodeError::WrongVersion;
    }
    const size_t expected = messageSize(packet[3]);
    if (expected == 0) {
        return PanelDecodeError::UnknownType;
    }
    if (packet.size() < expected) {
        return PanelDecodeError::Truncated;
    }
    if (packet.size() > expected) {
        return PanelDecodeError::Oversized;
    }
    message = PanelMessage{};
    message.type = static_cast<PanelMessageType>(packet[3]);
    message.version = packet[2];
    switch (message.type) {
        case PanelMessageType::Hello:
        case PanelMessageType::Welcome:
        case PanelMessageType::Presence:
            message.flags = packet[4];
            break;
        case PanelMessageType::PortWrite:
            message.port = static_cast<uint16_t>(packet[4] | (packet[5] << 8));
            message.value = packet[6];
            break;
        case PanelMessageType::UsbReport:
            message.report = {packet[4], packet[5]};
            break;
    }
    return PanelDecodeError::None;
}

std::string LightPanelSocketPath(bool makeDirectory) {
    std::string path;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        path = std::string(runtime) + "/" + kSocketName;
    } else {
        const std::string directory = "/tmp/glowtern-panel-" + std::to_string(::geteuid());
        if (!privateDirectory(directory, makeDirectory)) {
            return "";
        }
        path = directory + "/" + kSocketName;
    }
    if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
        return "";
    }
    return path;
}

uint16_t PanelLineLevels(uint8_t data, uint8_t control) {
    // Bits 0, 1 and 3 of the control register are inverted at the connector.
    const unsigned controlLevels = (control ^ 0x0B) & 0x0F;
    return static_cast<uint16_t>(data | (controlLevels << 8));
}

bool ApplyPanelUsbReport(uint32_t& pins, uint8_t dataByte) {
    const unsigned marker = dataByte >> 6;
    if (marker >= kGroupPins.size()) {
        return false;
    }
    for (unsigned bit = 0; bit < 6; ++bit) {
        const uint32_t pin = 1u << kGroupPins[marker][bit];
        if ((dataByte >> bit) & 1u) {
            pins |= pin;
        } else {
            pins &= ~pin;
        }
    }
    return true;
}

std::string PanelWriteLogText(const PanelMessage& message) {
    char text[40];
    switch (message.type) {
        case PanelMessageType::PortWrite:
            if (message.port == kPanelDataRegister) {
                std::snprintf(text, sizeof text, "DATA 0x%02x", message.value);
            } else if (message.port == kPanelControlRegister) {
                std::snprintf(text, sizeof text, "CONTROL 0x%02x", message.value);
            } else {
                std::snprintf(text, sizeof text, "PORT 0x%04x 0x%02x", message.port, message.value);
            }
            return text;
        case PanelMessageType::UsbReport:
            std::snprintf(text, sizeof text, "USB 0x%02x 0x%02x", message.report[0],
                          message.report[1]);
            return text;
        default:
            return "";
    }
}

}  // namespace glowtern
