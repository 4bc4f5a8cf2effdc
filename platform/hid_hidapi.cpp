#include "platform/hid_hidapi.h"

#include <hidapi/hidapi.h>

#include <cstdint>

namespace glowtern {

namespace {

hid_device* device(HidHandle handle) {
    return reinterpret_cast<hid_device*>(handle);
}

}  // namespace

bool HidapiBus::initialise() {
    if (state_ == State::Untried) {
        state_ = hid_init() == 0 ? State::Ready : State::Unavailable;
    }
    return state_ == State::Ready;
}

bool HidapiBus::listInterfaces(std::vector<HidInterface>& interfaces) {
    interfaces.clear();
    if (state_ != State::Ready) {
        return false;
    }
    // hidapi answers "none" and "could not enumerate" alike with an empty list;
    // both leave the device absent.
    hid_device_info* const all = hid_enumerate(0, 0);
    for (const hid_device_info* info = all; info != nullptr && interfaces.size() < kMaxInterfaces;
         info = info->next) {
        HidInterface& entry = interfaces.emplace_back();
        entry.path = info->path != nullptr ? info->path : "";
        entry.attributesKnown = true;  // hidapi lists only devices whose ids it has read
        entry.vendorId = info->vendor_id;
        entry.productId = info->product_id;
        entry.releaseNumber = info->release_number;
    }
    hid_free_enumeration(all);
    return true;
}

HidHandle HidapiBus::open(const std::string& path) {
    if (state_ != State::Ready || path.empty()) {
        return 0;
    }
    return reinterpret_cast<HidHandle>(hid_open_path(path.c_str()));
}

bool HidapiBus::write(HidHandle handle, const uint8_t* data, size_t length) {
    if (handle == 0) {
        return false;
    }
    return hid_write(device(handle), data, length) >= 0;
}

void HidapiBus::close(HidHandle handle) {
    if (handle != 0) {
        hid_close(device(handle));
    }
}

}  // namespace glowtern
