#pragma once

// A light panel server running on a thread of its own for the light panel tests, and a few
// helpers around it. The test thread reaches the server only through with().

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/light_panel_server.h"

namespace glowtern::testing {

class PanelRig {
  public:
    // Listens at `path` and serves it until stop() or the end; `logPath` non-empty: the
    // server's log goes there (truncated first).
    explicit PanelRig(std::string path, std::string logPath = "")
        : path_(std::move(path)), logPath_(std::move(logPath)) {}
    ~PanelRig() { stop(); }
    PanelRig(const PanelRig&) = delete;
    PanelRig& operator=(const PanelRig&) = delete;

    LightPanelServer::ListenResult start() {
        stop();
        if (!logPath_.empty()) {
            server_.setLog(
                ::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        }
        std::string error;
        const LightPanelServer::ListenResult result = server_.listen(path_, error);
        if (result == LightPanelServer::ListenResult::Listening) {
            running_ = true;
            thread_ = std::thread([this] { serve(); });
        }
        return result;
    }

    // Stops serving and closes the server: the socket goes away, clients are hung up on.
    void stop() {
        if (thread_.joinable()) {
            running_ = false;
            thread_.join();
        }
        std::lock_guard lock(mutex_);
        server_.close();
    }

    template <typename Function>
    auto with(Function&& function) {
        std::lock_guard lock(mutex_);
        return function(server_);
    }

    // Waits (at most `limit`) until `condition(server)` holds; whether it did.
    template <typename Condition>
    bool waitFor(Condition&& condition,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (with(condition)) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return with(condition);
    }

    // The log's events, without their timestamps.
    std::vector<std::string> logEvents() const {
        std::vector<std::string> events;
        std::ifstream file(logPath_);
        std::string line;
        while (std::getline(file, line)) {
            const size_t space = line.find(' ');
            events.push_back(space == std::string::npos ? line : line.substr(space + 1));
        }
        return events;
    }

    bool logged(const std::string& event) const {
        for (const std::string& line : logEvents()) {
            if (line == event) {
                return true;
            }
        }
        return false;
    }

    bool waitForLog(const std::string& event,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!logged(event)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    const std::string& path() const { return path_; }

  private:
    void serve() {
        const int fd = server_.pollFd();
        while (running_) {
            pollfd watched{fd, POLLIN, 0};
            if (::poll(&watched, 1, 10) > 0) {
                std::lock_guard lock(mutex_);
                server_.process(0);
            }
        }
    }

    std::string path_;
    std::string logPath_;
    std::mutex mutex_;
    LightPanelServer server_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// Sets an environment variable for one scope.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace glowtern::testing
