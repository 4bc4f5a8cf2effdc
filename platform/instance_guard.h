#pragma once

#include <string>

namespace glowtern {

// Keeps a second copy of the program from running beside the first.
class InstanceGuard {
  public:
    virtual ~InstanceGuard() = default;

    // True when another running process already holds the guard `name`. A guard
    // that cannot be set up counts as not held, so the program runs as first copy.
    // The guard is released by the system when the process ends.
    virtual bool heldElsewhere(const std::string& name) = 0;
};

// flock() on "<name>.lock" in $XDG_RUNTIME_DIR (else /tmp/<name>-<uid>.lock).
class FileLockInstanceGuard final : public InstanceGuard {
  public:
    ~FileLockInstanceGuard() override;
    bool heldElsewhere(const std::string& name) override;

  private:
    int fd_ = -1;
};

}  // namespace glowtern
