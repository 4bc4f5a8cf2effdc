#include "platform/light_panel_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace glowtern {

namespace {

// Messages taken in per pump: a panel that sends without end cannot keep us here.
constexpr int kMaxMessagesPerPump = 64;

// Takes one received packet; false when it is not something the panel may send now.
bool takeMessage(PanelLink& link, std::span<const uint8_t> packet) {
    PanelMessage message;
    if (DecodePanelMessage(packet, message) != PanelDecodeError::None) {
        return false;
    }
    switch (message.type) {
        case PanelMessageType::Welcome:
            if (link.welcomed) {
                return false;
            }
            link.welcomed = true;
            link.offers = message.flags;
            return true;
        case PanelMessageType::Presence:
            if (!link.welcomed) {
                return false;
            }
            link.offers = message.flags;
            return true;
        default:
            return false;  // messages for the panel, not for us
    }
}

}  // namespace

long PanelPeerUid(int fd) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials) {
        return -1;
    }
    return static_cast<long>(credentials.uid);
}

int64_t PanelMonotonicNanoseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

PanelConnectResult ConnectPanelLink(PanelLink& link, const std::string& path, uint8_t roles,
                                    int welcomeWaitMs) {
    ClosePanelLink(link);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return PanelConnectResult::NoPanel;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    // Non-blocking: a missing or dead socket fails at once, and so does a panel whose
    // queue of new connections is full.
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return PanelConnectResult::NoPanel;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return PanelConnectResult::NoPanel;
    }
    if (PanelPeerUid(fd) != static_cast<long>(::geteuid())) {
        ::close(fd);
        return PanelConnectResult::OtherUser;
    }
    link.fd = fd;

    PanelMessage hello;
    hello.type = PanelMessageType::Hello;
    hello.flags = roles;
    if (SendToPanel(link, hello) != PanelSendResult::Sent) {
        ClosePanelLink(link);
        return PanelConnectResult::NoWelcome;
    }
    if (welcomeWaitMs <= 0) {
        return PanelConnectResult::Connected;
    }

    const int64_t deadline =
        PanelMonotonicNanoseconds() + static_cast<int64_t>(welcomeWaitMs) * 1'000'000;
    while (!link.welcomed) {
        const int64_t left = deadline - PanelMonotonicNanoseconds();
        if (left <= 0) {
            ClosePanelLink(link);
            return PanelConnectResult::NoWelcome;
        }
        pollfd watched{link.fd, POLLIN, 0};
        const int ready = ::poll(&watched, 1, static_cast<int>((left + 999'999) / 1'000'000));
        if (ready < 0 && errno != EINTR) {
            ClosePanelLink(link);
            return PanelConnectResult::NoWelcome;
        }
        if (ready > 0 && !PumpPanelLink(link)) {
            return PanelConnectResult::NoWelcome;
        }
    }
    return PanelConnectResult::Connected;
}

bool PumpPanelLink(PanelLink& link) {
    if (link.fd < 0) {
        return false;
    }
    for (int taken = 0; taken < kMaxMessagesPerPump; ++taken) {
        // One byte more than any message: a longer packet comes back marked truncated.
        uint8_t buffer[kPanelMaxMessageSize + 1];
        iovec part{buffer, sizeof buffer};
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(link.fd, &header, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return true;
            }
            ClosePanelLink(link);
            return false;
        }
        if (got == 0 || (header.msg_flags & MSG_TRUNC) != 0 ||
            !takeMessage(link, {buffer, static_cast<size_t>(got)})) {
            ClosePanelLink(link);  // hung up, or sent what we do not take
            return false;
        }
    }
    return true;
}

PanelSendResult SendToPanel(PanelLink& link, const PanelMessage& message, int roomWaitMs) {
    if (link.fd < 0) {
        return PanelSendResult::Closed;
    }
    const PanelPacket packet = EncodePanelMessage(message);
    for (;;) {
        const ssize_t sent =
            ::send(link.fd, packet.bytes.data(), packet.size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(packet.size)) {
            return PanelSendResult::Sent;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
            pollfd watched{link.fd, POLLOUT, 0};
            if (roomWaitMs > 0 && ::poll(&watched, 1, roomWaitMs) > 0) {
                roomWaitMs = 0;  // one wait at most
                continue;
            }
            return PanelSendResult::Dropped;
        }
        ClosePanelLink(link);
        return PanelSendResult::Closed;
    }
}

void ClosePanelLink(PanelLink& link) {
    if (link.fd >= 0) {
        ::close(link.fd);
    }
    link = PanelLink{};
}

}  // namespace glowtern
