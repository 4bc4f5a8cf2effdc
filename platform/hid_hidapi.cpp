#include "platform/hid_hidapi.h"

#include <hidapi/hidapi.h>

#include <cstdint>

namespace glowtern {

namespace {

// The listing runs on the window's thread, so it never waits on the panel: it connects,
// sends Hello and takes the Welcome in at a later listing. It looks for a missing panel at
// most once a second, and gives up on a connection not welcomed within three seconds (a
// hung panel, or something else listening at its socket) to look again.
constexpr int64_t kPanelRetryNanoseconds = 1'000'000'000;
constexpr int64_t kPanelWelcomeNanoseconds = 3'000'000'000;

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
}

bool HidapiBus::initialise() {
    if (state_ == State::Untried) {
        state_ = hid_init() == 0 ? State::Ready : State::Unavailable;
        if (state_ == State::Ready) {
            // Asked this early, a running panel has usually answered by the first listing.
            lookForPanel(PanelMonotonicNanoseconds());
        }
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
    const int64_t now = PanelMonotonicNanoseconds();
    if (panelWatch_.fd >= 0 && !panelWatch_.welcomed &&
        now - panelAttempt_ >= kPanelWelcomeNanoseconds) {
        ClosePanelLink(panelWatch_);
    }
    if (panelWatch_.fd < 0) {
        lookForPanel(now);
        return;
    }
    if (panelWatch_.welcomed && (panelWatch_.offers & kPanelUsb) != 0 &&
        interfaces.size() < kMaxInterfaces) {
        HidInterface& entry = interfaces.emplace_back();
        entry.path = kPanelUsbPath;
        entry.attributesKnown = true;
        entry.vendorId = kPanelUsbVendorId;
        entry.productId = kPanelUsbProductId;
        entry.releaseNumber = kPanelUsbRelease;
    }
}

void HidapiBus::lookForPanel(int64_t now) {
    if (panelAttempt_ < 0 || now - panelAttempt_ >= kPanelRetryNanoseconds) {
        panelAttempt_ = now;
        ConnectPanelLink(panelWatch_, LightPanelSocketPath(false), kPanelUsbWatch, 0);
    }
}

HidHandle HidapiBus::open(const std::string& path) {
    if (state_ != State::Ready || path.empty()) {
        return 0;
    }
    if (path == kPanelUsbPath) {
        // The watch connection knows whether the device is plugged in, and the panel takes
        // reports right after the Hello: nothing here waits for its Welcome.
        if (!panelWatch_.welcomed || (panelWatch_.offers & kPanelUsb) == 0) {
            return 0;
        }
        auto handle = std::make_unique<PanelHandle>();
        if (ConnectPanelLink(handle->link, LightPanelSocketPath(false), kPanelUsbDevice, 0) !=
            PanelConnectResult::Connected) {
            return 0;
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
