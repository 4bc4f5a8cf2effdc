#include "devices/usb_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "engine/control_ids.h"
#include "tests/support/fake_platform.h"
#include "toolkit/controls.h"

namespace glowtern {
namespace {

using testing::FakeHidDevice;
using Bytes = std::vector<uint8_t>;

FakeHidDevice otherDevice(const std::string& path) {
    return {.path = path, .vendorId = 0x1234, .productId = 0x5678};
}

class UsbDeviceTest : public ::testing::Test {
  protected:
    UsbDeviceTest() {
        controls.define(
            {.id = kDeviceStatusLabel, .kind = ControlKind::TextLabel, .text = "Device OFF"});
        PrepareHidAccess(usb, bus);
    }

    // Polls; the label it leaves.
    std::string poll() {
        PollUsbDevice(usb, controls);
        return controls.text(kDeviceStatusLabel);
    }
    HidHandle writeHandle() {
        const std::lock_guard lock(usb.writeMutex);
        return usb.writeHandle;
    }
    bool present(uint16_t version = kAnyHidVersion, uint16_t index = 0) {
        return IsHidDevicePresent(usb, kUsbProductId, kUsbVendorId, version, index);
    }
    HidHandle open(uint16_t index) {
        return OpenHidDevice(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, index);
    }

