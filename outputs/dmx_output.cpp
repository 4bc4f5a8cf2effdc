#include "outputs/dmx_output.h"

#include <algorithm>
#include <cmath>

namespace glowtern {

uint8_t DmxLevelValue(float level) {
    if (!(level > 0.0f)) {
        return 0;  // NaN too
    }
    const float scaled = std::min(level, kDmxFullLevel) * 255.0f / kDmxFullLevel;
    return static_cast<uint8_t>(std::nearbyint(scaled));
}

void MapDmxChannels(const LightFrame& frame, const DmxSettings& settings,
                    DmxChannelValues& channels) {
    channels.fill(0);
    const auto put = [&](int offset, uint8_t value) {
        const int64_t channel = int64_t{settings.address} + offset;
        if (channel >= 1 && channel <= kDmxChannels) {
            channels[static_cast<size_t>(channel - 1)] = value;
        }
    };
    for (int band = 0; band < LightFrame::kBands; ++band) {
        put(band, settings.mode == DmxMode::Level ? DmxLevelValue(frame.levels[band])
                  : frame.channels[band]          ? 255
                                                  : 0);
    }
    for (int group = 0; group < 3; ++group) {
        put(LightFrame::kBands + group, frame.beats[group] ? 255 : 0);
    }
}

DmxOutput::~DmxOutput() {
    stopSender();
}

void DmxOutput::configure(const DmxSettings& settings) {
    const std::lock_guard control(senderMutex_);
    {
        const std::lock_guard lock(mutex_);
        settings_ = settings;
        if (ended_ || link_ == nullptr || settings.enabled == sender_.joinable()) {
            return;
        }
    }
    if (settings.enabled) {
        {
            const std::lock_guard lock(mutex_);
            linkState_ = Link::Connecting;
        }
        sender_ = std::thread([this] { run(); });
    } else {
        stopSender();
    }
}

DmxSettings DmxOutput::settings() const {
    const std::lock_guard lock(mutex_);
    return settings_;
}

std::string DmxOutput::state() const {
    if (link_ == nullptr) {
        return "not available";
    }
    const std::lock_guard lock(mutex_);
    switch (linkState_) {
        case Link::Off:
            return "off";
        case Link::Connecting:
            return "connecting";
        case Link::Connected:
            return "connected";
        case Link::Away:
            return "olad not running";
        case Link::NoClient:
            return "OLA not installed";
    }
    return {};
}

void DmxOutput::send(const LightFrame& frame) {
    const std::lock_guard lock(mutex_);
    if (!settings_.enabled || linkState_ == Link::Off) {
        return;
    }
    MapDmxChannels(frame, settings_, mailbox_);
    fresh_ = true;
    if (waitingForFrame_) {
        wake_.notify_one();
    }
}

void DmxOutput::sendOff() {
    const std::lock_guard control(senderMutex_);
    stopSender();
    const std::lock_guard lock(mutex_);
    ended_ = true;
}

// Caller holds senderMutex_ (or is the destructor).
void DmxOutput::stopSender() {
    if (!sender_.joinable()) {
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    sender_.join();  // bounded: every call of the link is
    const std::lock_guard lock(mutex_);
    stop_ = false;
    fresh_ = false;
    linkState_ = Link::Off;
}

void DmxOutput::run() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(mutex_);
    bool connected = false;
    Clock::time_point nextAttempt = Clock::now();
    while (!stop_) {
        if (!connected) {
            if (Clock::now() < nextAttempt) {
                wake_.wait_until(lock, nextAttempt, [this] { return stop_; });
                continue;
            }
            lock.unlock();
            connected = link_->connect();
            const bool clientLoaded = link_->clientLoaded();
            lock.lock();
            nextAttempt = Clock::now() + kRetry;
            linkState_ = connected ? Link::Connected : clientLoaded ? Link::Away : Link::NoClient;
            continue;
        }
        if (!fresh_) {
            waitingForFrame_ = true;
            wake_.wait(lock, [this] { return stop_ || fresh_; });
            waitingForFrame_ = false;
            continue;
        }
        const DmxChannelValues values = mailbox_;
        const uint32_t universe = settings_.universe;
        fresh_ = false;
        lock.unlock();
        const DmxLink::SendResult result = link_->send(universe, values);
        lock.lock();
        if (result == DmxLink::SendResult::Lost) {
            connected = false;
            linkState_ = Link::Away;
        }
    }
    const uint32_t universe = settings_.universe;
    lock.unlock();
    if (connected) {
        link_->send(universe, DmxChannelValues{});
    }
    link_->close();
}

}  // namespace glowtern
