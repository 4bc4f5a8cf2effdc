#include "tests/support/fake_platform.h"

#include <cstdio>
#include <cstring>
#include <thread>

namespace glowtern::testing {

std::string lockKeyName(LockKey key) {
    switch (key) {
        case LockKey::CapsLock:
            return "CapsLock";
        case LockKey::NumLock:
            return "NumLock";
        case LockKey::ScrollLock:
            return "ScrollLock";
    }
    return "?";
}

std::string hexByte(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

// --- audio ---

uint32_t FakeAudioCapture::startRecording() {
    if (log_ != nullptr) {
        log_->add("startRecording");
    }
    return channel;
}

void FakeAudioCapture::fetchSpectrum(uint32_t fetchChannel, float* magnitudes) {
    std::chrono::milliseconds hold;
    {
        std::unique_lock lock(mutex_);
        stuck_ += jammed_ ? 1 : 0;
        released_.wait(lock, [this] { return !jammed_; });
        hold = hold_;
    }
    if (hold.count() > 0) {
        std::this_thread::sleep_for(hold);
    }
    std::lock_guard lock(mutex_);
    ++fetches_;
    if (fetchChannel != 0 && fetchChannel == channel) {
        std::memcpy(magnitudes, spectrum_.data(), kSpectrumBins * sizeof(float));
    }
}

void FakeAudioCapture::chooseSource(const SoundSourceChoice& choice) {
    std::lock_guard lock(mutex_);
    chosen_ = choice;
}

std::vector<SoundSource> FakeAudioCapture::sources() {
    std::lock_guard lock(mutex_);
    return offered_;
}

void FakeAudioCapture::offerSources(const std::vector<SoundSource>& sources) {
    std::lock_guard lock(mutex_);
    offered_ = sources;
}

std::optional<SoundSourceChoice> FakeAudioCapture::chosen() const {
    std::lock_guard lock(mutex_);
    return chosen_;
}

void FakeAudioCapture::setSpectrum(const std::vector<float>& spectrum) {
    std::lock_guard lock(mutex_);
    spectrum_ = spectrum;
    spectrum_.resize(kSpectrumBins, 0.0f);
}

void FakeAudioCapture::holdFetches(std::chrono::milliseconds duration) {
    std::lock_guard lock(mutex_);
    hold_ = duration;
}

void FakeAudioCapture::jamFetches(bool jammed) {
    {
        std::lock_guard lock(mutex_);
        jammed_ = jammed;
    }
    released_.notify_all();
}

bool FakeAudioCapture::fetchStuck() const {
    std::lock_guard lock(mutex_);
    return stuck_ > 0;
}

int FakeAudioCapture::fetches() const {
    std::lock_guard lock(mutex_);
    return fetches_;
}

// --- port library ---

FakePortModule* FakePortModule::current_ = nullptr;

FakePortModule::~FakePortModule() {
    if (current_ == this) {
        current_ = nullptr;
    }
}

bool FakePortModule::load() {
    if (log_ != nullptr) {
        log_->add("loadPortLibrary");
    }
    if (!loadSucceeds) {
        return false;
    }
    loaded_ = true;
    current_ = this;
    return true;
}

void* FakePortModule::findExport(const char* name) {
    if (std::strcmp(name, "PortOut") == 0) {
        return reinterpret_cast<void*>(&FakePortModule::portOut);
    }
    if (std::strcmp(name, "IsDriverInstalled") == 0) {
        return reinterpret_cast<void*>(&FakePortModule::isDriverInstalled);
    }
    return nullptr;
}

void FakePortModule::unload() {
    if (log_ != nullptr) {
        log_->add("unloadPortLibrary");
    }
    loaded_ = false;
    if (current_ == this) {
        current_ = nullptr;
    }
}

std::vector<std::pair<uint16_t, uint8_t>> FakePortModule::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

void FakePortModule::portOut(uint16_t port, uint8_t value) {
    FakePortModule* module = current_;
    if (module == nullptr) {
        return;
    }
    {
        std::lock_guard lock(module->mutex_);
        module->writes_.emplace_back(port, value);
    }
    if (module->log_ != nullptr) {
        char text[32];
        std::snprintf(text, sizeof text, "PortOut 0x%03X 0x%02X", port, value);
        module->log_->add(text);
    }
}

int32_t FakePortModule::isDriverInstalled() {
    FakePortModule* module = current_;
    if (module == nullptr) {
        return 0;
    }
    if (module->log_ != nullptr) {
        module->log_->add("IsDriverInstalled");
    }
    return module->driverInstalled;
}

// --- instance guard ---

bool FakeInstanceGuard::heldElsewhere(const std::string& name) {
    if (log_ != nullptr) {
        log_->add("instanceGuard " + name);
    }
    askedName = name;
    return held;
}

// --- logging pass-throughs ---

int32_t LoggingKeyboard::lockKeyState(LockKey key) {
    log_.add("lockKeyState " + lockKeyName(key));
    return inner_.lockKeyState(key);
}

void LoggingKeyboard::pressAndReleaseLockKey(LockKey key) {
    log_.add("pressAndRelease " + lockKeyName(key));
    inner_.pressAndReleaseLockKey(key);
}

bool LoggingHidBus::initialise() {
    log_.add("hidInitialise");
    return inner_.initialise();
}

bool LoggingHidBus::listInterfaces(std::vector<HidInterface>& interfaces) {
    return inner_.listInterfaces(interfaces);
}

HidHandle LoggingHidBus::open(const std::string& path) {
    log_.add("hidOpen " + path);
    return inner_.open(path);
}

bool LoggingHidBus::write(HidHandle handle, const uint8_t* data, size_t length) {
    std::string entry = "hidWrite";
    for (size_t i = 0; i < length; ++i) {
        entry += ' ';
        entry += hexByte(data[i]);
    }
    log_.add(entry);
    return inner_.write(handle, data, length);
}

void LoggingHidBus::close(HidHandle handle) {
    log_.add("hidClose");
    inner_.close(handle);
}

}  // namespace glowtern::testing
