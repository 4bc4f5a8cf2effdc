// The light panel's wire format and what its lamps make of the writes.
#include "platform/light_panel_protocol.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/light_panel_server.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/light_panel_rig.h"

namespace glowtern {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const PanelMessage& message) {
    const PanelPacket packet = EncodePanelMessage(message);
    return Bytes(packet.bytes.begin(), packet.bytes.begin() + static_cast<long>(packet.size));
}

PanelDecodeError decode(const Bytes& bytes, PanelMessage* out = nullptr) {
    PanelMessage message;
    const PanelDecodeError error = DecodePanelMessage(bytes, message);
    if (out != nullptr) {
        *out = message;
    }
    return error;
}

TEST(LightPanelProtocol, EveryMessageHasItsBytesAndComesBackWhole) {
    PanelMessage hello{.type = PanelMessageType::Hello, .flags = kPanelPort | kPanelUsbWatch};
    EXPECT_EQ(encode(hello), (Bytes{'G', 'L', 1, 1, 0x03}));

    PanelMessage write{.type = PanelMessageType::PortWrite, .port = 0x37A, .value = 0x0E};
    EXPECT_EQ(encode(write), (Bytes{'G', 'L', 1, 3, 0x7A, 0x03, 0x0E}));

    PanelMessage report{.type = PanelMessageType::UsbReport, .report = {0x00, 0x82}};
    EXPECT_EQ(encode(report), (Bytes{'G', 'L', 1, 4, 0x00, 0x82}));

    const PanelMessage welcome{.type = PanelMessageType::Welcome, .flags = kPanelPort | kPanelUsb};
    const PanelMessage presence{.type = PanelMessageType::Presence, .flags = kPanelPort};
    for (const PanelMessage& sent : {hello, write, report, welcome, presence}) {
        PanelMessage received;
        ASSERT_EQ(decode(encode(sent), &received), PanelDecodeError::None);
        EXPECT_EQ(received.type, sent.type);
        EXPECT_EQ(received.flags, sent.flags);
        EXPECT_EQ(received.port, sent.port);
        EXPECT_EQ(received.value, sent.value);
        EXPECT_EQ(received.report, sent.report);
        EXPECT_EQ(received.version, kPanelProtocolVersion);
        EXPECT_LE(encode(sent).size(), kPanelMaxMessageSize);
    }
}

TEST(LightPanelProtocol, MalformedPacketsAreNamedAndNeverTaken) {
    const Bytes write = encode({.type = PanelMessageType::PortWrite, .port = 0x378, .value = 2});
    // Every proper prefix of a message is truncated.
    for (size_t size = 0; size < write.size(); ++size) {
        EXPECT_EQ(decode(Bytes(write.begin(), write.begin() + static_cast<long>(size))),
                  PanelDecodeError::Truncated)
            << size;
    }
    // A byte more than the type's length, or more than any message may have.
    Bytes longer = encode({.type = PanelMessageType::Hello});
    longer.push_back(0);
    EXPECT_EQ(decode(longer), PanelDecodeError::Oversized);
    Bytes huge(200, 0);
    huge[0] = 'G';
    huge[1] = 'L';
    huge[2] = kPanelProtocolVersion;
    huge[3] = 1;
    EXPECT_EQ(decode(huge), PanelDecodeError::Oversized);

    EXPECT_EQ(decode(Bytes{'X', 'L', 1, 1, 0}), PanelDecodeError::BadMarker);
    EXPECT_EQ(decode(Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0x00}), PanelDecodeError::BadMarker);
    EXPECT_EQ(decode(Bytes{'G', 'L', 2, 1, 0}), PanelDecodeError::WrongVersion);
    EXPECT_EQ(decode(Bytes{'G', 'L', 0, 1, 0}), PanelDecodeError::WrongVersion);
    for (uint8_t type : {0, 6, 0x7F, 0xFF}) {
        EXPECT_EQ(decode(Bytes{'G', 'L', 1, type, 0}), PanelDecodeError::UnknownType) << +type;
    }
    // The version is looked at before the type: a newer panel's new message is a version
    // matter, not junk.
    EXPECT_EQ(decode(Bytes{'G', 'L', 2, 9, 0, 0, 0}), PanelDecodeError::WrongVersion);

    EXPECT_STREQ(PanelDecodeErrorName(PanelDecodeError::Truncated), "truncated");
    EXPECT_STREQ(PanelDecodeErrorName(PanelDecodeError::WrongVersion), "wrong-version");
    EXPECT_STREQ(PanelDecodeErrorName(PanelDecodeError::UnknownType), "unknown-type");
}

