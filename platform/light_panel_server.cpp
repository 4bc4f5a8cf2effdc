#include "platform/light_panel_server.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/light_panel_client.h"

namespace glowtern {

namespace {

// Messages taken from one client per event, so a flood from one cannot starve the others.
constexpr int kMaxMessagesPerRead = 64;

bool fillAddress(sockaddr_un& address, const std::string& path) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string roleNames(uint8_t roles) {
    std::string names;
    const auto add = [&names](const char* name) {
        names += names.empty() ? "" : "+";
        names += name;
    };
    if (roles & kPanelPort) {
        add("port");
    }
    if (roles & kPanelUsbWatch) {
        add("usb-watch");
    }
    if (roles & kPanelUsbDevice) {
        add("usb-device");
    }
    return names.empty() ? "none" : names;
}

}  // namespace

void RecordPanelPortWrite(PanelLamps& lamps, uint16_t port, uint8_t value, int64_t now) {
    if (port == kPanelDataRegister) {
        lamps.data = value;
    } else if (port == kPanelControlRegister) {
        lamps.control = value;
    } else {
        return;
    }
    const uint16_t lines = PanelLineLevels(lamps.data, lamps.control);
    if (lamps.history.empty() || lines != lamps.lines) {
        lamps.history.push_back({now, lines});
        if (lamps.history.size() > kPanelHistoryLimit) {
            lamps.history.pop_front();
        }
    }
    lamps.lines = lines;
}

void TrimPanelHistory(PanelLamps& lamps, int64_t now) {
    const int64_t start = now - kPanelHistoryNanoseconds;
    while (lamps.history.size() >= 2 && lamps.history[1].nanoseconds <= start) {
        lamps.history.pop_front();
    }
}

LightPanelServer::~LightPanelServer() {
    close();
    if (logFd_ >= 0) {
        ::close(logFd_);
    }
}

LightPanelServer::ListenResult LightPanelServer::listen(const std::string& path,
                                                        std::string& error) {
    close();
    sockaddr_un address{};
    const std::string staging = path + ".new";
    if (!fillAddress(address, staging)) {
        error = "no usable socket path";
        return ListenResult::Failed;
    }

    // One panel per user: the lock is held for the panel's life and the kernel lets go of
    // it when the panel ends in any way, so a left-over socket below is always stale.
    const std::string lockPath = path + ".lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        error = "cannot open " + lockPath + ": " + std::strerror(errno);
        return ListenResult::Failed;
    }
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        error = held ? "another panel is already running (" + path + ")"
                     : "cannot lock " + lockPath + ": " + std::strerror(errno);
        ::close(lockFd_);
        lockFd_ = -1;
        return held ? ListenResult::PanelRunning : ListenResult::Failed;
    }

    // Bound and listening under a staging name first, then renamed into place: whoever
    // finds the socket can connect at once.
    ::unlink(staging.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    const auto watch = [this](int fd) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        return ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) == 0;
    };
    if (listenFd_ < 0 || epollFd_ < 0 || timerFd_ < 0 ||
        ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(staging.c_str(), 0600) != 0 || ::listen(listenFd_, 8) != 0 || !watch(listenFd_) ||
        !watch(timerFd_) || ::rename(staging.c_str(), path.c_str()) != 0) {
        error = "cannot listen at " + path + ": " + std::strerror(errno);
        ::unlink(staging.c_str());
        close();
        return ListenResult::Failed;
    }
    path_ = path;
    lamps_ = PanelLamps{};  // every lamp dark until Glowtern writes
    ++changes_;
    return ListenResult::Listening;
}

void LightPanelServer::setLog(int fd) {
    if (logFd_ >= 0) {
        ::close(logFd_);
    }
    logFd_ = fd;
}

void LightPanelServer::process(int timeoutMs) {
    if (epollFd_ < 0) {
        return;
    }
    // The listener, the timer and every connection.
    epoll_event events[kMaxClients + kMaxWaiting + 2];
    int ready;
    do {
        ready = ::epoll_wait(epollFd_, events, static_cast<int>(std::size(events)), timeoutMs);
    } while (ready < 0 && errno == EINTR);
    for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listenFd_) {
            acceptClients();
            continue;
        }
        if (fd == timerFd_) {
            uint64_t expirations;
            if (::read(timerFd_, &expirations, sizeof expirations) > 0) {
                armedDeadline_ = 0;  // a one-shot timer that has fired is stopped
            }
            continue;
        }
        for (Client& client : clients_) {
            if (client.fd == fd && !readClient(client)) {
                drop(client);
            }
        }
    }
    dropSilent(PanelMonotonicNanoseconds());
    removeDropped();
    armHelloTimer();
}

