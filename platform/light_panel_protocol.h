#pragma once

// The light panel protocol: how Glowtern reaches `glowtern-panel`, a program that stands
// in for the parallel port and the USB light device and shows every lamp on screen.
//
// Transport: a local SOCK_SEQPACKET socket, so every message is one packet and framing is
// the kernel's. The socket lives in a directory only its owner can enter:
//
//   $XDG_RUNTIME_DIR/glowtern-panel.sock           when XDG_RUNTIME_DIR is an absolute path
//   /tmp/glowtern-panel-<uid>/glowtern-panel.sock   otherwise (directory mode 0700)
//
// The socket file has mode 0600, and each side asks the kernel for the other's user
// (SO_PEERCRED) and hangs up on any other user than its own.
//
// Every message (all numbers little-endian):
//
//   byte 0..1  'G' 'L'    marks a panel message
//   byte 2     version    kPanelProtocolVersion
//   byte 3     type       below
//   byte 4..   payload    a fixed length per type; a message of any other length is refused
//
//   type  name        direction       payload
//   1     Hello       Glowtern->panel roles (1 byte): kPanelPort, kPanelUsbWatch, kPanelUsbDevice
//   2     Welcome     panel->Glowtern offers (1 byte): kPanelPort; kPanelUsb while the USB
//                                     device is plugged in
//   3     PortWrite   Glowtern->panel port address (2 bytes), value (1 byte)
//   4     UsbReport   Glowtern->panel the two report bytes (report id 0, data byte)
//   5     Presence    panel->Glowtern offers (1 byte), sent to USB watchers when they change
//
// A connection starts with Hello from Glowtern; the panel answers Welcome. Glowtern may send
// writes right after its Hello without waiting. The receiving side hangs up at once on
// anything it cannot take: a short, long or oversized packet, another marker, another
// version, an unknown type, a type meant for the other direction, or anything but Hello
// first. Sends never block: a message that does not fit into the socket buffer is dropped.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace glowtern {

inline constexpr uint8_t kPanelProtocolVersion = 1;
inline constexpr std::array<uint8_t, 2> kPanelMarker = {'G', 'L'};
inline constexpr size_t kPanelHeaderSize = 4;
// The longest message of this version; packets are read into a buffer this size plus one,
// so anything longer is seen as oversized.
inline constexpr size_t kPanelMaxMessageSize = 7;

// Hello roles and Welcome/Presence offers.
inline constexpr uint8_t kPanelPort = 0x01;       // the parallel port's data and control lines
inline constexpr uint8_t kPanelUsbWatch = 0x02;   // role: told when the USB device comes and goes
inline constexpr uint8_t kPanelUsbDevice = 0x04;  // role: writes USB reports
inline constexpr uint8_t kPanelUsb = 0x02;        // offer: the USB light device is plugged in

// The parallel port registers the panel shows.
inline constexpr uint16_t kPanelDataRegister = 0x378;
inline constexpr uint16_t kPanelControlRegister = 0x37A;

enum class PanelMessageType : uint8_t {
    Hello = 1,
    Welcome = 2,
    PortWrite = 3,
    UsbReport = 4,
    Presence = 5,
};

struct PanelMessage {
    PanelMessageType type = PanelMessageType::Hello;
    uint8_t flags = 0;                        // Hello: roles; Welcome, Presence: offers
    uint16_t port = 0;                        // PortWrite
    uint8_t value = 0;                        // PortWrite
    std::array<uint8_t, 2> report{};          // UsbReport
    uint8_t version = kPanelProtocolVersion;  // as received; encoding always uses ours
};

enum class PanelDecodeError {
    None,
    Truncated,     // shorter than its header or its type's length
    Oversized,     // longer than its type's length, or than any message can be
    BadMarker,     // not a panel message at all
    WrongVersion,  // a panel message of another version
    UnknownType,
};

// A text for logs: "truncated", "oversized", "bad-marker", "wrong-version", "unknown-type".
const char* PanelDecodeErrorName(PanelDecodeError error);

struct PanelPacket {
    std::array<uint8_t, kPanelMaxMessageSize> bytes{};
    size_t size = 0;
    std::span<const uint8_t> view() const { return {bytes.data(), size}; }
};

PanelPacket EncodePanelMessage(const PanelMessage& message);

// Decodes one packet; `message` is only meaningful when the result is None. The version is
// checked after the marker and before the type, so a newer panel is told apart from junk.
PanelDecodeError DecodePanelMessage(std::span<const uint8_t> packet, PanelMessage& message);

// Where the panel listens for this user (see the top of this file). `makeDirectory` creates
// the fallback directory (mode 0700) when it is missing. Empty when there is no usable place:
// the fallback directory belongs to someone else, is no real directory, is open to others,
// or the path is too long for a socket address.
std::string LightPanelSocketPath(bool makeDirectory);

// --- What the lamps make of the writes ---

// Lines in panel order: D0..D7, Strobe, Auto Feed, Initialize, Select In.
inline constexpr int kPanelLineCount = 12;
// USB pins in panel order: PB0..PB5, PC0..PC5, PD0, PD1, PD3, PD5, PD6, PD7.
inline constexpr int kPanelPinCount = 18;

// The connector levels of the twelve lines (bit i set: line i high). The data lines follow
// their bits; Strobe, Auto Feed and Select In are inverted at the connector (control bits 0,
// 1, 3), Initialize is not (bit 2). So control 0x0B puts all four control lines low.
uint16_t PanelLineLevels(uint8_t data, uint8_t control);

// Applies one report's data byte to the pin states (bit i set: pin i on): the marker in bits
// 7..6 names the group (0 C, 1 B, 2 D) and bits 5..0 set or clear its six pins. False, and
// nothing changed, for marker 3, which names no group.
bool ApplyPanelUsbReport(uint32_t& pins, uint8_t dataByte);

// One log line without its line end: "DATA 0x02", "CONTROL 0x0b", "PORT 0x0379 0x55" for
// other registers, "USB 0x00 0x41". Empty for messages that are no write.
std::string PanelWriteLogText(const PanelMessage& message);

}  // namespace glowtern