TEST(LightPanelProtocol, LineLevelsHonourTheInvertedControlLines) {
    // Rest values: every line low.
    EXPECT_EQ(PanelLineLevels(0x00, 0x0B), 0);
    // All twelve bands on.
    EXPECT_EQ(PanelLineLevels(0xFF, 0x04), 0x0FFF);
    // Bands 4, 12 and 14: D0, Strobe and Initialize.
    EXPECT_EQ(PanelLineLevels(0x01, 0x0E), 0x0001 | 1 << 8 | 1 << 10);
    // One control line at a time: Strobe (bit 0 cleared), Auto Feed (bit 1 cleared),
    // Initialize (bit 2 set), Select In (bit 3 cleared).
    EXPECT_EQ(PanelLineLevels(0, 0x0A), 1 << 8);
    EXPECT_EQ(PanelLineLevels(0, 0x09), 1 << 9);
    EXPECT_EQ(PanelLineLevels(0, 0x0F), 1 << 10);
    EXPECT_EQ(PanelLineLevels(0, 0x03), 1 << 11);
    // Control bits 4..7 are no lines.
    EXPECT_EQ(PanelLineLevels(0x02, 0xFB), 0x0002);
}

TEST(LightPanelProtocol, UsbReportsLightTheirGroupsPins) {
    // Pin numbers in panel order.
    constexpr uint32_t PB0 = 1u << 0, PB3 = 1u << 3, PC0 = 1u << 6, PC4 = 1u << 10;
    constexpr uint32_t PD0 = 1u << 12, PD1 = 1u << 13, PD7 = 1u << 17;
    uint32_t pins = 0;
    ASSERT_TRUE(ApplyPanelUsbReport(pins, 0x01));
    EXPECT_EQ(pins, PC4);
    ASSERT_TRUE(ApplyPanelUsbReport(pins, 0x20));  // group C again: PC4 off, PC0 on
    EXPECT_EQ(pins, PC0);
    ASSERT_TRUE(ApplyPanelUsbReport(pins, 0x60));  // PB0; group C untouched
    EXPECT_EQ(pins, PC0 | PB0);
    ASSERT_TRUE(ApplyPanelUsbReport(pins, 0x41));  // PB3 alone
    EXPECT_EQ(pins, PC0 | PB3);
    ASSERT_TRUE(ApplyPanelUsbReport(pins, 0xA0));
    EXPECT_EQ(pins, PC0 | PB3 | PD7);
    ASSERT_TRUE(ApplyPanelUsbReport(pins, 0x82));
    EXPECT_EQ(pins, PC0 | PB3 | PD1);
    ASSERT_TRUE(ApplyPanelUsbReport(pins, 0x81));
    EXPECT_EQ(pins, PC0 | PB3 | PD0);

    // Every output on, then the three all-off reports.
    for (uint8_t byte : {0x3F, 0x7F, 0xBF}) {
        ASSERT_TRUE(ApplyPanelUsbReport(pins, byte));
    }
    EXPECT_EQ(pins, (1u << 18) - 1);
    EXPECT_FALSE(ApplyPanelUsbReport(pins, 0xC0));  // marker 3 names no group
    EXPECT_EQ(pins, (1u << 18) - 1);
    for (uint8_t byte : {0x00, 0x40, 0x80}) {
        ASSERT_TRUE(ApplyPanelUsbReport(pins, byte));
    }
    EXPECT_EQ(pins, 0u);

    // Each of the 18 bits lights exactly one pin, and all 18 differ.
    uint32_t seen = 0;
    for (uint8_t marker : {0x00, 0x40, 0x80}) {
        for (int bit = 0; bit < 6; ++bit) {
            uint32_t one = 0;
            ASSERT_TRUE(ApplyPanelUsbReport(one, static_cast<uint8_t>(marker | (1 << bit))));
            EXPECT_EQ(__builtin_popcount(one), 1);
            EXPECT_EQ(seen & one, 0u);
            seen |= one;
        }
    }
    EXPECT_EQ(seen, (1u << 18) - 1);
}

