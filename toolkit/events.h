#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace glowtern {

// Event numbers of the main window's event queue.
inline constexpr int32_t kCloseEvent = 16;
inline constexpr int32_t kControlEvent = 13100;
inline constexpr int32_t kMenuEvent = 13101;
inline constexpr int32_t kTrayEvent = 13102;
inline constexpr int32_t kMinimiseEvent = 13107;
inline constexpr int32_t kTimerEvent = 13110;
// A termination request (SIGTERM, SIGINT, SIGHUP) routed into the loop.
inline constexpr int32_t kTerminationEvent = 13120;

// Types carried by tray events.
inline constexpr int32_t kTrayLeftPress = 0;
inline constexpr int32_t kTrayRightPress = 1;
inline constexpr int32_t kTrayLeftDoubleClick = 2;
inline constexpr int32_t kTrayRightDoubleClick = 3;

struct Event {
    int32_t number = 0;
    int32_t window = 0;
    int32_t id = 0;    // control, menu item, tray icon or timer number
    int32_t type = 0;  // tray action or control notification
    friend bool operator==(const Event&, const Event&) = default;
};

// First in, first out; posts come from any thread. A timer event is not queued
// twice: like a window timer, a tick that finds its last one still waiting is merged.
class EventQueue {
  public:
    void post(const Event& event);
    bool tryTake(Event& event);
    void waitTake(Event& event);  // blocks until an event is there
    bool empty() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Event> events_;
};

}  // namespace glowtern
