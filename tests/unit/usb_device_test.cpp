#include "devices/usb_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "engine/control_ids.h"
#ifdef _WIN32
#include "platform/hid_win32.h"
#else
#include "platform/hid_hidapi.h"
#endif
#include "tests/support/fake_hid_bus.h"
#include "tests/support/temp_dir.h"
#include "toolkit/controls.h"

namespace glowtern {
namespace {

using testing::FakeHidBus;
using testing::FakeHidDevice;
using Bytes = std::vector<uint8_t>;

FakeHidDevice lightDevice(const std::string& path, uint16_t release = 0x0100) {
    return {path, kUsbVendorId, kUsbProductId, release, true};
}
FakeHidDevice otherDevice(const std::string& path) {
    return {path, 0x1234, 0x5678, 1, true};
}

class UsbDeviceTest : public ::testing::Test {
  protected:
    UsbDeviceTest() {
        controls.define(
            {.id = kDeviceStatusLabel, .kind = ControlKind::TextLabel, .text = "Device OFF"});
    }

    void prepare() { PrepareHidAccess(usb, bus); }
    void poll() { PollUsbDevice(usb, controls); }
    std::string label() const { return controls.text(kDeviceStatusLabel); }
    HidHandle writeHandle() {
        std::lock_guard lock(usb.writeMutex);
        return usb.writeHandle;
    }
    std::vector<Bytes> reportBytes() const {
        std::vector<Bytes> result;
        for (const auto& report : bus.reports()) {
            result.push_back(report.bytes);
        }
        return result;
    }
    bool present(uint16_t version = kAnyHidVersion, uint16_t index = 0) {
        return IsHidDevicePresent(usb, kUsbProductId, kUsbVendorId, version, index);
    }
    HidHandle open(uint16_t index) {
        return OpenHidDevice(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, index);
    }

