#include "outputs/panel_output.h"

#include "outputs/usb_output.h"

namespace glowtern {

namespace {

// The first answer is awaited at start-up only, and only from a panel that runs: a missing
// one fails at once.
constexpr int kLinesWelcomeWaitMs = 500;
constexpr int kUsbWelcomeWaitMs = 250;
constexpr int64_t kRetryNanoseconds = 1'000'000'000;

void sendPortWrite(PanelLink& link, uint16_t port, uint8_t value) {
    PanelMessage write;
    write.type = PanelMessageType::PortWrite;
    write.port = port;
    write.value = value;
    SendToPanel(link, write);  // dropped when the panel is behind
}

void sendUsbReport(PanelLink& link, uint8_t dataByte) {
    PanelMessage report;
    report.type = PanelMessageType::UsbReport;
    report.report = {0, dataByte};
    SendToPanel(link, report);
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
    standsIn_ = !port_.reached();
    if (standsIn_) {
        keep(lines_, kLinesWelcomeWaitMs);
    }
    const bool watching = keep(watch_, kUsbWelcomeWaitMs);
    followPresence();
    if (usbPlugged_.load()) {
        keep(device_, kUsbWelcomeWaitMs);
    }
    return watching || lines_.link.fd >= 0;
}

bool PanelOutput::drivesPortLines() const {
    const std::lock_guard lock(mutex_);
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
            sendUsbReport(device_.link, off);
        }
    }
    if (standsIn_ && lines_.link.fd >= 0) {
        sendPortWrite(lines_.link, kPanelDataRegister, kDataRest);
        sendPortWrite(lines_.link, kPanelControlRegister, kControlRest);
    }
    for (Channel* channel : {&lines_, &watch_, &device_}) {
        ClosePanelLink(channel->link);
    }
}

}  // namespace glowtern
