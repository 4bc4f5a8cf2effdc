#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "toolkit/lock_within.h"

namespace glowtern {

// What one analysis cycle decided, for every kind of lamp to show in its own way.
struct LightFrame {
    static constexpr int kBands = 18;
    std::array<bool, kBands> channels{};  // band n at n - 1: its channel is on
    // This cycle decided the bands. Where it did not (no effect, or Rnd in near-silence)
    // the channels keep their last states, but nothing counts as newly lit.
    bool bandsDecided = false;
    std::array<float, kBands> levels{};  // band n at n - 1, as last drawn into its meter
    std::array<bool, 3> beats{};         // the low, mid and high groups rose to a new peak
};

// One kind of lamp. The worker writes it a frame every cycle; the end of the program
// switches it off, from whichever thread ends it.
//
// write() and switchOff() wrap the lamp's own send() and sendOff() in a latch: once
// close() (or switchOff()) has returned, no write reaches the lamp any more, even from a
// worker that did not stop in time, so the off state sent afterwards is the last one.
class LightOutput {
  public:
    // How long the end waits for a write that is stuck in a lamp before it goes on.
    static constexpr std::chrono::milliseconds kCloseLimit{200};

    LightOutput() = default;
    LightOutput(const LightOutput&) = delete;
    LightOutput& operator=(const LightOutput&) = delete;
    virtual ~LightOutput() = default;

    // Main thread, at start-up, before the worker runs. Whether the lamp answered.
    virtual bool open() { return true; }

    // Worker thread, every cycle. Must never wait for anything outside the program.
    void write(const LightFrame& frame) {
        const std::lock_guard lock(mutex_);
        if (!closed_) {
            send(frame);
        }
    }

    // No write passes from now on; a write in progress is waited for at most kCloseLimit.
    void close() {
        const bool locked = LockWithin(mutex_, kCloseLimit);
        closed_ = true;  // atomic: set even when a stuck write holds the lock
        if (locked) {
            mutex_.unlock();
        }
    }

    // Closes, then switches the lamp off, once; any thread, bounded in time.
    void switchOff() {
        close();
        std::call_once(off_, [this] { sendOff(); });
    }

    // What the user is told about the lamp ("connected", ...); empty when nothing.
    virtual std::string state() const { return {}; }

    // Its off state goes through the X display, which may be what hangs an end: the end's
    // deadline leaves it, and each end sequence switches it off at its own place.
    virtual bool offNeedsDisplay() const { return false; }

  protected:
    virtual void send(const LightFrame& frame) = 0;
    virtual void sendOff() = 0;

  private:
    std::mutex mutex_;
    std::atomic<bool> closed_{false};
    std::once_flag off_;
};

// The outputs a cycle writes, in order.
using LightOutputList = std::span<LightOutput* const>;

}  // namespace glowtern