void LightPanelServer::acceptClients() {
    // A bounded batch: a flood of connections cannot keep the panel from its clients. What
    // is left waits in the listener's queue and makes the next call ready at once.
    for (size_t accepted = 0; accepted < kMaxWaiting;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;  // EAGAIN: all taken; anything else: try again at the next event
        }
        ++accepted;
        Client client{fd, false, 0, PanelMonotonicNanoseconds() + kHelloNanoseconds};
        const long uid = PanelPeerUid(fd);
        if (uid != static_cast<long>(::geteuid())) {
            refuse(client, "other-user " + std::to_string(uid));
            continue;
        }
        if (liveCount(false) >= kMaxWaiting) {
            Client* longest = nullptr;
            for (Client& waiting : clients_) {
                if (waiting.fd >= 0 && !waiting.greeted &&
                    (longest == nullptr || waiting.helloDeadline < longest->helloDeadline)) {
                    longest = &waiting;
                }
            }
            refuse(*longest, "too-many-waiting");
        }
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0) {
            ::close(fd);
            continue;
        }
        clients_.push_back(client);
        // Glowtern says Hello right after connecting: taken in now, it is safe from a flood
        // of connections that follows.
        if (!readClient(clients_.back())) {
            drop(clients_.back());
        }
    }
}

size_t LightPanelServer::liveCount(bool greeted) const {
    return static_cast<size_t>(std::count_if(
        clients_.begin(), clients_.end(),
        [greeted](const Client& client) { return client.fd >= 0 && client.greeted == greeted; }));
}

void LightPanelServer::dropSilent(int64_t now) {
    for (Client& client : clients_) {
        if (client.fd >= 0 && !client.greeted && client.helloDeadline <= now) {
            refuse(client, "no-hello-in-time");
        }
    }
}

void LightPanelServer::armHelloTimer() {
    int64_t earliest = 0;
    for (const Client& client : clients_) {
        if (client.fd >= 0 && !client.greeted &&
            (earliest == 0 || client.helloDeadline < earliest)) {
            earliest = client.helloDeadline;
        }
    }
    if (timerFd_ < 0 || earliest == armedDeadline_) {
        return;
    }
    itimerspec when{};  // all zero: stopped
    when.it_value.tv_sec = static_cast<time_t>(earliest / 1'000'000'000);
    when.it_value.tv_nsec = static_cast<long>(earliest % 1'000'000'000);
    if (::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &when, nullptr) == 0) {
        armedDeadline_ = earliest;
    }
}

bool LightPanelServer::readClient(Client& client) {
    for (int taken = 0; taken < kMaxMessagesPerRead; ++taken) {
        uint8_t buffer[kPanelMaxMessageSize + 1];
        iovec part{buffer, sizeof buffer};
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(client.fd, &header, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return true;
            }
        }
        if (got <= 0) {  // hung up (or the connection broke)
            if (client.greeted) {
                log("BYE " + roleNames(client.roles));
            }
            return false;
        }
        if ((header.msg_flags & MSG_TRUNC) != 0) {
            refuse(client, PanelDecodeErrorName(PanelDecodeError::Oversized));
            return false;
        }
        if (!takeMessage(client, {buffer, static_cast<size_t>(got)})) {
            return false;
        }
    }
    return true;
}

