#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/hid.h"

namespace glowtern {

class ControlModel;

// The USB light device's ids; any release number, the first match in enumeration order.
inline constexpr uint16_t kUsbVendorId = 0xAAAA;
inline constexpr uint16_t kUsbProductId = 0xEF22;
inline constexpr uint16_t kAnyHidVersion = 0xFFFF;
inline constexpr uint16_t kUsbDeviceIndex = 0;

// Interfaces looked at per presence check or open.
inline constexpr size_t kMaxHidInterfaces = 256;

// The three reports that switch every output off: groups C, B and D with no pin set.
inline constexpr std::array<uint8_t, 3> kUsbOffReports = {0x00, 0x40, 0x80};

// The USB light device: presence, the write handle and the report buffer.
//
// The presence poll (main thread) opens and closes the write handle while the
// worker writes reports through it. `writeMutex` is held by a report write for the
// whole write and by the poll only while it swaps the handle; the poll opens the new
// handle and closes the old one outside it. So a write never reaches a handle that is
// being closed, the poll waits at most for one two-byte write, and the worker never
// waits on the main thread's event processing.
struct UsbDevice {
    HidBus* bus = nullptr;  // set by PrepareHidAccess when HID access works
    bool prepared = false;  // PrepareHidAccess has run

    bool lastPresence = false;  // main thread only

    std::mutex writeMutex;
    HidHandle writeHandle = 0;  // guarded by writeMutex; 0 while no device is open
    // Bytes 0 and 1 are the report: byte 0 is the report id and stays 0, byte 1
    // carries the pin group and its six pins. Guarded by writeMutex.
    std::array<uint8_t, 4> outputBuffer{};

    std::vector<HidInterface> interfaces;  // reused by every enumeration; main thread only
};

// Prepares HID access once, at process start. When the bus cannot be initialised
// the device stays absent for the whole run.
void PrepareHidAccess(UsbDevice& device, HidBus& bus);

// True when the index-th interface with these ids is listed (version 0xFFFF: any).
bool IsHidDevicePresent(UsbDevice& device, uint16_t productId, uint16_t vendorId, uint16_t version,
                        uint16_t index);

// Opens the index-th interface with these ids that can be opened for writing;
// interfaces that cannot be opened are not counted. 0 when there is none.
HidHandle OpenHidDevice(UsbDevice& device, uint16_t productId, uint16_t vendorId, uint16_t version,
                        uint16_t index);

// Closes a handle that is no longer the write handle. 1 when a handle was closed,
// 0 for handle 0.
int CloseHidDevice(UsbDevice& device, HidHandle handle);

// Main thread, once at start-up and every 500 ms: follows the device's coming and
// going and opens or closes the write handle (nothing while the presence stays the
// same), and sets the device status label: "Device ON" while the device or
// `standInPresent` (the light panel's virtual device) is there.
void PollUsbDevice(UsbDevice& device, ControlModel& controls, bool standInPresent = false);

// Writes bytes 0 and 1 of the output buffer as one report when a handle is open.
void WriteUsbReport(UsbDevice& device);

// Puts `dataByte` in byte 1 of the output buffer and writes the report.
void SendUsbReport(UsbDevice& device, uint8_t dataByte);

// Sends the three all-off reports in order (shutdown, after the worker has stopped).
void SwitchUsbOutputsOff(UsbDevice& device);
// The same from a thread that must not hang: gives up when a write stuck in the device
// holds the handle longer than `limit`.
void SwitchUsbOutputsOffWithin(UsbDevice& device, std::chrono::milliseconds limit);

// Closes the write handle, if any, at the very end of the program.
void ReleaseUsbDevice(UsbDevice& device);

}  // namespace glowtern
