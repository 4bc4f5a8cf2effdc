#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace glowtern {

struct HidInterface {
    std::string path;
    bool attributesKnown = true;  // false when the vendor/product/release could not be read
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t releaseNumber = 0;
};

using HidHandle = std::intptr_t;  // 0 means no device

// The system's HID devices: enumeration, opening by path and output reports.
class HidBus {
  public:
    virtual ~HidBus() = default;

    // Prepares HID access once at process start; false when it is unavailable.
    virtual bool initialise() = 0;

    // Replaces `interfaces` with the present HID interfaces in enumeration order.
    // Returns false when no list can be had.
    virtual bool listInterfaces(std::vector<HidInterface>& interfaces) = 0;

    // Opens the interface at `path` for writing; 0 when it cannot be opened.
    virtual HidHandle open(const std::string& path) = 0;

    // Sends one output report (report id first). Returns false when it failed.
    virtual bool write(HidHandle handle, const uint8_t* data, size_t length) = 0;

    virtual void close(HidHandle handle) = 0;
};

}  // namespace glowtern
