#include "devices/usb_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "engine/control_ids.h"
#include "platform/hid_hidapi.h"
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

class UsbDeviceTest : public ::testing::Test {
  protected:
    UsbDeviceTest() {
        ControlSpec label;
        label.id = kDeviceStatusLabel;
        label.kind = ControlKind::TextLabel;
        label.text = "Device OFF";
        controls.define(label);
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

    FakeHidBus bus;
    ControlModel controls;
    UsbDevice usb;
};

TEST_F(UsbDeviceTest, NoDeviceAtStartChangesNothing) {
    bus.plug({"/dev/hidraw0", 0x046D, 0xC52B, 0x1200, true});  // some other device
    prepare();
    poll();
    EXPECT_EQ(label(), "Device OFF");
    EXPECT_TRUE(bus.opens().empty());
    SwitchUsbOutputsOff(usb);
    EXPECT_TRUE(bus.reports().empty());
    EXPECT_EQ(bus.badWrites(), 0);

    // No list at all is the same as no device.
    bus.plug(lightDevice("/dev/hidraw1"));
    bus.setListFails(true);
    poll();
    EXPECT_EQ(label(), "Device OFF");
    EXPECT_TRUE(bus.opens().empty());
}

TEST_F(UsbDeviceTest, DevicePresentAtStartIsOpenedByTheFirstPoll) {
    bus.plug(lightDevice("/dev/hidraw3"));
    prepare();
    poll();
    EXPECT_EQ(label(), "Device ON");
    ASSERT_EQ(bus.openHandles().size(), 1u);
    EXPECT_EQ(writeHandle(), bus.openHandles()[0]);

    // Later polls with the device still there keep the same handle.
    poll();
    poll();
    EXPECT_EQ(bus.opens().size(), 1u);
    EXPECT_TRUE(bus.closes().empty());

    SwitchUsbOutputsOff(usb);
    EXPECT_EQ(reportBytes(), (std::vector<Bytes>{{0x00, 0x00}, {0x00, 0x40}, {0x00, 0x80}}));
    for (const auto& report : bus.reports()) {
        EXPECT_EQ(report.path, "/dev/hidraw3");
    }

    ReleaseUsbDevice(usb);
    EXPECT_TRUE(bus.openHandles().empty());
    SendUsbReport(usb, 0x00);
    EXPECT_EQ(bus.reports().size(), 3u);
    EXPECT_EQ(bus.badCloses(), 0);
}

TEST_F(UsbDeviceTest, UnplugAndReplugAreEachSeenByOnePoll) {
    bus.plug(lightDevice("/dev/hidraw2"));
    prepare();
    poll();
    const HidHandle first = writeHandle();
    ASSERT_NE(first, 0);

    bus.unplug("/dev/hidraw2");
    SendUsbReport(usb, 0x3F);  // before the poll notices: goes to the old handle, fails quietly
    poll();
    EXPECT_EQ(label(), "Device OFF");
    EXPECT_EQ(bus.closes(), std::vector<HidHandle>{first});
    EXPECT_EQ(writeHandle(), 0);
    SendUsbReport(usb, 0x7F);
    EXPECT_EQ(bus.reports().size(), 1u);

    bus.plug(lightDevice("/dev/hidraw2"));
    poll();
    EXPECT_EQ(label(), "Device ON");
    const HidHandle second = writeHandle();
    EXPECT_NE(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(bus.openHandles(), std::vector<HidHandle>{second});
    SendUsbReport(usb, 0x80);
    ASSERT_EQ(bus.reports().size(), 2u);
    EXPECT_EQ(bus.reports()[1].handle, second);
    EXPECT_EQ(bus.badWrites(), 0);
    EXPECT_EQ(bus.badCloses(), 0);
}

TEST_F(UsbDeviceTest, MatchesProductVendorAndVersion) {
    prepare();
    bus.plug({"/dev/swapped", 0xEF22, 0xAAAA, 0x0100, true});
    bus.plug({"/dev/unknown", kUsbVendorId, kUsbProductId, 0x0100, false});
    bus.plug({"/dev/vendor-only", kUsbVendorId, 0xEF23, 0x0100, true});
    poll();
    EXPECT_EQ(label(), "Device OFF");
    EXPECT_TRUE(bus.opens().empty());
    EXPECT_EQ(OpenHidDevice(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, 0), 0);

    for (const uint16_t release : {0x0000, 0x1234, 0xFFFF}) {
        const std::string path = "/dev/release-" + std::to_string(release);
        bus.plug(lightDevice(path, release));
        EXPECT_TRUE(IsHidDevicePresent(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, 0))
            << release;
        bus.unplug(path);
    }

    // A definite version must equal the release number.
    bus.plug(lightDevice("/dev/v1", 0x0100));
    EXPECT_TRUE(IsHidDevicePresent(usb, kUsbProductId, kUsbVendorId, 0x0100, 0));
    EXPECT_FALSE(IsHidDevicePresent(usb, kUsbProductId, kUsbVendorId, 0x0101, 0));
    // Product first, then vendor: the ids the other way round find the swapped device.
    const HidHandle swapped = OpenHidDevice(usb, kUsbVendorId, kUsbProductId, kAnyHidVersion, 0);
    EXPECT_NE(swapped, 0);
    EXPECT_EQ(bus.opens().back().path, "/dev/swapped");
    CloseHidDevice(usb, swapped);
}

TEST_F(UsbDeviceTest, FirstOfSeveralDevicesIsUsedAndOthersAreClosed) {
    prepare();
    bus.plug(lightDevice("/dev/a", 0x0001));
    bus.plug({"/dev/other", 0x1234, 0x5678, 1, true});
    bus.plug(lightDevice("/dev/b", 0x0002));
    poll();
    ASSERT_EQ(bus.opens().size(), 1u);
    EXPECT_EQ(bus.opens()[0].path, "/dev/a");
    SendUsbReport(usb, 0x01);
    EXPECT_EQ(bus.reports().at(0).path, "/dev/a");

    EXPECT_TRUE(IsHidDevicePresent(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, 1));
    EXPECT_FALSE(IsHidDevicePresent(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, 2));

    // Opening the second match opens and closes the first on the way.
    const HidHandle second = OpenHidDevice(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, 1);
    ASSERT_NE(second, 0);
    EXPECT_EQ(bus.opens().back().path, "/dev/b");
    EXPECT_EQ(bus.openHandles().size(), 2u);  // the write handle and `second`
    EXPECT_EQ(CloseHidDevice(usb, second), 1);
    EXPECT_EQ(CloseHidDevice(usb, 0), 0);

    // An interface that cannot be opened for writing is skipped without being counted.
    bus.setOpenFails("/dev/a", true);
    const HidHandle skipped = OpenHidDevice(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, 0);
    EXPECT_NE(skipped, 0);
    EXPECT_EQ(bus.opens().back().path, "/dev/b");
    EXPECT_EQ(OpenHidDevice(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, 1), 0);
    CloseHidDevice(usb, skipped);
    EXPECT_EQ(bus.openHandles(), std::vector<HidHandle>{writeHandle()});
    EXPECT_EQ(bus.badCloses(), 0);
}

TEST_F(UsbDeviceTest, LooksAtTheFirst256InterfacesOnly) {
    prepare();
    for (int n = 0; n < 255; ++n) {
        bus.plug({"/dev/other" + std::to_string(n), 0x1234, 0x5678, 1, true});
    }
    bus.plug(lightDevice("/dev/256th"));
    EXPECT_TRUE(IsHidDevicePresent(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, 0));
    bus.unplug("/dev/256th");
    bus.plug({"/dev/other255", 0x1234, 0x5678, 1, true});
    bus.plug(lightDevice("/dev/257th"));
    poll();
    EXPECT_EQ(label(), "Device OFF");
    EXPECT_EQ(OpenHidDevice(usb, kUsbProductId, kUsbVendorId, kAnyHidVersion, 0), 0);
    EXPECT_TRUE(bus.opens().empty());
}

TEST_F(UsbDeviceTest, FailedOpenShowsOnWritesNothingAndIsNotRetried) {
    prepare();
    bus.plug(lightDevice("/dev/locked"));
    bus.setOpenFails("/dev/locked", true);
    poll();
    EXPECT_EQ(label(), "Device ON");
    EXPECT_EQ(writeHandle(), 0);
    SendUsbReport(usb, 0x21);
    SwitchUsbOutputsOff(usb);
    EXPECT_TRUE(bus.reports().empty());

    bus.setOpenFails("/dev/locked", false);
    poll();
    poll();
    EXPECT_EQ(bus.opens().size(), 1u);
    EXPECT_EQ(writeHandle(), 0);

    bus.unplug("/dev/locked");
    poll();
    EXPECT_EQ(label(), "Device OFF");
    bus.plug(lightDevice("/dev/locked"));
    poll();
    EXPECT_EQ(label(), "Device ON");
    EXPECT_EQ(bus.opens().size(), 2u);
    EXPECT_NE(writeHandle(), 0);
}

TEST_F(UsbDeviceTest, HidAccessThatCannotStartLeavesTheDeviceAbsent) {
    bus.setInitialiseFails(true);
    bus.plug(lightDevice("/dev/hidraw0"));
    prepare();
    prepare();
    EXPECT_EQ(bus.initialiseCalls(), 1);
    poll();
    EXPECT_EQ(label(), "Device OFF");
    EXPECT_EQ(bus.listCalls(), 0);
    SwitchUsbOutputsOff(usb);
    EXPECT_TRUE(bus.reports().empty());
}

TEST_F(UsbDeviceTest, ReportsCarryReportIdZeroAndTheDataByte) {
    bus.plug(lightDevice("/dev/hidraw0"));
    prepare();
    poll();
    usb.outputBuffer[2] = 0x55;  // bytes 2 and 3 are never sent
    SendUsbReport(usb, 0x01);    // "PC4" alone
    SendUsbReport(usb, 0x60);    // "PB0" alone
    SendUsbReport(usb, 0xA0);    // "PD7" alone
    WriteUsbReport(usb);         // the buffer as it stands
    SwitchUsbOutputsOff(usb);
    EXPECT_EQ(reportBytes(), (std::vector<Bytes>{{0x00, 0x01},
                                                 {0x00, 0x60},
                                                 {0x00, 0xA0},
                                                 {0x00, 0xA0},
                                                 {0x00, 0x00},
                                                 {0x00, 0x40},
                                                 {0x00, 0x80}}));
    EXPECT_EQ(usb.outputBuffer[0], 0);
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
            SendUsbReport(usb, 0x00);
            SendUsbReport(usb, 0x40);
            SendUsbReport(usb, 0x80);
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
    EXPECT_EQ(bus.opens().size(), static_cast<size_t>(kRounds / 2));
    EXPECT_EQ(bus.closes().size(), static_cast<size_t>(kRounds / 2));
    EXPECT_EQ(label(), "Device OFF");
}

TEST(HidapiBus, WorksOnThisMachine) {
    // Only the machine's own devices: a light panel the user runs would add one.
    testing::TempDir runtime;
    const char* previous = std::getenv("XDG_RUNTIME_DIR");
    const std::string saved = previous != nullptr ? previous : "";
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
    struct Restore {
        const char* previous;
        std::string saved;
        ~Restore() {
            if (previous != nullptr) {
                setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
            } else {
                unsetenv("XDG_RUNTIME_DIR");
            }
        }
    } restore{previous, saved};
    HidapiBus bus;
    ASSERT_TRUE(bus.initialise());
    EXPECT_TRUE(bus.initialise());

    size_t hidrawNodes = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/sys/class/hidraw", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++hidrawNodes;
    }
    std::vector<HidInterface> interfaces{{"stale", true, 1, 2, 3}};
    ASSERT_TRUE(bus.listInterfaces(interfaces));
    EXPECT_LE(interfaces.size(), hidrawNodes);
    for (const HidInterface& entry : interfaces) {
        EXPECT_FALSE(entry.path.empty());
    }

    EXPECT_EQ(bus.open("/nonexistent/glowtern-hidraw"), 0);
    EXPECT_EQ(bus.open(""), 0);
}

}  // namespace
}  // namespace glowtern