    testing::FakeHidBus bus;
    ControlModel controls;
    UsbDevice usb;
};

TEST_F(UsbDeviceTest, NoDeviceListOrHidAccessMeansNoDevice) {
    // HID access that cannot start leaves the device absent for the whole run.
    testing::FakeHidBus noAccess;
    noAccess.initialiseFails = true;
    noAccess.plug({.path = "/dev/hidraw1"});
    UsbDevice device;
    PrepareHidAccess(device, noAccess);
    PollUsbDevice(device, controls);
    SwitchUsbOutputsOff(device);
    EXPECT_EQ(controls.text(kDeviceStatusLabel), "Device OFF");
    EXPECT_EQ(noAccess.listCalls, 0);

    bus.plug({.path = "/dev/hidraw0", .vendorId = 0x046D, .productId = 0xC52B});
    EXPECT_EQ(poll(), "Device OFF");
    SwitchUsbOutputsOff(usb);
    EXPECT_TRUE(bus.opens.empty());
    EXPECT_TRUE(bus.reports.empty());
    // No list at all is the same as no device.
    bus.plug({.path = "/dev/hidraw1"});
    ASSERT_EQ(poll(), "Device ON");
    bus.listFails = true;
    EXPECT_EQ(poll(), "Device OFF");
    EXPECT_TRUE(bus.openHandles().empty());
}

TEST_F(UsbDeviceTest, DeviceIsFollowedFromStartThroughUnplugAndReplug) {
    bus.plug({.path = "/dev/hidraw2"});
    EXPECT_EQ(poll(), "Device ON");  // present at start: opened by the first poll
    const HidHandle first = writeHandle();
    poll();
    poll();
    EXPECT_EQ(bus.openHandles(), std::vector<HidHandle>{first});
    EXPECT_EQ(bus.opens.size(), 1u);
    // Report id 0, then the data byte; bytes 2 and 3 are never sent.
    usb.outputBuffer[2] = 0x55;
    SwitchUsbOutputsOff(usb);
    SendUsbReport(usb, 0xA0);  // "PD7" alone
    WriteUsbReport(usb);       // the buffer as it stands
    std::vector<Bytes> sent;
    for (const auto& report : bus.reports) {
        sent.push_back(report.second);
    }
    EXPECT_EQ(sent, (std::vector<Bytes>{{0, 0x00}, {0, 0x40}, {0, 0x80}, {0, 0xA0}, {0, 0xA0}}));

    bus.unplug("/dev/hidraw2");
    SendUsbReport(usb, 0x3F);  // before the poll notices: goes to the old handle, fails quietly
    EXPECT_EQ(poll(), "Device OFF");
    EXPECT_EQ(bus.closes, std::vector<HidHandle>{first});
    SendUsbReport(usb, 0x7F);
    EXPECT_EQ(bus.reports.size(), 6u);

    bus.plug({.path = "/dev/hidraw2"});
    EXPECT_EQ(poll(), "Device ON");
    const HidHandle second = writeHandle();
    EXPECT_NE(second, first);
    EXPECT_EQ(bus.openHandles(), std::vector<HidHandle>{second});
    SendUsbReport(usb, 0x80);
    EXPECT_EQ(bus.reports.back().first, second);

    ReleaseUsbDevice(usb);
    EXPECT_TRUE(bus.openHandles().empty());
    SendUsbReport(usb, 0x00);
    EXPECT_EQ(bus.reports.size(), 7u);
    EXPECT_EQ(bus.badWrites + bus.badCloses, 0);
}

TEST_F(UsbDeviceTest, TheFirstMatchingDeviceThatOpensIsUsed) {
    bus.plug({.path = "/dev/swapped", .vendorId = kUsbProductId, .productId = kUsbVendorId});
    bus.plug({.path = "/dev/unknown", .attributesKnown = false});
    bus.plug({.path = "/dev/vendor-only", .productId = 0xEF23});
    EXPECT_EQ(poll(), "Device OFF");
    EXPECT_EQ(open(0), 0);
    EXPECT_TRUE(bus.opens.empty());

    // Any release number, unless a definite version is asked for.
    bus.plug({.path = "/dev/a", .releaseNumber = 0xFFFF});
    bus.plug(otherDevice("/dev/other"));
    bus.plug({.path = "/dev/b", .releaseNumber = 0});
    EXPECT_TRUE(present(kAnyHidVersion, 1));
    EXPECT_FALSE(present(kAnyHidVersion, 2));
    EXPECT_TRUE(present(0x0000, 0));
    EXPECT_FALSE(present(0x0100, 0));
    EXPECT_EQ(poll(), "Device ON");
    EXPECT_EQ(bus.opens.back(), "/dev/a");
    // An interface that cannot be opened for writing is skipped without being counted.
    bus.failingOpens = {"/dev/a"};
    CloseHidDevice(usb, open(0));
    EXPECT_EQ(bus.opens.back(), "/dev/b");
    EXPECT_EQ(open(1), 0);
}

TEST_F(UsbDeviceTest, FailedOpenShowsOnWritesNothingAndIsNotRetried) {
    bus.plug({.path = "/dev/locked"});
    bus.failingOpens = {"/dev/locked"};
    EXPECT_EQ(poll(), "Device ON");
    SendUsbReport(usb, 0x21);
    SwitchUsbOutputsOff(usb);
    EXPECT_TRUE(bus.reports.empty());
    bus.failingOpens.clear();
    poll();
    EXPECT_EQ(bus.opens.size(), 1u);
    EXPECT_EQ(writeHandle(), 0);
    bus.unplug("/dev/locked");
    EXPECT_EQ(poll(), "Device OFF");
    bus.plug({.path = "/dev/locked"});
    EXPECT_EQ(poll(), "Device ON");
    EXPECT_NE(writeHandle(), 0);
}

// The worker writes reports without pause while the main thread plugs, unplugs and polls;
// every write must reach an open handle, never one being closed.
TEST_F(UsbDeviceTest, PollNeverClosesAHandleUnderAWrite) {
    bus.writeDuration = std::chrono::microseconds(20);
    std::atomic<bool> stop{false};
    std::atomic<int> cycles{0};
    std::thread worker([&] {
        while (!stop.load()) {
            SwitchUsbOutputsOff(usb);
            cycles.fetch_add(1);
        }
    });
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; ++round) {
        if (round % 2 == 0) {
            bus.plug({.path = "/dev/hidraw0"});
        } else {
            bus.unplug("/dev/hidraw0");
        }
        poll();
        // Let the worker run at least one whole cycle on the new state before the next
        // change (the cycle under way may have begun before the poll).
        const int seen = cycles.load();
        while (cycles.load() < seen + 2) {
            std::this_thread::yield();
        }
    }
    stop.store(true);
    worker.join();

    EXPECT_EQ(bus.badWrites + bus.badCloses, 0);
    std::set<HidHandle> handlesWritten;
    for (const auto& report : bus.reports) {
        handlesWritten.insert(report.first);
    }
    // Each plugging got a handle and the worker wrote through every one of them.
    EXPECT_EQ(handlesWritten.size(), static_cast<size_t>(kRounds / 2));
    EXPECT_EQ(bus.closes.size(), static_cast<size_t>(kRounds / 2));
}

}  // namespace
}  // namespace glowtern
