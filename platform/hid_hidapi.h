#pragma once

#include <vector>

#include "platform/hid.h"

namespace glowtern {

// The system's HID devices through hidapi's hidraw backend, enumerated again only after
// /dev/hidraw* changed (inotify; every time where that cannot be watched). Handles are hidapi
// device pointers; the caller keeps a write from overlapping the close of its handle.
class HidapiBus final : public HidBus {
  public:
    // Interfaces looked at per enumeration; later ones are not listed.
    static constexpr size_t kMaxInterfaces = 256;

    HidapiBus() = default;
    HidapiBus(const HidapiBus&) = delete;
    HidapiBus& operator=(const HidapiBus&) = delete;
    ~HidapiBus() override;

    bool initialise() override;
    bool listInterfaces(std::vector<HidInterface>& interfaces) override;
    HidHandle open(const std::string& path) override;
    bool write(HidHandle handle, const uint8_t* data, size_t length) override;
    void close(HidHandle handle) override;

  private:
    // Whether /dev/hidraw* may have changed since the last enumeration.
    bool hidrawChanged();

    enum class State { Untried, Ready, Unavailable };
    State state_ = State::Untried;
    int devWatch_ = -2;  // inotify on /dev (-2: not tried, -1: unavailable)
    bool enumerated_ = false;
    std::vector<HidInterface> lastEnumeration_;
};

}  // namespace glowtern
