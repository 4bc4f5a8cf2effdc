#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace glowtern::testing {

// One device as the fake bus lists it.
struct FakeHidDevice {
    std::string path;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t releaseNumber = 0;
    bool attributesKnown = true;
};

struct FakeHidReport {
    HidHandle handle = 0;
    std::string path;
    std::vector<uint8_t> bytes;
};

struct FakeHidOpen {
    std::string path;
    HidHandle handle = 0;  // 0: the open failed
};

// A HID bus in memory. Devices are plugged and unplugged by the test; every open,
// close and report is recorded in order. Handles are never reused, so a write or
// close through a handle that is not open is always seen and counted. Safe from any
// thread: the worker writes while the main thread polls.
class FakeHidBus final : public HidBus {
  public:
    // Test side.
    void plug(const FakeHidDevice& device);  // appended at the end of the enumeration
    void unplug(const std::string& path);
    void setOpenFails(const std::string& path, bool fails);
    void setListFails(bool fails);
    void setInitialiseFails(bool fails);
    // How long each write takes: a close that lands inside it is caught as well.
    void setWriteDuration(std::chrono::microseconds duration);

    int initialiseCalls() const;
    int listCalls() const;
    std::vector<FakeHidReport> reports() const;
    std::vector<FakeHidOpen> opens() const;  // every attempt, failed ones with handle 0
    std::vector<HidHandle> closes() const;
    std::vector<HidHandle> openHandles() const;
    // Writes through a handle that was not open when the write began or was closed
    // before it ended.
    int badWrites() const;
    // Closes of a handle that was not open.
    int badCloses() const;

    // HidBus.
    bool initialise() override;
    bool listInterfaces(std::vector<HidInterface>& interfaces) override;
    HidHandle open(const std::string& path) override;
    bool write(HidHandle handle, const uint8_t* data, size_t length) override;
    void close(HidHandle handle) override;

  private:
    struct Plugged {
        FakeHidDevice device;
        uint64_t plugId = 0;
    };
    struct HandleState {
        std::string path;
        uint64_t plugId = 0;  // the plugging the handle was opened on
        bool open = true;
    };

    mutable std::mutex mutex_;
    std::vector<Plugged> plugged_;
    uint64_t nextPlugId_ = 1;
    std::set<std::string> failingOpens_;
    bool listFails_ = false;
    bool initialiseFails_ = false;
    std::chrono::microseconds writeDuration_{0};
    HidHandle nextHandle_ = 0x100;
    std::map<HidHandle, HandleState> handles_;

    int initialiseCalls_ = 0;
    int listCalls_ = 0;
    std::vector<FakeHidReport> reports_;
    std::vector<FakeHidOpen> opens_;
    std::vector<HidHandle> closes_;
    int badWrites_ = 0;
    int badCloses_ = 0;
};

}  // namespace glowtern::testing
