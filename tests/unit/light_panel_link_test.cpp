// Glowtern's connections to the light panel and the panel's server, both ways: the
// handshake and writes, malformed messages on either side, a panel that goes away or stops
// reading, the limits, peers that never speak, and peers of another user.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "platform/light_panel_client.h"
#include "platform/light_panel_server.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/light_panel_rig.h"

namespace glowtern {
namespace {

using testing::Bytes;
using testing::Encode;
using testing::rawReceive;
using testing::rawSend;
using testing::rawSocket;
using ListenResult = LightPanelServer::ListenResult;
constexpr auto kConnected = PanelConnectResult::Connected;

const Bytes kHello = Encode({.type = PanelMessageType::Hello, .flags = kPanelPort});

PanelMessage portWrite(uint16_t port, uint8_t value = 0) {
    return {.type = PanelMessageType::PortWrite, .port = port, .value = value};
}

class LightPanelLinkTest : public ::testing::Test {
  protected:
    std::string socketPath() const { return dir_.file("glowtern-panel.sock"); }
    PanelConnectResult connect(PanelLink& link, int waitMs = 5000, uint8_t roles = kPanelPort) {
        return ConnectPanelLink(link, socketPath(), roles, waitMs);
    }

    testing::TempDir dir_;
    testing::ScopedEnvironment runtime_{"XDG_RUNTIME_DIR", dir_.path().c_str()};
    testing::PanelRig rig_{socketPath(), dir_.file("panel.log")};
};

TEST_F(LightPanelLinkTest, WritesReachThePanelWhichLogsThem) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    struct stat info {};
    ASSERT_EQ(::stat(socketPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    PanelLink link;
    ASSERT_EQ(connect(link, 5000, kPanelPort | kPanelUsbDevice), kConnected);
    EXPECT_EQ(link.offers, kPanelPort | kPanelUsb);
    for (const PanelMessage& message :
         {portWrite(0x378, 0x02), portWrite(0x379, 0x55), portWrite(0x37A, 0x0E),
          PanelMessage{.type = PanelMessageType::UsbReport, .report = {0x05, 0x3F}},
          PanelMessage{.type = PanelMessageType::UsbReport, .report = {0x00, 0x82}}}) {
        EXPECT_EQ(SendToPanel(link, message), PanelSendResult::Sent);
    }
    ASSERT_TRUE(rig_.waitForLog("USB 0x00 0x82"));
    EXPECT_EQ(rig_.lamps().lines, 0x0002 | 1 << 8 | 1 << 10);
    EXPECT_EQ(rig_.lamps().pins, 1u << 13);  // PD1; the numbered report is not the device's
    ClosePanelLink(link);
    ASSERT_TRUE(rig_.waitForLog("BYE port+usb-device"));
    rig_.stop();
    EXPECT_FALSE(std::filesystem::exists(socketPath()));
    EXPECT_EQ(rig_.logEvents(),
              (std::vector<std::string>{"HELLO port+usb-device", "DATA 0x02", "PORT 0x0379 0x55",
                                        "CONTROL 0x0e", "USB 0x00 0x82", "BYE port+usb-device"}));
}

TEST_F(LightPanelLinkTest, PanelHangsUpOnWhatItCannotTakeAndServesOthersOn) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    PanelLink good;
    ASSERT_EQ(connect(good), kConnected);
    const std::pair<std::vector<Bytes>, const char*> cases[] = {
        {{{0x13, 0x37, 0x00, 0xFF, 0x42}}, "REFUSED bad-marker"},
        {{{'G', 'L', 2, 1, 0x01}}, "REFUSED wrong-version"},
        {{Encode(portWrite(0x378))}, "REFUSED no-hello"},
        {{kHello, kHello}, "REFUSED second-hello"},
        {{kHello, Encode({.type = PanelMessageType::Welcome})}, "REFUSED wrong-direction"},
        {{kHello, {'G', 'L', 1, 3, 0x78, 0x03}}, "REFUSED truncated"},
        {{{}}, nullptr},  // an empty packet: a plain hang-up
    };
    for (const auto& [packets, refusal] : cases) {
        SCOPED_TRACE(::testing::PrintToString(packets));
        const int fd = rawSocket(socketPath(), false);
        for (const Bytes& packet : packets) {
            rawSend(fd, packet);
        }
        // A Welcome for a proper Hello first, then the hang-up; the panel logs why before.
        std::optional<Bytes> answer = rawReceive(fd);
        answer = answer && answer->size() == 5 && (*answer)[3] == 2 ? rawReceive(fd) : answer;
        EXPECT_EQ(answer, std::nullopt) << "the panel did not hang up";
        ::close(fd);
        if (refusal != nullptr) {
            EXPECT_EQ(rig_.logEvents().back(), refusal);
        }
    }
    // The well-behaved client was never disturbed.
    EXPECT_EQ(SendToPanel(good, portWrite(0x378, 0x80)), PanelSendResult::Sent);
    EXPECT_TRUE(rig_.waitForLog("DATA 0x80"));
    EXPECT_TRUE(PumpPanelLink(good));
}

// A panel that never answers, or answers with something that is not a Welcome, is given up
// on: Glowtern never waits on it longer than it said.
TEST_F(LightPanelLinkTest, GlowternGivesUpOnAPanelThatDoesNotWelcomeIt) {
    const int panel = rawSocket(socketPath(), true);
    PanelLink link;
    for (const Bytes& answer : {Bytes{'X', 'L', 1, 2, kPanelPort}, kHello}) {
        ASSERT_EQ(connect(link, 0), kConnected);  // the answer is taken in by the pump
        const int fd = ::accept4(panel, nullptr, nullptr, SOCK_CLOEXEC);
        rawSend(fd, answer);
        EXPECT_FALSE(PumpPanelLink(link));
        EXPECT_EQ(SendToPanel(link, portWrite(0x378)), PanelSendResult::Closed);
        ::close(fd);
    }
    EXPECT_EQ(connect(link, 200), PanelConnectResult::NoWelcome);
    EXPECT_EQ(link.fd, -1);
    ::close(panel);
}

TEST_F(LightPanelLinkTest, OnePanelSomeClientsAndSendsThatNeverWait) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    LightPanelServer second;
    std::string error;
    EXPECT_EQ(second.listen(socketPath(), error), ListenResult::PanelRunning);

