// Glowtern's port module and HID layer turning to the light panel on a machine without the
// hardware: the driver check, port writes, the virtual USB device's presence and reports,
// and a panel that quits and comes back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
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

using std::chrono::milliseconds;
using testing::PanelRig;
using ListenResult = LightPanelServer::ListenResult;

bool portDeviceOpens() {
    const int fd = ::open("/dev/parport0", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

class LightPanelModulesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (portDeviceOpens()) {
            GTEST_SKIP() << "this machine has a parallel port, which the module takes first";
        }
    }

    testing::TempDir dir_;
    testing::ScopedEnvironment runtime_{"XDG_RUNTIME_DIR", dir_.path().string()};
    PanelRig rig_{dir_.file("glowtern-panel.sock"), dir_.file("panel.log")};
};

TEST_F(LightPanelModulesTest, WithoutPortOrPanelTheDriverIsMissing) {
    PpdevPortModule module;
    PortLibrary library;
    BindPortLibrary(library, module);
    EXPECT_FALSE(CheckPortDriver(library));
    WritePort(library, 0x378, 0x02);  // goes nowhere
    UnbindPortLibrary(library);

    HidapiBus bus;
    ASSERT_TRUE(bus.initialise());
    std::vector<HidInterface> interfaces;
    ASSERT_TRUE(bus.listInterfaces(interfaces));
    for (const HidInterface& entry : interfaces) {
        EXPECT_NE(entry.path, kPanelUsbPath);
    }
    EXPECT_EQ(bus.open(kPanelUsbPath), 0);
}

TEST_F(LightPanelModulesTest, PortWritesGoToThePanelAndFindItAgainAfterARestart) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    PpdevPortModule module;
    PortLibrary library;
    BindPortLibrary(library, module);
    ASSERT_TRUE(CheckPortDriver(library));
    ASSERT_TRUE(rig_.waitForLog("HELLO port"));

    WritePort(library, 0x378, 0x02);
    WritePort(library, 0x379, 0x55);  // no register: not sent
    WritePort(library, 0x37A, 0x0E);
    ASSERT_TRUE(rig_.waitForLog("CONTROL 0x0e"));
    EXPECT_FALSE(rig_.logged("PORT 0x0379 0x55"));
    EXPECT_EQ(rig_.with([](LightPanelServer& server) { return server.lamps().lines; }),
              0x0002 | 1 << 8 | 1 << 10);

    // The panel quits: writes go nowhere, without SIGPIPE and without waiting.
    rig_.stop();
    for (int i = 0; i < 20; ++i) {
        WritePort(library, 0x378, 0x04);
    }
    EXPECT_FALSE(CheckPortDriver(library));

    // It comes back: within about a second the writes arrive again.
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    const bool arrived = rig_.waitFor([&library](LightPanelServer& server) {
        WritePort(library, 0x378, 0x08);
        return server.lamps().data == 0x08;
    });
    EXPECT_TRUE(arrived);
    EXPECT_TRUE(CheckPortDriver(library));
    const std::vector<std::string> events = rig_.logEvents();
    EXPECT_EQ(std::count(events.begin(), events.end(), "HELLO port"), 2);
    EXPECT_EQ(std::count(events.begin(), events.end(), "DATA 0x04"), 0);

    UnbindPortLibrary(library);
    EXPECT_TRUE(rig_.waitForLog("BYE port"));
    WritePort(library, 0x378, 0x10);  // after unbinding: nothing
}

class LightPanelUsbTest : public LightPanelModulesTest {
  protected:
    void SetUp() override {
        LightPanelModulesTest::SetUp();
        ControlSpec label;
        label.id = kDeviceStatusLabel;
        label.kind = ControlKind::TextLabel;
        label.text = "Device OFF";
        controls_.define(label);
        PrepareHidAccess(usb_, bus_);
        ASSERT_NE(usb_.bus, nullptr);
    }
    void TearDown() override { ReleaseUsbDevice(usb_); }

    std::string poll() {
        PollUsbDevice(usb_, controls_);
        return controls_.text(kDeviceStatusLabel);
    }
    // Sends `byte` until the panel shows it (a new handle's first reports may race its Hello).
    bool reaches(uint8_t byte, uint32_t pins) {
        return rig_.waitFor([&](LightPanelServer& server) {
            SendUsbReport(usb_, byte);
            return server.lamps().pins == pins;
        });
    }

    HidapiBus bus_;
    ControlModel controls_;
    UsbDevice usb_;
};

TEST_F(LightPanelUsbTest, TheVirtualDeviceIsListedAfterTheRealOnesWhileThePanelRuns) {
    std::vector<HidInterface> before;
    ASSERT_TRUE(bus_.listInterfaces(before));

    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    std::vector<HidInterface> interfaces;
    ASSERT_TRUE(bus_.listInterfaces(interfaces));
    ASSERT_EQ(interfaces.size(), before.size() + 1);
    const HidInterface& panel = interfaces.back();
    EXPECT_EQ(panel.path, "glowtern-panel:usb");
    EXPECT_EQ(panel.vendorId, 0xAAAA);
    EXPECT_EQ(panel.productId, 0xEF22);
    EXPECT_TRUE(panel.attributesKnown);

    const HidHandle handle = bus_.open(panel.path);
    ASSERT_NE(handle, 0);
    const uint8_t report[] = {0x00, 0x82};
    EXPECT_TRUE(bus_.write(handle, report, 2));
    EXPECT_FALSE(bus_.write(handle, report, 1));  // only whole two-byte reports
    ASSERT_TRUE(rig_.waitForLog("USB 0x00 0x82"));
    EXPECT_EQ(rig_.with([](LightPanelServer& server) { return server.lamps().pins; }), 1u << 13);
    bus_.close(handle);
    EXPECT_TRUE(rig_.waitForLog("BYE usb-device"));
}

TEST_F(LightPanelUsbTest, DeviceComesAndGoesWithThePanel) {
    EXPECT_EQ(poll(), "Device OFF");
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    EXPECT_EQ(poll(), "Device ON");
    EXPECT_TRUE(reaches(0x82, 1u << 13));

    // The panel quits: the next poll finds the device gone; reports meanwhile go nowhere.
    rig_.stop();
    SendUsbReport(usb_, 0x81);
    EXPECT_EQ(poll(), "Device OFF");
    EXPECT_EQ(poll(), "Device OFF");

    // It is back: so is the device, with a fresh handle.
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    EXPECT_EQ(poll(), "Device ON");
    EXPECT_TRUE(reaches(0xA0, 1u << 17));

    // A restart between two polls: the device is seen to go and come back, so the handle
    // to the old panel is replaced.
    rig_.stop();
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    EXPECT_EQ(poll(), "Device OFF");
    EXPECT_EQ(poll(), "Device ON");
    EXPECT_TRUE(reaches(0x3F, 0x0FC0));  // all of group C

    // Pulled out on the panel, and plugged in again.
    rig_.with([](LightPanelServer& server) {
        server.setUsbPlugged(false);
        return 0;
    });
    EXPECT_EQ(poll(), "Device OFF");
    rig_.with([](LightPanelServer& server) {
        server.setUsbPlugged(true);
        return 0;
    });
    EXPECT_EQ(poll(), "Device ON");
    EXPECT_TRUE(reaches(0x41, 1u << 3));
}

}  // namespace
}  // namespace glowtern
