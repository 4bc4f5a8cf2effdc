#include "platform/hid_win32.h"

// clang-format off
#include <windows.h>
#include <setupapi.h>
extern "C" {  // mingw-w64's HID headers do not say so themselves
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/wide_text_win32.h"

namespace glowtern {

namespace {

// An open device: its handle, the event its writes complete on and its report length.
struct OpenDevice {
    HANDLE file = INVALID_HANDLE_VALUE;
    HANDLE written = nullptr;
    size_t reportLength = 0;  // 0 when the device did not say
    std::vector<uint8_t> report;
};

OpenDevice* openDevice(HidHandle handle) {
    return reinterpret_cast<OpenDevice*>(handle);
}

size_t outputReportLength(HANDLE file) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(file, &preparsed)) {
        return 0;
    }
    HIDP_CAPS caps{};
    const bool known = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    HidD_FreePreparsedData(preparsed);
    return known ? caps.OutputReportByteLength : 0;
}

}  // namespace

bool Win32HidBus::initialise() {
    return true;  // hid.dll and setupapi.dll are part of every Windows
}

bool Win32HidBus::listInterfaces(std::vector<HidInterface>& interfaces) {
    interfaces.clear();
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    HDEVINFO devices =
        SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::vector<uint8_t> detailBuffer;
    SP_DEVICE_INTERFACE_DATA item{};
    item.cbSize = sizeof item;
    for (DWORD index = 0; interfaces.size() < kMaxInterfaces &&
                          SetupDiEnumDeviceInterfaces(devices, nullptr, &hidClass, index, &item);
         ++index) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(devices, &item, nullptr, 0, &needed, nullptr);
        if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
            continue;
        }
        detailBuffer.assign(needed, 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(devices, &item, detail, needed, nullptr, nullptr)) {
            continue;
        }
        HidInterface& entry = interfaces.emplace_back();
        entry.path = NarrowText(detail->DevicePath);
        entry.attributesKnown = false;
        // No access is asked for: the ids can be read even from keyboards and mice, which
        // the system keeps for itself.
        HANDLE file = CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            HIDD_ATTRIBUTES attributes{};
            attributes.Size = sizeof attributes;
            if (HidD_GetAttributes(file, &attributes)) {
                entry.attributesKnown = true;
                entry.vendorId = attributes.VendorID;
                entry.productId = attributes.ProductID;
                entry.releaseNumber = attributes.VersionNumber;
            }
            CloseHandle(file);
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return true;
}

HidHandle Win32HidBus::open(const std::string& path) {
    const std::wstring name = WideText(path);
    if (name.empty()) {
        return 0;
    }
    auto device = std::make_unique<OpenDevice>();
    device->file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device->file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    device->written = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (device->written == nullptr) {
        CloseHandle(device->file);
        return 0;
    }
    device->reportLength = outputReportLength(device->file);
    device->report.reserve(std::max<size_t>(device->reportLength, 64));
    return reinterpret_cast<HidHandle>(device.release());
}

bool Win32HidBus::write(HidHandle handle, const uint8_t* data, size_t length) {
    OpenDevice* device = openDevice(handle);
    if (device == nullptr) {
        return false;
    }
    device->report.assign(data, data + length);
    if (device->report.size() < device->reportLength) {
        device->report.resize(device->reportLength, 0);  // within the reserved room
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = device->written;
    ResetEvent(device->written);
    DWORD written = 0;
    if (WriteFile(device->file, device->report.data(), static_cast<DWORD>(device->report.size()),
                  &written, &overlapped)) {
        return written == device->report.size();
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (WaitForSingleObject(device->written, static_cast<DWORD>(kWriteLimit.count())) !=
        WAIT_OBJECT_0) {
        CancelIoEx(device->file, &overlapped);
    }
    // Waited for in any case: the system may not touch `overlapped` after this returns.
    const bool done = GetOverlappedResult(device->file, &overlapped, &written, TRUE);
    return done && written == device->report.size();
}

void Win32HidBus::close(HidHandle handle) {
    OpenDevice* device = openDevice(handle);
    if (device == nullptr) {
        return;
    }
    CloseHandle(device->file);
    CloseHandle(device->written);
    delete device;
}

}  // namespace glowtern
