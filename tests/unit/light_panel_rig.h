#pragma once

// A light panel server running on a thread of its own for the light panel tests, and a few
// helpers around it. The test thread reaches the server only through with(). A test with a
// rig ends within a minute: a call that waits on the panel for ever is ended by SIGALRM.

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/light_panel_server.h"
#include "tests/support/eventually.h"

namespace glowtern::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes Encode(const PanelMessage& message) {
    const PanelPacket packet = EncodePanelMessage(message);
    return Bytes(packet.view().begin(), packet.view().end());
}

// A bare socket at `path`: listening, or connected to it. For being what Glowtern or the
// panel never would.
inline int rawSocket(const std::string& path, bool listens) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const auto* raw = reinterpret_cast<const sockaddr*>(&address);
    const bool done = listens ? ::bind(fd, raw, sizeof address) == 0 && ::listen(fd, 4) == 0
                              : ::connect(fd, raw, sizeof address) == 0;
    EXPECT_TRUE(done) << path << ": " << std::strerror(errno);
    return fd;
}

inline void rawSend(int fd, const Bytes& bytes) {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// The next packet, or nullopt when the other side hung up; an empty vector on a timeout.
inline std::optional<Bytes> rawReceive(int fd) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, 5000) <= 0) {
        return Bytes{};
    }
    uint8_t buffer[256];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    return got > 0 ? std::optional(Bytes(buffer, buffer + got)) : std::nullopt;
}

class PanelRig {
  public:
    // Listens at `path` from start() until stop() or the end, logging to `logPath`.
    PanelRig(std::string path, std::string logPath) : path_(path), logPath_(logPath) {
        ::alarm(60);
    }
    ~PanelRig() {
        stop();
        ::alarm(0);
    }

    LightPanelServer::ListenResult start() {
        stop();
        server_.setLog(::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        std::string error;
        const LightPanelServer::ListenResult result = server_.listen(path_, error);
        if (result == LightPanelServer::ListenResult::Listening) {
            running_ = true;
            thread_ = std::thread([this] {
                while (running_) {
                    pollfd watched{server_.pollFd(), POLLIN, 0};
                    if (::poll(&watched, 1, 10) > 0) {
                        const std::lock_guard lock(mutex_);
                        server_.process(0);
                    }
                }
            });
        }
        return result;
    }
    // Stops serving and closes the server: the socket goes away, clients are hung up on.
    void stop() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
        server_.close();
    }

    template <typename Function>
    auto with(Function&& function) {
        const std::lock_guard lock(mutex_);
        return function(server_);
    }
    template <typename Condition>
    bool waitFor(Condition&& condition) {
        return Eventually([&] { return with(condition); });
    }
    PanelLamps lamps() {
        return with([](LightPanelServer& server) { return server.lamps(); });
    }

    // The log's events, without their timestamps.
    std::vector<std::string> logEvents() const {
        std::vector<std::string> events;
        std::ifstream file(logPath_);
        for (std::string line; std::getline(file, line);) {
            events.push_back(line.substr(line.find(' ') + 1));
        }
        return events;
    }
    bool waitForLog(const std::string& event) const {
        return Eventually([&] { return std::ranges::count(logEvents(), event) > 0; });
    }

  private:
    std::string path_;
    std::string logPath_;
    std::mutex mutex_;
    LightPanelServer server_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace glowtern::testing