    std::vector<PanelLink> links(LightPanelServer::kMaxClients + 1);
    for (PanelLink& link : links) {
        EXPECT_EQ(connect(link),
                  &link == &links.back() ? PanelConnectResult::NoWelcome : kConnected);
    }
    EXPECT_TRUE(rig_.waitForLog("REFUSED too-many"));
    ClosePanelLink(links.front());  // makes room
    EXPECT_TRUE(testing::Eventually([&] { return connect(links.back()) == kConnected; }));
    for (PanelLink& link : links) {
        ClosePanelLink(link);
    }

    // Once the first panel has gone, the second may take its place. Nobody serves it here:
    // sends fill the socket and are then dropped, not waited on.
    rig_.stop();
    ASSERT_EQ(second.listen(socketPath(), error), ListenResult::Listening) << error;
    PanelLink link;
    ASSERT_EQ(connect(link, 0), kConnected);
    int dropped = 0;
    for (int i = 0; i < 100000 && dropped == 0; ++i) {
        dropped += SendToPanel(link, portWrite(0x378)) == PanelSendResult::Dropped ? 1 : 0;
    }
    EXPECT_EQ(dropped, 1);
    EXPECT_GE(link.fd, 0);  // still connected
    ClosePanelLink(link);
}

// More silent connections than the panel has clients: Glowtern is welcomed all the same, and
// the silent ones are hung up on within about a second. The rig serves the panel only when
// its descriptor turns readable, so that deadline must wake it by itself.
TEST_F(LightPanelLinkTest, SilentPeersDoNotKeepGlowternOut) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    std::vector<int> silent;
    for (size_t i = 0; i < LightPanelServer::kMaxClients + 4; ++i) {
        silent.push_back(rawSocket(socketPath(), false));
    }
    // Once the panel has taken them all in (pushing out those beyond its allowance), so that
    // Glowtern's connection does not find the listener's queue full.
    ASSERT_TRUE(rig_.waitFor([&](LightPanelServer& server) {
        return server.refusedCount() >=
               static_cast<int>(silent.size() - LightPanelServer::kMaxWaiting);
    }));
    PanelLink link;
    EXPECT_EQ(connect(link), kConnected);
    EXPECT_TRUE(testing::Eventually([&] {
        return std::ranges::all_of(silent, [](int fd) {
            uint8_t byte;
            return ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) == 0;  // hung up
        });
    }));
    EXPECT_TRUE(rig_.waitForLog("REFUSED no-hello-in-time"));
    EXPECT_EQ(SendToPanel(link, portWrite(0x378, 0x01)), PanelSendResult::Sent);
    EXPECT_TRUE(rig_.waitForLog("DATA 0x01"));
    for (const int fd : silent) {
        ::close(fd);
    }
    ClosePanelLink(link);
}

}  // namespace
}  // namespace glowtern
