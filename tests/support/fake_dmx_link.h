#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dmx.h"

namespace glowtern::testing {

// A lighting daemon in memory: answers or not, takes each universe at once or when the
// test lets it.
class FakeDmxLink final : public DmxLink {
  public:
    bool connect() override {
        const std::lock_guard lock(mutex_);
        ++connects;
        connected_ = answers;
        changed_.notify_all();
        return connected_;
    }
    SendResult send(uint32_t universe, const DmxChannelValues& channels) override {
        std::unique_lock lock(mutex_);
        ++sending_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !held; });
        --sending_;
        if (!connected_ || !answers) {
            connected_ = false;
            return SendResult::Lost;
        }
        sent.push_back({universe, channels});
        changed_.notify_all();
        return SendResult::Sent;
    }
    void close() override {
        const std::lock_guard lock(mutex_);
        connected_ = false;
        ++closes;
    }
    bool clientLoaded() const override {
        const std::lock_guard lock(mutex_);
        return loaded;
    }

    // Asks `condition` (under the lock) until it holds, for ten seconds at most.
    template <typename Condition>
    bool waitFor(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::unique_lock lock(mutex_);
        while (!condition(*this)) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            changed_.wait_for(lock, std::chrono::milliseconds(5));
        }
        return true;
    }
    void set(bool FakeDmxLink::*flag, bool value) {
        const std::lock_guard lock(mutex_);
        this->*flag = value;
        changed_.notify_all();
    }
    bool sending() const { return sending_ > 0; }

    // Guarded by the mutex (waitFor's condition runs under it).
    bool answers = true;
    bool loaded = true;  // OLA's client library
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
