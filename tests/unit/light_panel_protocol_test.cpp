// The light panel's wire format and what its lamps make of the writes.
#include "platform/light_panel_protocol.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "platform/light_panel_server.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/light_panel_rig.h"

namespace glowtern {
namespace {

using testing::Bytes;
using testing::Encode;

TEST(LightPanelProtocol, EveryMessageHasItsBytesAndComesBackWhole) {
    using enum PanelMessageType;
    const std::pair<PanelMessage, Bytes> cases[] = {
        {{.type = Hello, .flags = kPanelPort | kPanelUsbWatch}, {'G', 'L', 1, 1, 0x03}},
        {{.type = Welcome, .flags = kPanelPort | kPanelUsb}, {'G', 'L', 1, 2, 0x03}},
        {{.type = PortWrite, .port = 0x37A, .value = 0x0E}, {'G', 'L', 1, 3, 0x7A, 0x03, 0x0E}},
        {{.type = UsbReport, .report = {0x00, 0x82}}, {'G', 'L', 1, 4, 0x00, 0x82}},
        {{.type = Presence, .flags = kPanelPort}, {'G', 'L', 1, 5, 0x01}},
    };
    const auto fields = [](const PanelMessage& m) {
        return std::tuple(m.type, m.flags, m.port, m.value, m.report, m.version);
    };
    for (const auto& [sent, bytes] : cases) {
        EXPECT_EQ(Encode(sent), bytes);
        PanelMessage received;
        ASSERT_EQ(DecodePanelMessage(bytes, received), PanelDecodeError::None);
        EXPECT_TRUE(fields(received) == fields(sent)) << ::testing::PrintToString(bytes);
    }
}

TEST(LightPanelProtocol, MalformedPacketsAreRefusedWithTheirReason) {
    using enum PanelDecodeError;
    const auto decode = [](const Bytes& bytes) {
        PanelMessage message;
        return DecodePanelMessage(bytes, message);
    };
    const Bytes write = Encode({.type = PanelMessageType::PortWrite, .port = 0x378, .value = 2});
    for (size_t size = 0; size < write.size(); ++size) {  // every proper prefix
        EXPECT_EQ(decode(Bytes(write.begin(), write.begin() + static_cast<long>(size))), Truncated)
            << size;
    }
    const std::pair<Bytes, PanelDecodeError> cases[] = {
        {{'G', 'L', 1, 1, 0, 0}, Oversized},  // a byte more than a Hello
        {{'X', 'L', 1, 1, 0}, BadMarker},
        {{'G', 'X', 1, 1, 0}, BadMarker},
        {{'G', 'L', 0, 1, 0}, WrongVersion},
        {{'G', 'L', 2, 9, 0, 0, 0}, WrongVersion},  // a newer panel's new message is no junk
        {{'G', 'L', 1, 0, 0}, UnknownType},
        {{'G', 'L', 1, 6, 0}, UnknownType},
    };
    for (const auto& [bytes, error] : cases) {
        EXPECT_EQ(decode(bytes), error) << ::testing::PrintToString(bytes);
    }
}

TEST(LightPanelProtocol, LampsFollowTheLinesAndPins) {
    // The control lines Strobe, Auto Feed and Select In are inverted, Initialize is not;
    // control bits 4..7 are no lines.
    const std::tuple<uint8_t, uint8_t, uint16_t> lines[] = {{0x00, 0x0B, 0},
                                                            {0xFF, 0x04, 0x0FFF},
                                                            {0x01, 0x0E, 1 | 1 << 8 | 1 << 10},
                                                            {0x02, 0xF3, 0x0002 | 1 << 11}};
    for (const auto& [data, control, levels] : lines) {
        EXPECT_EQ(PanelLineLevels(data, control), levels) << +data << " " << +control;
    }
    // A report sets its group's six pins and leaves the others'; the high bits name the
    // group, and 3 names none.
    uint32_t pins = 0;
    for (const uint8_t report : {0x01, 0x60, 0xA0, 0x00, 0x41, 0x82}) {
        ASSERT_TRUE(ApplyPanelUsbReport(pins, report));
    }
    EXPECT_EQ(pins, 1u << 3 | 1u << 13);  // PB3 and PD1: the others were cleared again
    EXPECT_FALSE(ApplyPanelUsbReport(pins, 0xFF));
    EXPECT_EQ(pins, 1u << 3 | 1u << 13);
    // Each of the 18 report bits lights a pin of its own.
    uint32_t seen = 0;
    for (int bit = 0; bit < kPanelPinCount; ++bit) {
        uint32_t one = 0;
        ASSERT_TRUE(
            ApplyPanelUsbReport(one, static_cast<uint8_t>((bit / 6) << 6 | 1 << (bit % 6))));
        EXPECT_EQ(__builtin_popcount(one) + __builtin_popcount(one & seen), 1) << bit;
        seen |= one;
    }
    EXPECT_EQ(seen, (1u << kPanelPinCount) - 1);
}

TEST(LightPanelProtocol, SocketLivesInTheRuntimeDirOrAPrivateFallback) {
    testing::ScopedEnvironment runtime("XDG_RUNTIME_DIR", "/run/user/1234");
    EXPECT_EQ(LightPanelSocketPath(false), "/run/user/1234/glowtern-panel.sock");
    runtime.set(("/" + std::string(120, 'x')).c_str());
    EXPECT_EQ(LightPanelSocketPath(false), "");  // too long for a socket address

    // Without an absolute XDG_RUNTIME_DIR the fallback is a directory of our own under /tmp.
    // Only looked at when this test can leave it as it found it.
    const std::string directory = "/tmp/glowtern-panel-" + std::to_string(::geteuid());
    if (std::filesystem::exists(directory)) {
        GTEST_SKIP() << directory << " exists (a panel may be using it)";
    }
    runtime.set("relative/dir");
    EXPECT_EQ(LightPanelSocketPath(false), "");  // not made when not asked to
    EXPECT_EQ(LightPanelSocketPath(true), directory + "/glowtern-panel.sock");
    struct stat info {};
    ASSERT_EQ(::lstat(directory.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & (S_IFMT | 0777), S_IFDIR | 0700u);
    runtime.set(nullptr);
    EXPECT_EQ(LightPanelSocketPath(false), directory + "/glowtern-panel.sock");

    // Neither a directory that others may enter nor a link to somewhere else is used.
    ::chmod(directory.c_str(), 0755);
    EXPECT_EQ(LightPanelSocketPath(true), "");
    ::rmdir(directory.c_str());
    testing::TempDir elsewhere;
    ::chmod(elsewhere.path().c_str(), 0700);
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), directory.c_str()), 0);
    EXPECT_EQ(LightPanelSocketPath(true), "");
    ::unlink(directory.c_str());
}

}  // namespace
}  // namespace glowtern