bool LightPanelServer::takeMessage(Client& client, std::span<const uint8_t> packet) {
    PanelMessage message;
    const PanelDecodeError error = DecodePanelMessage(packet, message);
    if (error != PanelDecodeError::None) {
        refuse(client, PanelDecodeErrorName(error));
        return false;
    }
    if (!client.greeted) {
        if (message.type != PanelMessageType::Hello) {
            refuse(client, "no-hello");
            return false;
        }
        if (liveCount(true) >= kMaxClients) {
            refuse(client, "too-many");
            return false;
        }
        client.greeted = true;
        client.roles = message.flags;
        ++changes_;
        log("HELLO " + roleNames(client.roles));
        PanelMessage welcome;
        welcome.type = PanelMessageType::Welcome;
        welcome.flags = static_cast<uint8_t>(kPanelPort | (usbPlugged_ ? kPanelUsb : 0));
        return sendTo(client, welcome);
    }
    switch (message.type) {
        case PanelMessageType::PortWrite: {
            // Glowtern rewrites every output each cycle; only what changes needs drawing.
            const uint16_t before = lamps_.lines;
            RecordPanelPortWrite(lamps_, message.port, message.value, PanelMonotonicNanoseconds());
            changes_ += lamps_.lines != before ? 1 : 0;
            log(PanelWriteLogText(message));
            return true;
        }
        case PanelMessageType::UsbReport:
            // An unplugged device hears nothing; report ids other than 0 are not its own.
            if (usbPlugged_ && message.report[0] == 0) {
                const uint32_t before = lamps_.pins;
                ApplyPanelUsbReport(lamps_.pins, message.report[1]);
                changes_ += lamps_.pins != before ? 1 : 0;
                log(PanelWriteLogText(message));
            }
            return true;
        case PanelMessageType::Hello:
            refuse(client, "second-hello");
            return false;
        default:
            refuse(client, "wrong-direction");
            return false;
    }
}

bool LightPanelServer::sendTo(Client& client, const PanelMessage& message) {
    const PanelPacket packet = EncodePanelMessage(message);
    ssize_t sent;
    do {
        sent = ::send(client.fd, packet.bytes.data(), packet.size, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    // A client too far behind to take a few bytes gets a message less, not a stalled panel.
    return sent == static_cast<ssize_t>(packet.size) || (sent < 0 && errno == EAGAIN);
}

void LightPanelServer::refuse(Client& client, const std::string& why) {
    ++refused_;
    log("REFUSED " + why);
    // Not yet (or no longer) in the epoll set for refusals at accept time; either way the
    // descriptor is closed here and the entry, if any, is removed afterwards.
    if (client.fd >= 0) {
        ::close(client.fd);
        client.fd = -1;
    }
}

void LightPanelServer::drop(Client& client) {
    if (client.fd >= 0) {
        ::close(client.fd);  // closing also takes it out of the epoll set
        client.fd = -1;
    }
}

void LightPanelServer::removeDropped() {
    const auto gone = std::remove_if(clients_.begin(), clients_.end(),
                                     [](const Client& client) { return client.fd < 0; });
    if (gone != clients_.end()) {
        clients_.erase(gone, clients_.end());
        ++changes_;
    }
}

void LightPanelServer::setUsbPlugged(bool plugged) {
    if (plugged == usbPlugged_) {
        return;
    }
    usbPlugged_ = plugged;
    ++changes_;
    log(plugged ? "PRESENCE on" : "PRESENCE off");
    if (!plugged) {
        lamps_.pins = 0;
    }
    PanelMessage presence;
    presence.type = PanelMessageType::Presence;
    presence.flags = static_cast<uint8_t>(kPanelPort | (plugged ? kPanelUsb : 0));
    for (Client& client : clients_) {
        if (!client.greeted) {
            continue;
        }
        // A pulled device's open handles go dead, as a real one's do.
        if (!plugged && (client.roles & kPanelUsbDevice)) {
            log("BYE " + roleNames(client.roles));
            drop(client);
            continue;
        }
        if ((client.roles & kPanelUsbWatch) && !sendTo(client, presence)) {
            drop(client);
        }
    }
    removeDropped();
}

size_t LightPanelServer::clientCount() const {
    return liveCount(true);
}

uint8_t LightPanelServer::clientRoles() const {
    uint8_t roles = 0;
    for (const Client& client : clients_) {
        roles = static_cast<uint8_t>(roles | (client.greeted ? client.roles : 0));
    }
    return roles;
}

void LightPanelServer::close() {
    for (Client& client : clients_) {
        drop(client);
    }
    clients_.clear();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
    if (timerFd_ >= 0) {
        ::close(timerFd_);
        timerFd_ = -1;
        armedDeadline_ = 0;
    }
    if (epollFd_ >= 0) {
        ::close(epollFd_);
        epollFd_ = -1;
    }
    // The socket is ours while we hold the lock; removing it tells Glowtern at once.
    if (!path_.empty()) {
        ::unlink(path_.c_str());
        path_.clear();
        ++changes_;
    }
    if (lockFd_ >= 0) {
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

void LightPanelServer::log(const std::string& event) {
    if (logFd_ < 0) {
        return;
    }
    const std::string line = std::to_string(PanelMonotonicNanoseconds()) + " " + event + "\n";
    ssize_t written;
    do {
        written = ::write(logFd_, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
}

}  // namespace glowtern
