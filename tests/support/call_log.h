#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace glowtern::testing {

// One ordered record of calls across the toolkit and the platform fakes, so tests
// can check the order in which the program does things. Safe from any thread.
class CallLog {
  public:
    void add(std::string entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

}  // namespace glowtern::testing
