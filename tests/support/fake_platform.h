#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio.h"
#include "platform/hid.h"
#include "platform/instance_guard.h"
#include "platform/keyboard.h"
#include "platform/port_module.h"
#include "tests/support/call_log.h"

namespace glowtern::testing {

// Recording that hands the worker whatever spectrum the test sets.
class FakeAudioCapture final : public AudioCapture {
  public:
    explicit FakeAudioCapture(CallLog* log = nullptr) : log_(log) {}
    uint32_t startRecording() override;
    void fetchSpectrum(uint32_t channel, float* magnitudes) override;
    bool offersSourceChoice() const override { return sourceChoice; }
    void chooseSource(const SoundSourceChoice& choice) override;
    std::vector<SoundSource> sources() override;

    bool sourceChoice = true;  // what offersSourceChoice answers
    // What sources() reports, and the last choice handed in (none: nullopt).
    void offerSources(const std::vector<SoundSource>& sources);
    std::optional<SoundSourceChoice> chosen() const;

    void setSpectrum(const std::vector<float>& spectrum);
    // Each fetch from now on takes `duration` (a worker stuck in a cycle).
    void holdFetches(std::chrono::milliseconds duration);
    // While jammed, a fetch does not return (a sound library hung on its dead server).
    void jamFetches(bool jammed);
    bool fetchStuck() const;
    uint32_t channel = 7;  // what startRecording gives; 0 simulates no recording device
    int fetches() const;

  private:
    CallLog* log_;
    mutable std::mutex mutex_;
    std::vector<float> spectrum_ = std::vector<float>(kSpectrumBins, 0.0f);
    int fetches_ = 0;
    std::chrono::milliseconds hold_{0};
    bool jammed_ = false;
    int stuck_ = 0;
    std::condition_variable released_;
    std::vector<SoundSource> offered_;
    std::optional<SoundSourceChoice> chosen_;
};

// A port library whose exports record every write. Its exports are plain functions,
// as a library's are, so only one instance may be loaded at a time.
class FakePortModule final : public PortModule {
  public:
    explicit FakePortModule(CallLog* log = nullptr) : log_(log) {}
    ~FakePortModule() override;
    bool load() override;
    void* findExport(const char* name) override;
    void unload() override;

    bool loadSucceeds = true;
    int32_t driverInstalled = 1;
    std::vector<std::pair<uint16_t, uint8_t>> writes() const;
    bool loaded() const { return loaded_; }

  private:
    static void portOut(uint16_t port, uint8_t value);
    static int32_t isDriverInstalled();
    static FakePortModule* current_;

    CallLog* log_;
    bool loaded_ = false;
    mutable std::mutex mutex_;
    std::vector<std::pair<uint16_t, uint8_t>> writes_;
};

class FakeInstanceGuard final : public InstanceGuard {
  public:
    explicit FakeInstanceGuard(CallLog* log = nullptr) : log_(log) {}
    bool heldElsewhere(const std::string& name) override;
    bool held = false;
    std::string askedName;

  private:
    CallLog* log_;
};

// Pass-throughs that add every call to a shared log, so the order across the
// program's facilities can be checked.
class LoggingKeyboard final : public Keyboard {
  public:
    LoggingKeyboard(Keyboard& inner, CallLog& log) : inner_(inner), log_(log) {}
    int32_t lockKeyState(LockKey key) override;
    void pressAndReleaseLockKey(LockKey key) override;

  private:
    Keyboard& inner_;
    CallLog& log_;
};

class LoggingHidBus final : public HidBus {
  public:
    LoggingHidBus(HidBus& inner, CallLog& log) : inner_(inner), log_(log) {}
    bool initialise() override;
    bool listInterfaces(std::vector<HidInterface>& interfaces) override;
    HidHandle open(const std::string& path) override;
    bool write(HidHandle handle, const uint8_t* data, size_t length) override;
    void close(HidHandle handle) override;

  private:
    HidBus& inner_;
    CallLog& log_;
};

std::string lockKeyName(LockKey key);
std::string hexByte(unsigned value);

}  // namespace glowtern::testing