    FakeHidBus bus;
    ControlModel controls;
    UsbDevice usb;
};

TEST_F(UsbDeviceTest, NoDeviceListOrHidAccessChangesNothing) {
    // HID access that cannot start leaves the device absent for the whole run.
    bus.setInitialiseFails(true);
    bus.plug(lightDevice("/dev/hidraw1"));
    UsbDevice noAccess;
    PrepareHidAccess(noAccess, bus);
    PollUsbDevice(noAccess, controls);
    EXPECT_EQ(label(), "Device OFF");
    EXPECT_EQ(bus.listCalls(), 0);
    SwitchUsbOutputsOff(noAccess);

    bus.setInitialiseFails(false);
    bus.unplug("/dev/hidraw1");
    bus.plug({"/dev/hidraw0", 0x046D, 0xC52B, 0x1200, true});  // some other device
    prepare();
    poll();
    EXPECT_EQ(label(), "Device OFF");
    SwitchUsbOutputsOff(usb);
    EXPECT_TRUE(bus.opens().empty());
    EXPECT_TRUE(bus.reports().empty());
    // No list at all is the same as no device.
    bus.plug(lightDevice("/dev/hidraw1"));
    poll();
    ASSERT_EQ(label(), "Device ON");
    bus.setListFails(true);
    poll();
    EXPECT_EQ(label(), "Device OFF");
    EXPECT_TRUE(bus.openHandles().empty());
}

TEST_F(UsbDeviceTest, DeviceIsFollowedFromStartThroughUnplugAndReplug) {
    bus.plug(lightDevice("/dev/hidraw2"));
    prepare();
    poll();  // present at start: opened by the first poll
    EXPECT_EQ(label(), "Device ON");
    const HidHandle first = writeHandle();
    EXPECT_EQ(bus.openHandles(), std::vector<HidHandle>{first});
    poll();
    poll();
    EXPECT_EQ(bus.opens().size(), 1u);
    // Report id 0, then the data byte; bytes 2 and 3 are never sent.
    usb.outputBuffer[2] = 0x55;
    SwitchUsbOutputsOff(usb);
    SendUsbReport(usb, 0x01);  // "PC4" alone
    SendUsbReport(usb, 0x60);  // "PB0" alone
    SendUsbReport(usb, 0xA0);  // "PD7" alone
    WriteUsbReport(usb);       // the buffer as it stands
    EXPECT_EQ(reportBytes(), (std::vector<Bytes>{{0x00, 0x00},
                                                 {0x00, 0x40},
                                                 {0x00, 0x80},
                                                 {0x00, 0x01},
                                                 {0x00, 0x60},
                                                 {0x00, 0xA0},
                                                 {0x00, 0xA0}}));

    bus.unplug("/dev/hidraw2");
    SendUsbReport(usb, 0x3F);  // before the poll notices: goes to the old handle, fails quietly
    poll();
    EXPECT_EQ(label(), "Device OFF");
    EXPECT_EQ(bus.closes(), std::vector<HidHandle>{first});
    SendUsbReport(usb, 0x7F);
    EXPECT_EQ(bus.reports().size(), 8u);

    bus.plug(lightDevice("/dev/hidraw2"));
    poll();
    EXPECT_EQ(label(), "Device ON");
    const HidHandle second = writeHandle();
    EXPECT_NE(second, first);
    EXPECT_EQ(bus.openHandles(), std::vector<HidHandle>{second});
    SendUsbReport(usb, 0x80);
    EXPECT_EQ(bus.reports().back().handle, second);

    ReleaseUsbDevice(usb);
    EXPECT_TRUE(bus.openHandles().empty());
    SendUsbReport(usb, 0x00);
    EXPECT_EQ(bus.reports().size(), 9u);
    EXPECT_EQ(bus.badWrites(), 0);
    EXPECT_EQ(bus.badCloses(), 0);
}

TEST_F(UsbDeviceTest, MatchesProductThenVendorAndAnyRelease) {
    prepare();
    bus.plug({"/dev/swapped", kUsbProductId, kUsbVendorId, 0x0100, true});
    bus.plug({"/dev/unknown", kUsbVendorId, kUsbProductId, 0x0100, false});
    bus.plug({"/dev/vendor-only", kUsbVendorId, 0xEF23, 0x0100, true});
    poll();
    EXPECT_EQ(label(), "Device OFF");
    EXPECT_EQ(open(0), 0);
    EXPECT_TRUE(bus.opens().empty());

    for (const uint16_t release : {0x0000, 0x1234, 0xFFFF}) {
        const std::string path = "/dev/release-" + std::to_string(release);
        bus.plug(lightDevice(path, release));
        EXPECT_TRUE(present()) << release;
        bus.unplug(path);
    }
    // A definite version must equal the release number.
    bus.plug(lightDevice("/dev/v1", 0x0100));
    EXPECT_TRUE(present(0x0100));
    EXPECT_FALSE(present(0x0101));
    // Product first, then vendor: the ids the other way round find the swapped device.
    const HidHandle swapped = OpenHidDevice(usb, kUsbVendorId, kUsbProductId, kAnyHidVersion, 0);
    EXPECT_NE(swapped, 0);
    EXPECT_EQ(bus.opens().back().path, "/dev/swapped");
    CloseHidDevice(usb, swapped);
}

TEST_F(UsbDeviceTest, FirstOfSeveralDevicesIsUsedAmongTheFirst256Interfaces) {
    prepare();
    bus.plug(lightDevice("/dev/a", 0x0001));
    bus.plug(otherDevice("/dev/other"));
    bus.plug(lightDevice("/dev/b", 0x0002));
    poll();
    ASSERT_EQ(bus.opens().size(), 1u);
    EXPECT_EQ(bus.opens()[0].path, "/dev/a");
    EXPECT_TRUE(present(kAnyHidVersion, 1));
    EXPECT_FALSE(present(kAnyHidVersion, 2));
    // An interface that cannot be opened for writing is skipped without being counted.
    bus.setOpenFails("/dev/a", true);
    CloseHidDevice(usb, open(0));
    EXPECT_EQ(bus.opens().back().path, "/dev/b");
    EXPECT_EQ(open(1), 0);

    // Only the first 256 interfaces are looked at.
    bus.unplug("/dev/a");
    bus.unplug("/dev/b");
    for (int n = 1; n < 255; ++n) {
        bus.plug(otherDevice("/dev/other" + std::to_string(n)));
    }
    bus.plug(lightDevice("/dev/256th"));
    EXPECT_TRUE(present());
    bus.unplug("/dev/256th");
    bus.plug(otherDevice("/dev/other255"));
    bus.plug(lightDevice("/dev/257th"));
    EXPECT_FALSE(present());
    EXPECT_EQ(open(0), 0);
    EXPECT_EQ(bus.badCloses(), 0);
}

TEST_F(UsbDeviceTest, FailedOpenShowsOnWritesNothingAndIsNotRetried) {
    prepare();
    bus.plug(lightDevice("/dev/locked"));
    bus.setOpenFails("/dev/locked", true);
    poll();
    EXPECT_EQ(label(), "Device ON");
    SendUsbReport(usb, 0x21);
    SwitchUsbOutputsOff(usb);
    EXPECT_TRUE(bus.reports().empty());

    bus.setOpenFails("/dev/locked", false);
    poll();
    EXPECT_EQ(bus.opens().size(), 1u);
    EXPECT_EQ(writeHandle(), 0);
    bus.unplug("/dev/locked");
    poll();
    EXPECT_EQ(label(), "Device OFF");
    bus.plug(lightDevice("/dev/locked"));
    poll();
    EXPECT_EQ(label(), "Device ON");
    EXPECT_NE(writeHandle(), 0);
}

// The worker writes reports without pause while the main thread plugs, unplugs and
// polls; every write must reach an open handle, never one being closed.
TEST_F(UsbDeviceTest, PollNeverClosesAHandleUnderAWrite) {
    bus.setWriteDuration(std::chrono::microseconds(20));
    prepare();
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
            bus.plug(lightDevice("/dev/hidraw0"));
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

    EXPECT_EQ(bus.badWrites(), 0);
    EXPECT_EQ(bus.badCloses(), 0);
    std::set<HidHandle> handlesWritten;
    for (const auto& report : bus.reports()) {
        handlesWritten.insert(report.handle);
    }
    // Each plugging got a handle and the worker wrote through every one of them.
    EXPECT_EQ(handlesWritten.size(), static_cast<size_t>(kRounds / 2));
    EXPECT_EQ(bus.closes().size(), static_cast<size_t>(kRounds / 2));
}

// The machine's own HID interfaces are listed (there may be none), and a path that names no
// device opens nothing.
void ExpectBusWorksOnThisMachine(HidBus& bus, const std::string& missingPath) {
    std::vector<HidInterface> interfaces{{"stale", true, 1, 2, 3}};
    ASSERT_TRUE(bus.initialise() && bus.initialise() && bus.listInterfaces(interfaces));
    for (const HidInterface& entry : interfaces) {
        EXPECT_NE(entry.path, "stale");
        EXPECT_FALSE(entry.path.empty());
    }
    EXPECT_EQ(bus.open(missingPath), 0);
    EXPECT_EQ(bus.open(""), 0);
}

#ifdef _WIN32
TEST(Win32HidBus, WorksOnThisMachine) {
    Win32HidBus bus;
    ExpectBusWorksOnThisMachine(bus, R"(\\?\hid#glowtern-missing#0)");
}
#else
TEST(HidapiBus, WorksOnThisMachine) {
    // Only the machine's own devices: a light panel the user runs is not asked.
    testing::TempDir runtime;
    testing::ScopedEnvironment runtimeDir("XDG_RUNTIME_DIR", runtime.path().c_str());
    HidapiBus bus;
    ExpectBusWorksOnThisMachine(bus, "/nonexistent/glowtern-hidraw");
}
#endif

}  // namespace
}  // namespace glowtern
