// The light panel as a lamp of its own: it stands in for a missing parallel port, shows the
// USB light device's pins while its device is plugged in, and is found again after it quits.
#include "outputs/panel_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fake_platform.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_window.h"
#include "tests/unit/light_panel_rig.h"

namespace glowtern {
namespace {

using ListenResult = LightPanelServer::ListenResult;

class PanelOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::DefineEngineControls(controls_);
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
    static LightFrame bands(std::initializer_list<int> on) {
        LightFrame frame;
        frame.bandsDecided = true;
        for (int band : on) {
            frame.channels[band - 1] = true;
        }
        return frame;
    }

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
    rig_.setUsbPlugged(false);
    EXPECT_TRUE(shows(bands({5}), [this](const PanelLamps&) { return !panel_.usbPlugged(); }));
    rig_.setUsbPlugged(true);
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
        if (event.rfind("USB", 0) == 0) {
            usb.push_back(event);
        } else if (event.rfind("DATA", 0) == 0 || event.rfind("CONTROL", 0) == 0) {
            port.push_back(event);
        }
    }
    ASSERT_GE(usb.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(usb.end() - 3, usb.end()),
              (std::vector<std::string>{"USB 0x00 0x00", "USB 0x00 0x40", "USB 0x00 0x80"}));
    ASSERT_GE(port.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(port.end() - 2, port.end()),
              (std::vector<std::string>{"DATA 0x00", "CONTROL 0x0b"}));
    const std::vector<std::string> events = rig_.logEvents();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 3),
              (std::vector<std::string>{"HELLO port", "HELLO usb-watch", "HELLO usb-device"}));
}

TEST_F(PanelOutputTest, AWorkingPortKeepsItsLinesOffThePanel) {
    testing::FakePortModule module;
    BindPortLibrary(port_, module);
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    ASSERT_TRUE(portOutput_.open());
    ASSERT_TRUE(panel_.open());
    EXPECT_FALSE(panel_.drivesPortLines());
    EXPECT_TRUE(shows(bands({5}), [](const PanelLamps& lamps) { return lamps.pins == 1u << 13; }));
    EXPECT_EQ(rig_.lamps().data, 0x00);
    EXPECT_EQ(rig_.with([](LightPanelServer& server) { return server.clientRoles(); }),
              kPanelUsbWatch | kPanelUsbDevice);
    UnbindPortLibrary(port_);
}

}  // namespace
}  // namespace glowtern
