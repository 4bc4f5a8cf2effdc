#pragma once

// The platform's facilities in memory, for the unit tests. Those given a CallLog add every
// call of interest to it, so that the order across facilities can be checked. All are safe
// from any thread.

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio.h"
#include "platform/dmx.h"
#include "platform/hid.h"
#include "platform/instance_guard.h"
#include "platform/keyboard.h"
#include "platform/port_module.h"

namespace glowtern::testing {

// A mutex, and a way to run a function under it.
class Guarded {
  protected:
    template <typename Function>
    auto guard(Function function) const {
        const std::lock_guard lock(mutex_);
        return function();
    }
    mutable std::mutex mutex_;
};

// One ordered record of calls.
class CallLog : Guarded {
  public:
    void add(const std::string& entry) {
        guard([&] { entries_.push_back(entry); });
    }
    std::vector<std::string> entries() const {
        return guard([&] { return entries_; });
    }
    void clear() {
        guard([&] { entries_.clear(); });
    }

  private:
    std::vector<std::string> entries_;
};

// Recording that hands the worker whatever spectrum the test sets; logs "startRecording".
class FakeAudioCapture final : public AudioCapture, Guarded {
  public:
    explicit FakeAudioCapture(CallLog* log = nullptr) : log_(log) {}
    uint32_t startRecording() override;
    void fetchSpectrum(uint32_t channel, float* magnitudes) override;
    bool offersSourceChoice() const override { return sourceChoice; }
    void chooseSource(const SoundSourceChoice& choice) override {
        guard([&] { chosen_ = choice; });
    }
    std::vector<SoundSource> sources() override {
        return guard([&] { return offered_; });
    }

    bool sourceChoice = true;  // what offersSourceChoice() answers
    void offerSources(const std::vector<SoundSource>& sources) {
        guard([&] { offered_ = sources; });
    }
    std::optional<SoundSourceChoice> chosen() const {
        return guard([&] { return chosen_; });
    }
    void setSpectrum(const std::vector<float>& spectrum) {
        guard([&] {
            spectrum_.fill(0.0f);
            std::copy_n(spectrum.begin(), std::min(spectrum.size(), spectrum_.size()),
                        spectrum_.begin());
        });
    }
    // Each fetch from now on takes `duration` (a worker stuck in a cycle).
    void holdFetches(std::chrono::milliseconds duration) {
        guard([&] { hold_ = duration; });
    }
    // While jammed, a fetch does not return (a sound library hung on its dead server).
    void jamFetches(bool jammed);
    bool fetchStuck() const {
        return guard([&] { return stuck_; });
    }
    int fetches() const {
        return guard([&] { return fetches_; });
    }

  private:
    CallLog* log_;
    std::condition_variable released_;
    std::array<float, kSpectrumBins> spectrum_{};
    int fetches_ = 0;
    std::chrono::milliseconds hold_{0};
    bool jammed_ = false;
    bool stuck_ = false;
    std::vector<SoundSource> offered_;
    std::optional<SoundSourceChoice> chosen_;
};

// A keyboard in memory: three lock states, keys that can be held down, and every press in
// order. Logs "lockKeyState <key>" and "pressAndRelease <key>".
class FakeKeyboard final : public Keyboard, Guarded {
  public:
    explicit FakeKeyboard(CallLog* log = nullptr) : log_(log) {}
    // Like the real keyboard: bit 0 the lock, negative while the key is held down.
    int32_t lockKeyState(LockKey key) override;
    void pressAndReleaseLockKey(LockKey key) override;

    void setLocked(LockKey key, bool on) {
        guard([&] { locked_[index(key)] = on; });
    }
    bool locked(LockKey key) const {
        return guard([&] { return locked_[index(key)]; });
    }
    void setHeld(LockKey key, bool held) {
        guard([&] { held_[index(key)] = held; });
    }
    std::vector<LockKey> presses() const {
        return guard([&] { return presses_; });
    }
    void clearPresses() {
        guard([&] { presses_.clear(); });
    }
    // Set before use: every state read takes this long after the state is taken, so that
    // a caller that does not keep its read and its press together loses a two-thread race.
    std::chrono::microseconds readDelay{0};

