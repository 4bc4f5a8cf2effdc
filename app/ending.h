#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace glowtern {

struct Program;

// How long the end waits for the worker before it switches the lamps off without it, and
// how long an end may take at most, from the moment it begins to the end of the process.
inline constexpr std::chrono::milliseconds kWorkerStopLimit{500};
inline constexpr std::chrono::milliseconds kEndLimit{1200};

// The deadline of the end of the process. Armed when an end begins; when it passes and
// the process is still there (a library or server hung the end, or the teardown after
// it), the lamps are switched off from the watch thread, if that has not happened yet,
// and the process is ended. The watchdog must outlive everything whose teardown it
// guards; its destructor disarms it.
class EndWatchdog {
  public:
    using EndProcess = void (*)(int status);

    EndWatchdog() = default;
    ~EndWatchdog();
    EndWatchdog(const EndWatchdog&) = delete;
    EndWatchdog& operator=(const EndWatchdog&) = delete;

    // Starts the deadline `limit` from now; later calls keep the first deadline. When it
    // passes, `lampsOff` runs (unless dropped before) and then `endProcess(0)` (if given).
    void arm(std::chrono::milliseconds limit, std::function<void()> lampsOff,
             EndProcess endProcess);
    // The lamps are off (or their owner is going): the deadline only ends the process.
    void dropLampsOff();
    // Whether the deadline has passed and its work has run.
    bool expired();

  private:
    void watch();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
    std::chrono::steady_clock::time_point deadline_;
    std::function<void()> lampsOff_;
    EndProcess endProcess_ = nullptr;
    bool armed_ = false;
    bool disarmed_ = false;
    bool expired_ = false;
};

// The end of a program whose display went away under it (the X server killed, or ended
// first at logout): the window system's library ends the process from the main thread
// with exit(). Runs the Exit sequence as far as it can without the display (the lock LEDs
// are given back where their display still exists), then ends the process with status 0.
// Does nothing once the program has ended by its own sequence.
void EndAfterLostDisplay(Program& program);

}  // namespace glowtern
