#pragma once

#include <string>
#include <utility>

namespace glowtern {

// Keeps a second copy of the program from running beside the first.
class InstanceGuard {
  public:
    virtual ~InstanceGuard() = default;

    // True when another running process already holds the guard `name`. A guard
    // that cannot be taken counts as held: another copy may be running, so this
    // one must not. The guard is released by the system when the process ends.
    virtual bool heldElsewhere(const std::string& name) = 0;
};

// flock() on "<name>.lock" in a directory no other user can write to:
// $XDG_RUNTIME_DIR, else /run/user/<uid> when it is ours and closed to others,
// else "glowtern" made with mode 0700 in $XDG_CACHE_HOME (else ~/.cache).
// `userRuntimeRoot` stands in for /run/user in tests.
class FileLockInstanceGuard final : public InstanceGuard {
  public:
    explicit FileLockInstanceGuard(std::string userRuntimeRoot = "/run/user")
        : userRuntimeRoot_(std::move(userRuntimeRoot)) {}
    ~FileLockInstanceGuard() override;
    bool heldElsewhere(const std::string& name) override;

  private:
    std::string userRuntimeRoot_;
    int fd_ = -1;
};

}  // namespace glowtern
