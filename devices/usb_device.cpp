#include "devices/usb_device.h"

#include <string_view>
#include <utility>

#include "toolkit/controls.h"
#include "toolkit/lock_within.h"

namespace glowtern {

namespace {

// The device status label of the main window (control 0).
constexpr int kStatusLabel = 0;
constexpr std::string_view kDeviceOn = "Device ON";
constexpr std::string_view kDeviceOff = "Device OFF";

// The same 16-bit comparison for the presence check and the open. An interface whose
// ids could not be read never matches.
bool matches(const HidInterface& entry, uint16_t productId, uint16_t vendorId, uint16_t version) {
    return entry.attributesKnown && entry.productId == productId && entry.vendorId == vendorId &&
           (version == kAnyHidVersion || entry.releaseNumber == version);
}

// Lists the present interfaces into the device's reusable list; false when there is
// no list (or no HID access at all).
bool listInterfaces(UsbDevice& device) {
    if (device.bus == nullptr) {
        return false;
    }
    if (!device.bus->listInterfaces(device.interfaces)) {
        return false;
    }
    if (device.interfaces.size() > kMaxHidInterfaces) {
        device.interfaces.resize(kMaxHidInterfaces);
    }
    return true;
}

// Caller holds writeMutex.
void writeReportLocked(UsbDevice& device) {
    if (device.writeHandle == 0) {
        return;
    }
    // A failed write (device pulled since the last poll) is left for the next poll.
    device.bus->write(device.writeHandle, device.outputBuffer.data(), 2);
}

// Replaces the write handle and returns the one it held. The old handle can be closed
// as soon as this returns: a write that was using it has finished, and later writes
// see the new one.
HidHandle exchangeWriteHandle(UsbDevice& device, HidHandle handle) {
    std::lock_guard lock(device.writeMutex);
    return std::exchange(device.writeHandle, handle);
}

}  // namespace

void PrepareHidAccess(UsbDevice& device, HidBus& bus) {
    if (device.prepared) {
        return;
    }
    device.prepared = true;
    if (bus.initialise()) {
        device.bus = &bus;
    }
}

bool IsHidDevicePresent(UsbDevice& device, uint16_t productId, uint16_t vendorId, uint16_t version,
                        uint16_t index) {
    if (!listInterfaces(device)) {
        return false;
    }
    uint16_t count = 0;
    for (const HidInterface& entry : device.interfaces) {
        if (!matches(entry, productId, vendorId, version)) {
            continue;
        }
        if (count == index) {
            return true;
        }
        ++count;
    }
    return false;
}

HidHandle OpenHidDevice(UsbDevice& device, uint16_t productId, uint16_t vendorId, uint16_t version,
                        uint16_t index) {
    if (!listInterfaces(device)) {
        return 0;
    }
    uint16_t count = 0;
    for (const HidInterface& entry : device.interfaces) {
        if (!matches(entry, productId, vendorId, version)) {
            continue;
        }
        const HidHandle handle = device.bus->open(entry.path);
        if (handle == 0) {
            continue;  // not writable: not counted
        }
        if (count == index) {
            return handle;
        }
        ++count;
        device.bus->close(handle);
    }
    return 0;
}

int CloseHidDevice(UsbDevice& device, HidHandle handle) {
    if (handle == 0 || device.bus == nullptr) {
        return 0;
    }
    device.bus->close(handle);
    return 1;
}

void PollUsbDevice(UsbDevice& device, ControlModel& controls, bool standInPresent) {
    const bool present =
        IsHidDevicePresent(device, kUsbProductId, kUsbVendorId, kAnyHidVersion, kUsbDeviceIndex);
    if (present != device.lastPresence) {
        device.lastPresence = present;
        CloseHidDevice(device, exchangeWriteHandle(device, 0));
        if (present) {
            // A failed open leaves the handle 0 until the device has gone and come back.
            exchangeWriteHandle(device, OpenHidDevice(device, kUsbProductId, kUsbVendorId,
                                                      kAnyHidVersion, kUsbDeviceIndex));
        }
    }
    controls.setText(kStatusLabel, present || standInPresent ? kDeviceOn : kDeviceOff);
}

void WriteUsbReport(UsbDevice& device) {
    std::lock_guard lock(device.writeMutex);
    writeReportLocked(device);
}

void SendUsbReport(UsbDevice& device, uint8_t dataByte) {
    std::lock_guard lock(device.writeMutex);
    device.outputBuffer[1] = dataByte;
    writeReportLocked(device);
}

void SwitchUsbOutputsOff(UsbDevice& device) {
    for (const uint8_t off : kUsbOffReports) {
        SendUsbReport(device, off);
    }
}

void SwitchUsbOutputsOffWithin(UsbDevice& device, std::chrono::milliseconds limit) {
    if (!LockWithin(device.writeMutex, limit)) {
        return;
    }
    const std::lock_guard lock(device.writeMutex, std::adopt_lock);
    for (const uint8_t off : kUsbOffReports) {
        device.outputBuffer[1] = off;
        writeReportLocked(device);
    }
}

void ReleaseUsbDevice(UsbDevice& device) {
    CloseHidDevice(device, exchangeWriteHandle(device, 0));
}

}  // namespace glowtern
