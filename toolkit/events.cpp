#include "toolkit/events.h"

#include <algorithm>

namespace glowtern {

void EventQueue::post(const Event& event) {
    {
        std::lock_guard lock(mutex_);
        if (event.number == kTimerEvent &&
            std::find(events_.begin(), events_.end(), event) != events_.end()) {
            return;
        }
        events_.push_back(event);
    }
    posted_.notify_one();
}

bool EventQueue::tryTake(Event& event) {
    std::lock_guard lock(mutex_);
    if (events_.empty()) {
        return false;
    }
    event = events_.front();
    events_.pop_front();
    return true;
}

void EventQueue::waitTake(Event& event) {
    std::unique_lock lock(mutex_);
    posted_.wait(lock, [this] { return !events_.empty(); });
    event = events_.front();
    events_.pop_front();
}

bool EventQueue::empty() const {
    std::lock_guard lock(mutex_);
    return events_.empty();
}

}  // namespace glowtern
