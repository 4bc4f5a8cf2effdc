#include "tests/support/fake_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

namespace glowtern::testing {

namespace {

std::string keyName(LockKey key) {
    constexpr const char* kNames[] = {"CapsLock", "NumLock", "ScrollLock"};
    return kNames[static_cast<size_t>(key)];
}

void add(CallLog* log, const std::string& entry) {
    if (log != nullptr) {
        log->add(entry);
    }
}

}  // namespace

uint32_t FakeAudioCapture::startRecording() {
    add(log_, "startRecording");
    return 7;
}

void FakeAudioCapture::fetchSpectrum(uint32_t channel, float* magnitudes) {
    std::unique_lock lock(mutex_);
    stuck_ = stuck_ || jammed_;
    released_.wait(lock, [this] { return !jammed_; });
    lock.unlock();
    std::this_thread::sleep_for(guard([&] { return hold_; }));
    lock.lock();
    ++fetches_;
    if (channel == 7) {
        std::ranges::copy(spectrum_, magnitudes);
    }
}

void FakeAudioCapture::jamFetches(bool jammed) {
    guard([&] { jammed_ = jammed; });
    released_.notify_all();
}

int32_t FakeKeyboard::lockKeyState(LockKey key) {
    const int32_t state = guard([&] {
        add(log_, "lockKeyState " + keyName(key));
        // A held key reads negative, as the X11 keyboard reports it.
        return (locked_[index(key)] ? 1 : 0) | (held_[index(key)] ? -128 : 0);
    });
    std::this_thread::sleep_for(readDelay);
    return state;
}

void FakeKeyboard::pressAndReleaseLockKey(LockKey key) {
    guard([&] {
        add(log_, "pressAndRelease " + keyName(key));
        locked_[index(key)] = !locked_[index(key)];
        presses_.push_back(key);
    });
}

std::vector<HidHandle> FakeHidBus::openHandles() const {
    const std::lock_guard lock(mutex_);
    std::vector<HidHandle> result;
    for (const auto& [handle, state] : handles_) {
        if (state.second) {
            result.push_back(handle);
        }
    }
    return result;
}

bool FakeHidBus::initialise() {
    add(log_, "hidInitialise");
    return !initialiseFails;
}

bool FakeHidBus::listInterfaces(std::vector<HidInterface>& interfaces) {
    const std::lock_guard lock(mutex_);
    ++listCalls;
    interfaces.clear();
    for (const auto& [d, plugging] : plugged_) {
        interfaces.push_back({d.path, d.attributesKnown, d.vendorId, d.productId, d.releaseNumber});
    }
    interfaces.resize(listFails ? 0 : interfaces.size());
    return !listFails;
}

HidHandle FakeHidBus::open(const std::string& path) {
    const std::lock_guard lock(mutex_);
    add(log_, "hidOpen " + path);
    opens.push_back(path);
    const auto found = std::ranges::find(plugged_, path, [](auto& p) { return p.first.path; });
    if (found == plugged_.end() || failingOpens.contains(path)) {
        return 0;
    }
    handles_[nextHandle_] = {found->second, true};
    return nextHandle_++;
}

bool FakeHidBus::write(HidHandle handle, const uint8_t* data, size_t length) {
    std::unique_lock lock(mutex_);
    std::string entry = "hidWrite";
    for (size_t i = 0; i < length; ++i) {
        char text[8];
        std::snprintf(text, sizeof text, " 0x%02X", data[i]);
        entry += text;
    }
    add(log_, entry);
    const auto found = handles_.find(handle);
    const auto open = [&] { return found != handles_.end() && found->second.second; };
    if (open()) {
        reports.emplace_back(handle, std::vector<uint8_t>(data, data + length));
        lock.unlock();
        std::this_thread::sleep_for(writeDuration);
        lock.lock();
    }
    if (!open()) {
        ++badWrites;
        return false;
    }
    // A device pulled since the open takes no more reports through that handle.
    return std::ranges::any_of(plugged_, [&](auto& p) { return p.second == found->second.first; });
}

void FakeHidBus::close(HidHandle handle) {
    const std::lock_guard lock(mutex_);
    add(log_, "hidClose");
    closes.push_back(handle);
    const auto found = handles_.find(handle);
    badCloses += found == handles_.end() || !found->second.second ? 1 : 0;
    if (found != handles_.end()) {
        found->second.second = false;
    }
}

FakePortModule* FakePortModule::current_ = nullptr;

bool FakePortModule::load() {
    add(log_, "loadPortLibrary");
    loaded = loadSucceeds;
    current_ = loaded ? this : current_;
    return loaded;
}

void* FakePortModule::findExport(const char* name) {
    if (name == nullptr || missing.contains(name)) {
        return nullptr;
    }
    if (std::strcmp(name, "PortOut") == 0) {
        return reinterpret_cast<void*>(&FakePortModule::portOut);
    }
    return std::strcmp(name, "IsDriverInstalled") == 0
               ? reinterpret_cast<void*>(&FakePortModule::isDriverInstalled)
               : nullptr;
}

void FakePortModule::unload() {
    add(log_, "unloadPortLibrary");
    loaded = false;
}

void FakePortModule::portOut(uint16_t port, uint8_t value) {
    if (current_ != nullptr && current_->loaded) {
        char text[32];
        std::snprintf(text, sizeof text, "PortOut 0x%03X 0x%02X", port, value);
        add(current_->log_, text);
    }
}

int32_t FakePortModule::isDriverInstalled() {
    if (current_ == nullptr || !current_->loaded) {
        return 0;
    }
    add(current_->log_, "IsDriverInstalled");
    return current_->driverInstalled;
}

bool FakeDmxLink::connect() {
    const std::lock_guard lock(mutex_);
    ++connects;
    connected_ = answers;
    changed_.notify_all();
    return connected_;
}

DmxLink::SendResult FakeDmxLink::send(uint32_t universe, const DmxChannelValues& channels) {
    std::unique_lock lock(mutex_);
    ++sending_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !held; });
    --sending_;
    connected_ = connected_ && answers;
    if (connected_) {
        sent.emplace_back(universe, channels);
        changed_.notify_all();
    }
    return connected_ ? SendResult::Sent : SendResult::Lost;
}

void FakeDmxLink::close() {
    const std::lock_guard lock(mutex_);
    connected_ = false;
    ++closes;
}

bool FakeDmxLink::clientLoaded() const {
    const std::lock_guard lock(mutex_);
    return loaded;
}

void FakeDmxLink::set(bool FakeDmxLink::*flag, bool value) {
    const std::lock_guard lock(mutex_);
    this->*flag = value;
    changed_.notify_all();
}

}  // namespace glowtern::testing
