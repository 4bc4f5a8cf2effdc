#pragma once

#include <memory>
#include <vector>

#include "platform/hid.h"
#include "platform/light_panel_client.h"

namespace glowtern {

// The system's HID devices through hidapi's hidraw backend. Handles are hidapi
// device pointers; the caller keeps a write from overlapping the close of its handle.
//
// While the light panel (`glowtern-panel`) runs for this user, its virtual USB light
// device is listed after the real devices, at the path "glowtern-panel:usb", with the
// light device's ids; opening, writing and closing that path talk to the panel. The
// listing keeps one connection to the panel to hear whether it still runs and whether
// its device is plugged in; when the panel has gone, the device is missing from the next
// listing, and it is listed again once the panel is back. Writes to the panel never
// wait: a report the panel cannot take at once is dropped.
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
    // One open handle of the panel's device: its own connection, used by the writer.
    struct PanelHandle {
        PanelLink link;
        PanelHandle() = default;
        PanelHandle(const PanelHandle&) = delete;
        PanelHandle& operator=(const PanelHandle&) = delete;
        ~PanelHandle() { ClosePanelLink(link); }
    };
    static PanelHandle* panelHandle(HidHandle handle);
    void listPanelDevice(std::vector<HidInterface>& interfaces);
    // Whether /dev/hidraw* may have changed since the last enumeration.
    bool hidrawChanged();

    enum class State { Untried, Ready, Unavailable };
    State state_ = State::Untried;
    PanelLink panelWatch_;  // listing only (main thread)
    int devWatch_ = -2;     // inotify on /dev (-2: not tried, -1: unavailable)
    bool enumerated_ = false;
    std::vector<HidInterface> lastEnumeration_;
    // The panel device's open handles (opened and closed on the main thread); those still
    // open when the bus goes are closed with it.
    std::vector<std::unique_ptr<PanelHandle>> panelHandles_;
};

}  // namespace glowtern