TEST(LightPanelProtocol, WritesBecomeLogLines) {
    EXPECT_EQ(PanelWriteLogText({.type = PanelMessageType::PortWrite, .port = 0x378, .value = 2}),
              "DATA 0x02");
    EXPECT_EQ(
        PanelWriteLogText({.type = PanelMessageType::PortWrite, .port = 0x37A, .value = 0x0B}),
        "CONTROL 0x0b");
    EXPECT_EQ(
        PanelWriteLogText({.type = PanelMessageType::PortWrite, .port = 0x379, .value = 0x55}),
        "PORT 0x0379 0x55");
    EXPECT_EQ(PanelWriteLogText({.type = PanelMessageType::UsbReport, .report = {0x00, 0x41}}),
              "USB 0x00 0x41");
    EXPECT_EQ(PanelWriteLogText({.type = PanelMessageType::Hello}), "");
}

TEST(LightPanelProtocol, HistoryKeepsTheLastSecondsOfLineChanges) {
    PanelLamps lamps;
    constexpr int64_t second = 1'000'000'000;
    RecordPanelPortWrite(lamps, 0x378, 0x00, 1 * second);  // first write: the starting state
    RecordPanelPortWrite(lamps, 0x37A, 0x0B, 1 * second);  // no change
    RecordPanelPortWrite(lamps, 0x378, 0x02, 2 * second);
    RecordPanelPortWrite(lamps, 0x379, 0xFF, 2 * second);  // no register of the panel's
    RecordPanelPortWrite(lamps, 0x37A, 0x0A, 3 * second);
    RecordPanelPortWrite(lamps, 0x378, 0x02, 4 * second);  // no change
    ASSERT_EQ(lamps.history.size(), 3u);
    EXPECT_EQ(lamps.lines, 0x0002 | 1 << 8);
    EXPECT_EQ(lamps.history[1].lines, 0x0002);
    EXPECT_EQ(lamps.history[2].nanoseconds, 3 * second);

    // At 7.5 s the span starts at 2.5 s: the change at 2 s is still in force then and stays.
    TrimPanelHistory(lamps, 7 * second + second / 2);
    ASSERT_EQ(lamps.history.size(), 2u);
    EXPECT_EQ(lamps.history.front().nanoseconds, 2 * second);
    TrimPanelHistory(lamps, 100 * second);
    ASSERT_EQ(lamps.history.size(), 1u);  // the state in force stays, however old

    // A flood of changes is held to the limit.
    for (size_t i = 0; i < kPanelHistoryLimit + 10; ++i) {
        RecordPanelPortWrite(lamps, 0x378, static_cast<uint8_t>(i & 1), 101 * second + int64_t(i));
    }
    EXPECT_EQ(lamps.history.size(), kPanelHistoryLimit);
}

TEST(LightPanelProtocol, SocketLivesInTheRuntimeDirOrAPrivateFallback) {
    {
        testing::ScopedEnvironment runtime("XDG_RUNTIME_DIR", "/run/user/1234");
        EXPECT_EQ(LightPanelSocketPath(false), "/run/user/1234/glowtern-panel.sock");
        testing::ScopedEnvironment tooLong("XDG_RUNTIME_DIR", "/" + std::string(120, 'x'));
        EXPECT_EQ(LightPanelSocketPath(false), "");
    }

    // Without XDG_RUNTIME_DIR (or with a relative one) the fallback is a directory of our
    // own under /tmp. Only looked at when this test can leave it as it found it.
    const std::string directory = "/tmp/glowtern-panel-" + std::to_string(::geteuid());
    if (std::filesystem::exists(directory)) {
        GTEST_SKIP() << directory << " exists (a panel may be using it)";
    }
    testing::ScopedEnvironment relative("XDG_RUNTIME_DIR", "relative/dir");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(LightPanelSocketPath(false), "");  // not made when not asked to
    EXPECT_FALSE(std::filesystem::exists(directory));
    EXPECT_EQ(LightPanelSocketPath(true), directory + "/glowtern-panel.sock");
    struct stat info {};
    ASSERT_EQ(::lstat(directory.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ::setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(LightPanelSocketPath(false), directory + "/glowtern-panel.sock");

    // A directory that others may enter is not used.
    ::chmod(directory.c_str(), 0755);
    EXPECT_EQ(LightPanelSocketPath(true), "");
    ::rmdir(directory.c_str());

    // Nor is a link to somewhere else.
    testing::TempDir elsewhere;
    ::chmod(elsewhere.path().c_str(), 0700);
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), directory.c_str()), 0);
    EXPECT_EQ(LightPanelSocketPath(true), "");
    ::unlink(directory.c_str());
}

}  // namespace
}  // namespace glowtern
