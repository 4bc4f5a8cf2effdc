// Glowtern's port module and HID layer turning to the light panel on a machine without the
// hardware: the driver check, port writes, the virtual USB device's presence and reports,
// and a panel that quits and comes back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "devices/port_library.h"
#include "devices/usb_device.h"
#include "engine/control_ids.h"
#include "platform/hid_hidapi.h"
#include "platform/ppdev_port_module.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/light_panel_rig.h"
#include "toolkit/controls.h"

namespace glowtern {
namespace {

using ListenResult = LightPanelServer::ListenResult;

class LightPanelModulesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const int fd = ::open("/dev/parport0", O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            GTEST_SKIP() << "this machine has a parallel port, which the module takes first";
        }
    }

    testing::TempDir dir_;
    testing::ScopedEnvironment runtime_{"XDG_RUNTIME_DIR", dir_.path().c_str()};
    testing::PanelRig rig_{dir_.file("glowtern-panel.sock"), dir_.file("panel.log")};
};

TEST_F(LightPanelModulesTest, PortWritesGoToThePanelAndFindItAgainAfterARestart) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    PpdevPortModule module;
    PortLibrary library;
    BindPortLibrary(library, module);
    ASSERT_TRUE(CheckPortDriver(library));
    WritePort(library, 0x378, 0x02);
    WritePort(library, 0x379, 0x55);  // no register of the panel's: not sent
    WritePort(library, 0x37A, 0x0E);
    ASSERT_TRUE(rig_.waitForLog("CONTROL 0x0e"));
    EXPECT_EQ(rig_.lamps().lines, 0x0002 | 1 << 8 | 1 << 10);

    // The panel quits: writes go nowhere, without waiting.
    rig_.stop();
    for (int i = 0; i < 20; ++i) {
        WritePort(library, 0x378, 0x04);
    }
    EXPECT_FALSE(CheckPortDriver(library));
    // It comes back: within about a second the writes arrive again.
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    EXPECT_TRUE(rig_.waitFor([&library](LightPanelServer& server) {
        WritePort(library, 0x378, 0x08);
        return server.lamps().data == 0x08;
    }));
    EXPECT_TRUE(CheckPortDriver(library));
    UnbindPortLibrary(library);
    EXPECT_TRUE(rig_.waitForLog("BYE port"));
    const std::vector<std::string> events = rig_.logEvents();
    ASSERT_GE(events.size(), 4u);
    const std::vector<std::string> first(events.begin(), events.begin() + 4);
    EXPECT_EQ(first,
              (std::vector<std::string>{"HELLO port", "DATA 0x02", "CONTROL 0x0e", "HELLO port"}));

    // Without port or panel the driver is missing.
    rig_.stop();
    BindPortLibrary(library, module);
    EXPECT_FALSE(CheckPortDriver(library));
    UnbindPortLibrary(library);
}

TEST_F(LightPanelModulesTest, TheVirtualUsbDeviceComesAndGoesWithThePanel) {
    ControlModel controls;
    controls.define(
        {.id = kDeviceStatusLabel, .kind = ControlKind::TextLabel, .text = "Device OFF"});
    HidapiBus bus;
    UsbDevice usb;
    PrepareHidAccess(usb, bus);
    ASSERT_NE(usb.bus, nullptr);
    // The device layer finds the device by its ids in the HID layer's listing.
    const auto poll = [&] {
        PollUsbDevice(usb, controls);
        return controls.text(kDeviceStatusLabel);
    };
    // The device shows up once the panel has answered, at a later poll.
    const auto comesOn = [&] { return testing::Eventually([&] { return poll() == "Device ON"; }); };
    // Sends `byte` until the panel shows it (a new handle's first reports may race its Hello).
    const auto reaches = [&](uint8_t byte, uint32_t pins) {
        return rig_.waitFor([&](LightPanelServer& server) {
            SendUsbReport(usb, byte);
            return server.lamps().pins == pins;
        });
    };

    EXPECT_EQ(poll(), "Device OFF");
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    EXPECT_TRUE(comesOn());
    EXPECT_TRUE(reaches(0x82, 1u << 13));

    // The panel quits: the device is gone; reports meanwhile go nowhere.
    rig_.stop();
    SendUsbReport(usb, 0x81);
    EXPECT_EQ(poll(), "Device OFF");
    // It is back: so is the device, with a fresh handle.
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    EXPECT_TRUE(comesOn());
    EXPECT_TRUE(reaches(0xA0, 1u << 17));

    // A restart between two polls: the device is seen to go and come back, so the handle
    // to the old panel is replaced.
    rig_.stop();
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    EXPECT_EQ(poll(), "Device OFF");
    EXPECT_TRUE(comesOn());
    EXPECT_TRUE(reaches(0x3F, 0x0FC0));  // all of group C

    // Pulled out on the panel, and plugged in again.
    rig_.setUsbPlugged(false);
    EXPECT_EQ(poll(), "Device OFF");
    rig_.setUsbPlugged(true);
    EXPECT_EQ(poll(), "Device ON");
    EXPECT_TRUE(reaches(0x41, 1u << 3));
    ReleaseUsbDevice(usb);
}

}  // namespace
}  // namespace glowtern
