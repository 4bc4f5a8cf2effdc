#include "platform/hid_hidapi.h"

#include <hidapi/hidapi.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace glowtern {

namespace {

// How long the main thread waits for the panel's Welcome on a fresh connection. Only a
// running panel gets that far, and it answers at once; a missing one fails at connect.
constexpr int kPanelWelcomeWaitMs = 250;

// A handle of the panel's virtual device is the address of its HidapiBus::PanelHandle with
// the lowest bit set; hidapi's device pointers are malloc'd and so never have that bit.
constexpr HidHandle kPanelHandleTag = 1;

bool isPanelHandle(HidHandle handle) {
    return (handle & kPanelHandleTag) != 0;
}

hid_device* device(HidHandle handle) {
    return reinterpret_cast<hid_device*>(handle);
}

}  // namespace

HidapiBus::PanelHandle* HidapiBus::panelHandle(HidHandle handle) {
    return reinterpret_cast<PanelHandle*>(handle & ~kPanelHandleTag);
}

HidapiBus::~HidapiBus() {
    panelHandles_.clear();
    ClosePanelLink(panelWatch_);
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
    listPanelDevice(interfaces);
    return true;
}

void HidapiBus::listPanelDevice(std::vector<HidInterface>& interfaces) {
    if (panelWatch_.fd >= 0 && !PumpPanelLink(panelWatch_)) {
        // The panel has gone (or restarted) since the last listing. Its device is missing
        // from this listing even if a new panel already runs, so that the device is seen
        // to go and come back, and the handle to the old panel is given up.
        return;
    }
    if (panelWatch_.fd < 0 &&
        ConnectPanelLink(panelWatch_, LightPanelSocketPath(false), kPanelUsbWatch,
                         kPanelWelcomeWaitMs) != PanelConnectResult::Connected) {
        return;
    }
    if (interfaces.size() < kMaxInterfaces && (panelWatch_.offers & kPanelUsb) != 0) {
        HidInterface& entry = interfaces.emplace_back();
        entry.path = kPanelUsbPath;
        entry.attributesKnown = true;
        entry.vendorId = kPanelUsbVendorId;
        entry.productId = kPanelUsbProductId;
        entry.releaseNumber = kPanelUsbRelease;
    }
}

HidHandle HidapiBus::open(const std::string& path) {
    if (state_ != State::Ready || path.empty()) {
        return 0;
    }
    if (path == kPanelUsbPath) {
        auto handle = std::make_unique<PanelHandle>();
        if (ConnectPanelLink(handle->link, LightPanelSocketPath(false), kPanelUsbDevice,
                             kPanelWelcomeWaitMs) != PanelConnectResult::Connected ||
            (handle->link.offers & kPanelUsb) == 0) {
            return 0;  // no panel, or its device is pulled out
        }
        panelHandles_.push_back(std::move(handle));
        return reinterpret_cast<HidHandle>(panelHandles_.back().get()) | kPanelHandleTag;
    }
    return reinterpret_cast<HidHandle>(hid_open_path(path.c_str()));
}

bool HidapiBus::write(HidHandle handle, const uint8_t* data, size_t length) {
    if (handle == 0) {
        return false;
    }
    if (isPanelHandle(handle)) {
        if (length != 2) {
            return false;  // the device takes two-byte reports only
        }
        PanelMessage report;
        report.type = PanelMessageType::UsbReport;
        report.report = {data[0], data[1]};
        return SendToPanel(panelHandle(handle)->link, report) == PanelSendResult::Sent;
    }
    return hid_write(device(handle), data, length) >= 0;
}

void HidapiBus::close(HidHandle handle) {
    if (handle == 0) {
        return;
    }
    if (isPanelHandle(handle)) {
        PanelHandle* const panel = panelHandle(handle);
        std::erase_if(panelHandles_, [panel](const std::unique_ptr<PanelHandle>& open) {
            return open.get() == panel;
        });
        return;
    }
    hid_close(device(handle));
}

}  // namespace glowtern
