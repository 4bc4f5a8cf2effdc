// The light panel as a lamp of its own: it stands in for a missing parallel port, shows the
// USB light device's pins while its device is plugged in, and is found again after it quits.
#include "outputs/panel_output.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/program_rig.h"
#include "tests/unit/light_panel_rig.h"

namespace glowtern {
namespace {

using ListenResult = LightPanelServer::ListenResult;

class PanelOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::DefineMainWindowControls(controls_);
        controls_.setState(outputSelector(2), 5);  // PD1 follows band 5
    }

    // Writes `frame` until the panel shows it as `done` says, or gives up.
    template <typename Done>
    bool shows(const LightFrame& frame, Done done) {
        return rig_.waitFor([&](LightPanelServer& server) {
            panel_.write(frame);
            return done(server.lamps());
        });
    }
    static LightFrame bands(std::initializer_list<int> on) { return testing::FrameWith(on); }

    testing::TempDir dir_;
    testing::ScopedEnvironment runtime_{"XDG_RUNTIME_DIR", dir_.path().c_str()};
    testing::PanelRig rig_{dir_.file("glowtern-panel.sock"), dir_.file("panel.log")};
    ControlModel controls_;
    PortLibrary port_;  // unbound: no port
    PortOutput portOutput_{port_, controls_};
    PanelOutput panel_{dir_.file("glowtern-panel.sock"), portOutput_, controls_};
};

TEST_F(PanelOutputTest, StandsInForTheMissingPortAndFindsThePanelAgainAfterARestart) {
    EXPECT_FALSE(portOutput_.open());
    EXPECT_FALSE(panel_.open()) << "no panel runs yet";
    EXPECT_FALSE(panel_.drivesPortLines());
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    ASSERT_TRUE(panel_.open());
    EXPECT_TRUE(panel_.drivesPortLines());
    EXPECT_TRUE(panel_.usbPlugged());
    // Band 5 lights D1 and, through OUT2, pin PD1; band 14 the Initialize line.
    EXPECT_TRUE(shows(bands({5, 14}), [](const PanelLamps& lamps) {
        return lamps.lines == (0x0002 | 1 << 10) && lamps.pins == 1u << 13;
    }));

    // The panel quits: writes go nowhere, without waiting; it comes back and within about
    // a second the writes arrive again.
    rig_.stop();
    for (int i = 0; i < 20; ++i) {
        panel_.write(bands({6}));
    }
    EXPECT_FALSE(panel_.usbPlugged());
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    EXPECT_TRUE(shows(
        bands({6}), [](const PanelLamps& lamps) { return lamps.data == 0x04 && lamps.pins == 0; }));
    EXPECT_TRUE(shows(bands({5}), [](const PanelLamps& lamps) { return lamps.pins == 1u << 13; }));
    EXPECT_TRUE(panel_.usbPlugged());

    // Its device pulled out and plugged in again: the USB label follows, the pins come back.
    rig_.with([](LightPanelServer& server) { server.setUsbPlugged(false); });
    EXPECT_TRUE(shows(bands({5}), [this](const PanelLamps&) { return !panel_.usbPlugged(); }));
    rig_.with([](LightPanelServer& server) { server.setUsbPlugged(true); });
    EXPECT_TRUE(shows(bands({5}), [this](const PanelLamps& lamps) {
        return panel_.usbPlugged() && lamps.pins == 1u << 13;
    }));

    // Switched off: the USB device's off reports and the port at rest (each on its own
    // connection), then goodbye.
    panel_.switchOff();
    ASSERT_TRUE(rig_.waitForLog("BYE usb-watch"));
    std::vector<std::string> usb;
    std::vector<std::string> port;
    for (const std::string& event : rig_.logEvents()) {
        (event.starts_with("USB") ? usb : port).push_back(event);
    }
    ASSERT_GE(usb.size(), 3u);
    EXPECT_EQ(std::vector(usb.end() - 3, usb.end()),
              (std::vector<std::string>{"USB 0x00 0x00", "USB 0x00 0x40", "USB 0x00 0x80"}));
    std::erase_if(port, [](const std::string& e) {
        return !e.starts_with("DATA") && !e.starts_with("CONTROL");
    });
    ASSERT_GE(port.size(), 2u);
    EXPECT_EQ(std::vector(port.end() - 2, port.end()),
              (std::vector<std::string>{"DATA 0x00", "CONTROL 0x0b"}));
    std::vector<std::string> events = rig_.logEvents();
    ASSERT_GE(events.size(), 3u);
    events.resize(3);
    std::ranges::sort(events);
    EXPECT_EQ(events,
              (std::vector<std::string>{"HELLO port", "HELLO usb-device", "HELLO usb-watch"}));
}

// A panel that takes connections and then keeps silent, served by this very thread: a write
// that waited for its answer would wait in vain. The writes take the answer in when it has
// come, and only then open the device's own connection.
TEST_F(PanelOutputTest, WritesNeverWaitForASilentPanel) {
    const int listener = testing::rawSocket(dir_.file("glowtern-panel.sock"), true);
    ASSERT_FALSE(panel_.open()) << "start-up waits its bounded while for the port lines";
    const int watch = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    const int lines = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_EQ(testing::rawReceive(watch),
              testing::Encode({.type = PanelMessageType::Hello, .flags = kPanelUsbWatch}));
    for (int i = 0; i < 5; ++i) {
        panel_.write(bands({5}));
    }
    EXPECT_FALSE(panel_.usbPlugged());
    testing::rawSend(watch, testing::Encode({.type = PanelMessageType::Welcome,
                                             .flags = kPanelPort | kPanelUsb}));
    panel_.write(bands({5}));
    EXPECT_TRUE(panel_.usbPlugged());
    const int device = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_EQ(testing::rawReceive(device),
              testing::Encode({.type = PanelMessageType::Hello, .flags = kPanelUsbDevice}));
    EXPECT_EQ(testing::rawReceive(device),
              testing::Encode({.type = PanelMessageType::UsbReport, .report = {0x00, 0x00}}));
    for (const int fd : {device, watch, lines, listener}) {
        ::close(fd);
    }
}

}  // namespace
}  // namespace glowtern
