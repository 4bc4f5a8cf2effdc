#pragma once

#include <cstdio>
#include <string>

namespace glowtern::testing {

// A private X server for one test process: Xvfb picks a free display number itself, DISPLAY
// names it, and the server ends with the object or with the process that started it.
class PrivateXServer {
  public:
    PrivateXServer();
    ~PrivateXServer();
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& display() const { return display_; }

  private:
    FILE* output_ = nullptr;  // the server's process id, then its display number
    int pid_ = -1;
    std::string display_;
};

}  // namespace glowtern::testing
