#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "engine/light_output.h"
#include "outputs/port_output.h"
#include "platform/light_panel_client.h"
#include "toolkit/controls.h"

namespace glowtern {

// The light panel, glowtern-panel: a window that stands in for the parallel port where the
// machine has none, and shows the USB light device's pins while its "plugged in" box is
// ticked. It gets the bytes the port and the device would get, over the panel's socket
// (light_panel_protocol.h), on one connection per role as a real port and device would
// be used: the port's lines, the watch on the device's presence, the device's reports.
//
// Nothing here ever waits for the panel except open(), at start-up, for its first answer on
// the port lines, and the switch-off, briefly, for room for the off state.
// A panel that quits is looked for again at most once a second, from the writing thread;
// until it answers, writes go nowhere.
class PanelOutput final : public LightOutput {
  public:
    // `socket` empty: no panel is looked for.
    PanelOutput(std::string socket, const PortOutput& port, const ControlModel& controls)
        : socket_(std::move(socket)), port_(port), controls_(controls) {}
    ~PanelOutput() override;

    // After the port's own open(): stands in for the port when that reached none. Whether
    // the panel answered.
    bool open() override;
    // The panel answered at open() and stands in for the port's lines.
    bool drivesPortLines() const;
    // The panel's virtual USB light device is plugged in (any thread).
    bool usbPlugged() const { return usbPlugged_.load(); }

  protected:
    void send(const LightFrame& frame) override;
    void sendOff() override;

  private:
    struct Channel {
        explicit Channel(uint8_t channelRoles) : roles(channelRoles) {}
        PanelLink link;
        uint8_t roles;
        int64_t lastAttempt = 0;
        bool tried = false;
    };
    // Connected (and what the panel sent taken in), or connected afresh when the last try
    // is a second old; waits up to `welcomeWaitMs` for the panel's answer.
    bool keep(Channel& channel, int welcomeWaitMs);
    void followPresence();
    bool drivesLinesLocked() const;

    const std::string socket_;
    const PortOutput& port_;
    const ControlModel& controls_;
    mutable std::mutex mutex_;  // never held across a wait, but at open()
    bool standsIn_ = false;
    Channel lines_{kPanelPort};
    Channel watch_{kPanelUsbWatch};
    Channel device_{kPanelUsbDevice};
    std::atomic<bool> usbPlugged_{false};
};

}  // namespace glowtern
