#include "app/ending.h"

namespace glowtern {

EndWatchdog::~EndWatchdog() {
    {
        std::lock_guard lock(mutex_);
        disarmed_ = true;
        lampsOff_ = nullptr;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void EndWatchdog::arm(std::chrono::milliseconds limit, std::function<void()> lampsOff,
                      EndProcess endProcess) {
    std::lock_guard lock(mutex_);
    if (armed_) {
        return;
    }
    armed_ = true;
    deadline_ = std::chrono::steady_clock::now() + limit;
    lampsOff_ = std::move(lampsOff);
    endProcess_ = endProcess;
    thread_ = std::thread([this] { watch(); });
}

void EndWatchdog::dropLampsOff() {
    std::lock_guard lock(mutex_);
    lampsOff_ = nullptr;
}

bool EndWatchdog::expired() {
    std::lock_guard lock(mutex_);
    return expired_;
}

void EndWatchdog::watch() {
    std::unique_lock lock(mutex_);
    if (changed_.wait_until(lock, deadline_, [this] { return disarmed_; })) {
        return;
    }
    // The lock is held while the lamps go off, so their owner cannot go away meanwhile.
    if (lampsOff_) {
        lampsOff_();
        lampsOff_ = nullptr;
    }
    expired_ = true;
    if (endProcess_ != nullptr) {
        endProcess_(0);
    }
}

}  // namespace glowtern
