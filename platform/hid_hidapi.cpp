#include "platform/hid_hidapi.h"

#include <hidapi/hidapi.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace glowtern {

namespace {

hid_device* device(HidHandle handle) {
    return reinterpret_cast<hid_device*>(handle);
}

}  // namespace

HidapiBus::~HidapiBus() {
    if (devWatch_ >= 0) {
        ::close(devWatch_);
    }
}

bool HidapiBus::hidrawChanged() {
    if (devWatch_ == -2) {
        devWatch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (devWatch_ >= 0 && inotify_add_watch(devWatch_, "/dev",
                                                IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM |
                                                    IN_MOVED_TO) < 0) {
            ::close(devWatch_);
            devWatch_ = -1;
        }
        return true;
    }
    if (devWatch_ < 0) {
        return true;
    }
    bool changed = false;
    alignas(inotify_event) char events[4096];
    ssize_t got;
    while ((got = read(devWatch_, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            changed = changed || (event->mask & IN_Q_OVERFLOW) != 0 ||
                      (event->len > 0 && std::strncmp(event->name, "hidraw", 6) == 0);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return changed;
}

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
    if (hidrawChanged() || !enumerated_) {
        // hidapi answers "none" and "could not enumerate" alike with an empty list;
        // both leave the device absent.
        lastEnumeration_.clear();
        hid_device_info* const all = hid_enumerate(0, 0);
        for (const hid_device_info* info = all;
             info != nullptr && lastEnumeration_.size() < kMaxInterfaces; info = info->next) {
            HidInterface& entry = lastEnumeration_.emplace_back();
            entry.path = info->path != nullptr ? info->path : "";
            entry.attributesKnown = true;  // hidapi lists only devices whose ids it has read
            entry.vendorId = info->vendor_id;
            entry.productId = info->product_id;
            entry.releaseNumber = info->release_number;
        }
        hid_free_enumeration(all);
        enumerated_ = true;
    }
    interfaces = lastEnumeration_;
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
