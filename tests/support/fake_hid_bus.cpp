#include "tests/support/fake_hid_bus.h"

#include <algorithm>
#include <thread>

namespace glowtern::testing {

void FakeHidBus::plug(const FakeHidDevice& device) {
    std::lock_guard lock(mutex_);
    plugged_.push_back({device, nextPlugId_++});
}

void FakeHidBus::unplug(const std::string& path) {
    std::lock_guard lock(mutex_);
    std::erase_if(plugged_, [&](const Plugged& p) { return p.device.path == path; });
}

void FakeHidBus::setOpenFails(const std::string& path, bool fails) {
    std::lock_guard lock(mutex_);
    if (fails) {
        failingOpens_.insert(path);
    } else {
        failingOpens_.erase(path);
    }
}

void FakeHidBus::setListFails(bool fails) {
    std::lock_guard lock(mutex_);
    listFails_ = fails;
}

void FakeHidBus::setInitialiseFails(bool fails) {
    std::lock_guard lock(mutex_);
    initialiseFails_ = fails;
}

void FakeHidBus::setWriteDuration(std::chrono::microseconds duration) {
    std::lock_guard lock(mutex_);
    writeDuration_ = duration;
}

int FakeHidBus::initialiseCalls() const {
    std::lock_guard lock(mutex_);
    return initialiseCalls_;
}

int FakeHidBus::listCalls() const {
    std::lock_guard lock(mutex_);
    return listCalls_;
}

std::vector<FakeHidReport> FakeHidBus::reports() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

std::vector<FakeHidOpen> FakeHidBus::opens() const {
    std::lock_guard lock(mutex_);
    return opens_;
}

std::vector<HidHandle> FakeHidBus::closes() const {
    std::lock_guard lock(mutex_);
    return closes_;
}

std::vector<HidHandle> FakeHidBus::openHandles() const {
    std::lock_guard lock(mutex_);
    std::vector<HidHandle> result;
    for (const auto& [handle, state] : handles_) {
        if (state.open) {
            result.push_back(handle);
        }
    }
    return result;
}

int FakeHidBus::badWrites() const {
    std::lock_guard lock(mutex_);
    return badWrites_;
}

int FakeHidBus::badCloses() const {
    std::lock_guard lock(mutex_);
    return badCloses_;
}

bool FakeHidBus::initialise() {
    std::lock_guard lock(mutex_);
    ++initialiseCalls_;
    return !initialiseFails_;
}

bool FakeHidBus::listInterfaces(std::vector<HidInterface>& interfaces) {
    std::lock_guard lock(mutex_);
    ++listCalls_;
    interfaces.clear();
    if (listFails_) {
        return false;
    }
    for (const Plugged& p : plugged_) {
        interfaces.push_back({p.device.path, p.device.attributesKnown, p.device.vendorId,
                              p.device.productId, p.device.releaseNumber});
    }
    return true;
}

HidHandle FakeHidBus::open(const std::string& path) {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(plugged_.begin(), plugged_.end(),
                                    [&](const Plugged& p) { return p.device.path == path; });
    HidHandle handle = 0;
    if (found != plugged_.end() && !failingOpens_.contains(path)) {
        handle = nextHandle_++;
        handles_[handle] = {path, found->plugId, true};
    }
    opens_.push_back({path, handle});
    return handle;
}

bool FakeHidBus::write(HidHandle handle, const uint8_t* data, size_t length) {
    std::unique_lock lock(mutex_);
    const auto found = handles_.find(handle);
    if (found == handles_.end() || !found->second.open) {
        ++badWrites_;
        return false;
    }
    reports_.push_back({handle, found->second.path, std::vector<uint8_t>(data, data + length)});
    const uint64_t plugId = found->second.plugId;
    if (writeDuration_.count() > 0) {
        const auto duration = writeDuration_;
        lock.unlock();
        std::this_thread::sleep_for(duration);
        lock.lock();
        if (!handles_.at(handle).open) {
            ++badWrites_;
            return false;
        }
    }
    // A device pulled since the open takes no more reports through that handle.
    return std::any_of(plugged_.begin(), plugged_.end(),
                       [&](const Plugged& p) { return p.plugId == plugId; });
}

void FakeHidBus::close(HidHandle handle) {
    std::lock_guard lock(mutex_);
    closes_.push_back(handle);
    const auto found = handles_.find(handle);
    if (found == handles_.end() || !found->second.open) {
        ++badCloses_;
        return;
    }
    found->second.open = false;
}

}  // namespace glowtern::testing