  private:
    static size_t index(LockKey key) { return static_cast<size_t>(key); }
    CallLog* log_;
    std::array<bool, 3> locked_{};
    std::array<bool, 3> held_{};
    std::vector<LockKey> presses_;
};

struct FakeHidDevice {
    std::string path;
    uint16_t vendorId = 0xAAAA;
    uint16_t productId = 0xEF22;
    uint16_t releaseNumber = 0x0100;
    bool attributesKnown = true;
};

// A HID bus in memory, its devices plugged and unplugged by the test. Handles are never
// reused, so a write or close through a handle that is not open is always seen. Logs
// "hidInitialise", "hidOpen <path>", "hidWrite <bytes>" and "hidClose". The worker may write
// while the test plugs and unplugs; the other fields are set, and the record read, while no
// other thread uses the bus.
class FakeHidBus final : public HidBus, Guarded {
  public:
    explicit FakeHidBus(CallLog* log = nullptr) : log_(log) {}
    void plug(const FakeHidDevice& device) {  // at the end of the enumeration
        guard([&] { plugged_.emplace_back(device, ++pluggings_); });
    }
    void unplug(const std::string& path) {
        guard([&] { std::erase_if(plugged_, [&](auto& p) { return p.first.path == path; }); });
    }
    std::vector<HidHandle> openHandles() const;

    bool initialise() override;
    bool listInterfaces(std::vector<HidInterface>& interfaces) override;
    HidHandle open(const std::string& path) override;
    bool write(HidHandle handle, const uint8_t* data, size_t length) override;
    void close(HidHandle handle) override;

    bool initialiseFails = false;
    bool listFails = false;
    std::set<std::string> failingOpens;
    std::chrono::microseconds writeDuration{0};  // a close inside a write is caught too
    // The record. Bad writes and closes went through a handle that was not open.
    int listCalls = 0;
    int badWrites = 0;
    int badCloses = 0;
    std::vector<std::string> opens;  // every attempt
    std::vector<HidHandle> closes;
    std::vector<std::pair<HidHandle, std::vector<uint8_t>>> reports;

  private:
    CallLog* log_;
    std::vector<std::pair<FakeHidDevice, int>> plugged_;  // the device, its plugging
    int pluggings_ = 0;
    HidHandle nextHandle_ = 0x100;
    std::map<HidHandle, std::pair<int, bool>> handles_;  // plugging opened on, still open
};

// A port library whose exports log "PortOut 0x378 0x02" and "IsDriverInstalled". They are
// plain functions, as a library's are, so only one instance may be loaded at a time. Logs
// "loadPortLibrary" and "unloadPortLibrary".
class FakePortModule final : public PortModule {
  public:
    explicit FakePortModule(CallLog* log = nullptr) : log_(log) {}
    ~FakePortModule() override { current_ = current_ == this ? nullptr : current_; }
    bool load() override;
    void* findExport(const char* name) override;
    void unload() override;

    bool loadSucceeds = true;
    int32_t driverInstalled = 1;
    std::set<std::string> missing;  // exports the library does not have
    bool loaded = false;

  private:
    static void portOut(uint16_t port, uint8_t value);
    static int32_t isDriverInstalled();
    static FakePortModule* current_;
    CallLog* log_;
};

class FakeInstanceGuard final : public InstanceGuard {
  public:
    explicit FakeInstanceGuard(CallLog& log) : log_(log) {}
    bool heldElsewhere(const std::string& name) override {
        log_.add("instanceGuard " + name);
        return held;
    }
    bool held = false;

  private:
    CallLog& log_;
};

// A lighting daemon in memory: answers or not, takes each universe at once or when the test
// lets it. Its fields are guarded: read them in waitFor's condition, change them by set().
class FakeDmxLink final : public DmxLink {
  public:
    bool connect() override;
    SendResult send(uint32_t universe, const DmxChannelValues& channels) override;
    void close() override;
    bool clientLoaded() const override;

    // Asks `condition` (under the lock) until it holds, for ten seconds at most.
    template <typename Condition>
    bool waitFor(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::unique_lock lock(mutex_);
        while (!condition(*this) && std::chrono::steady_clock::now() < deadline) {
            changed_.wait_for(lock, std::chrono::milliseconds(5));
        }
        return condition(*this);
    }
    void set(bool FakeDmxLink::*flag, bool value);
    bool sending() const { return sending_ > 0; }

    bool answers = true;
    bool loaded = true;  // the daemon's client library
    bool held = false;
    int connects = 0;
    int closes = 0;
    std::vector<std::pair<uint32_t, DmxChannelValues>> sent;

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    int sending_ = 0;
};

}  // namespace glowtern::testing
