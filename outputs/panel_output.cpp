#include "outputs/panel_output.h"

#include "outputs/usb_output.h"

namespace glowtern {

namespace {

// The panel's answer on the port lines is awaited once, at start-up, and only from a panel
// that runs (a missing one fails at once): the driver check must know whether the panel
// stands in for the port. Every other answer is taken in when it has come.
constexpr int kLinesWelcomeWaitMs = 500;
constexpr int64_t kRetryNanoseconds = 1'000'000'000;
// The off state must reach a panel that is merely behind: its last messages may wait this
// long for room in the socket.
constexpr int kOffWaitMs = 200;

void sendPortWrite(PanelLink& link, uint16_t port, uint8_t value, int waitMs = 0) {
    PanelMessage write;
    write.type = PanelMessageType::PortWrite;
    write.port = port;
    write.value = value;
    SendToPanel(link, write, waitMs);  // dropped when the panel is still behind
}

void sendUsbReport(PanelLink& link, uint8_t dataByte, int waitMs = 0) {
    PanelMessage report;
    report.type = PanelMessageType::UsbReport;
    report.report = {0, dataByte};
    SendToPanel(link, report, waitMs);
}

}  // namespace

PanelOutput::~PanelOutput() {
    for (Channel* channel : {&lines_, &watch_, &device_}) {
        ClosePanelLink(channel->link);
    }
}

bool PanelOutput::keep(Channel& channel, int welcomeWaitMs) {
    if (channel.link.fd >= 0 && PumpPanelLink(channel.link)) {
        return true;
    }
    const int64_t now = PanelMonotonicNanoseconds();
    if (socket_.empty() || (channel.tried && now - channel.lastAttempt < kRetryNanoseconds)) {
        return false;
    }
    channel.tried = true;
    channel.lastAttempt = now;
    return ConnectPanelLink(channel.link, socket_, channel.roles, welcomeWaitMs) ==
           PanelConnectResult::Connected;
}

// The device's reports go on a connection of their own while it is plugged in; the panel
// hangs up on it when the device is pulled out.
void PanelOutput::followPresence() {
    const bool plugged =
        keep(watch_, 0) && watch_.link.welcomed && (watch_.link.offers & kPanelUsb) != 0;
    usbPlugged_.store(plugged);
    if (!plugged) {
        ClosePanelLink(device_.link);
    }
}

bool PanelOutput::open() {
    const std::lock_guard lock(mutex_);
    for (Channel* channel : {&lines_, &watch_, &device_}) {
        channel->tried = false;  // tried now, whenever the last try was
    }
    // The watch first, without waiting: its answer usually comes in while the lines wait.
    keep(watch_, 0);
    standsIn_ = !port_.reached();
    if (standsIn_) {
        keep(lines_, kLinesWelcomeWaitMs);
    }
    followPresence();
    if (usbPlugged_.load()) {
        keep(device_, 0);
    }
    return watch_.link.welcomed || drivesLinesLocked();
}

bool PanelOutput::drivesPortLines() const {
    const std::lock_guard lock(mutex_);
    return drivesLinesLocked();
}

bool PanelOutput::drivesLinesLocked() const {
    return standsIn_ && lines_.link.fd >= 0 && lines_.link.welcomed;
}

void PanelOutput::send(const LightFrame& frame) {
    const std::lock_guard lock(mutex_);
    if (standsIn_ && keep(lines_, 0)) {
        const PortBytes bytes = PortBytesFor(frame, controls_.state(kLptCheckBox) != 0);
        sendPortWrite(lines_.link, kPanelDataRegister, bytes.data);
        sendPortWrite(lines_.link, kPanelControlRegister, bytes.control);
    }
    followPresence();
    if (usbPlugged_.load() && keep(device_, 0)) {
        for (const uint8_t byte : UsbReportBytesFor(frame, controls_)) {
            sendUsbReport(device_.link, byte);
        }
    }
}

void PanelOutput::sendOff() {
    const std::lock_guard lock(mutex_);
    if (device_.link.fd >= 0) {
        for (const uint8_t off : kUsbOffReports) {
            sendUsbReport(device_.link, off, kOffWaitMs);
        }
    }
    if (standsIn_ && lines_.link.fd >= 0) {
        sendPortWrite(lines_.link, kPanelDataRegister, kDataRest, kOffWaitMs);
        sendPortWrite(lines_.link, kPanelControlRegister, kControlRest, kOffWaitMs);
    }
    for (Channel* channel : {&lines_, &watch_, &device_}) {
        ClosePanelLink(channel->link);
    }
}

}  // namespace glowtern
