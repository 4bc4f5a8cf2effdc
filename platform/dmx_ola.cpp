#include "platform/dmx_ola.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <ola/Callback.h>
#include <ola/Constants.h>
#include <ola/DmxBuffer.h>
#include <ola/client/OlaClient.h>
#include <ola/io/SelectServer.h>
#include <ola/network/TCPSocket.h>

namespace glowtern {

namespace {

constexpr int kConnectWaitMs = 200;
// How long a closing connection waits for olad to have taken in what was sent on it.
constexpr int kSettleWaitMs = 200;
constexpr timeval kSendLimit{0, 100'000};

// A TCP connection to olad's RPC port on this machine, made without waiting longer than
// kConnectWaitMs; -1 when olad does not answer. Writes on it give up after kSendLimit.
int connectToDaemon() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(ola::OLA_DEFAULT_PORT);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd watched{fd, POLLOUT, 0};
        int error = 0;
        socklen_t size = sizeof error;
        result = ::poll(&watched, 1, kConnectWaitMs) == 1 &&
                         ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0
                     ? 0
                     : -1;
    }
    const int one = 1;
    if (result != 0 || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSendLimit, sizeof kSendLimit) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writable(int fd) {
    pollfd watched{fd, POLLOUT, 0};
    return ::poll(&watched, 1, 0) == 1 && (watched.revents & POLLOUT) != 0;
}

}  // namespace

// One connection: the socket, libola's client on it, and the loop that notices olad
// hanging up. The members go in reverse order: client, loop, socket.
struct OlaDmxLink::Connection {
    explicit Connection(int fd) : socket(fd), client(&socket) {}
    ~Connection() { selectServer.RemoveReadDescriptor(&socket); }

    void closed() { lost = true; }
    void answered(const ola::client::Result&, const ola::client::DMXMetadata&,
                  const ola::DmxBuffer&) {
        settled = true;
    }

    // olad drops what it has not yet handled of a connection that closes, and it handles
    // requests in order: once it has answered one asked after the last universe, that
    // universe has been taken in. Waits kSettleWaitMs at most.
    void settle() {
        if (!sentAny || lost) {
            return;
        }
        client.FetchDMX(lastUniverse, ola::NewSingleCallback(this, &Connection::answered));
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleWaitMs);
        while (!settled && !lost && std::chrono::steady_clock::now() < deadline) {
            selectServer.RunOnce(ola::TimeInterval(0, 10'000));
        }
    }

    ola::network::TCPSocket socket;
    ola::io::SelectServer selectServer;
    ola::client::OlaClient client;
    ola::DmxBuffer buffer;
    bool lost = false;
    bool sentAny = false;
    bool settled = false;
    unsigned lastUniverse = 0;
};

OlaDmxLink::OlaDmxLink() = default;

OlaDmxLink::~OlaDmxLink() {
    OlaDmxLink::close();
}

bool OlaDmxLink::connect() {
    close();
    const int fd = connectToDaemon();
    if (fd < 0) {
        return false;
    }
    auto connection = std::make_unique<Connection>(fd);
    if (!connection->client.Setup() ||
        !connection->selectServer.AddReadDescriptor(&connection->socket)) {
        return false;
    }
    connection->client.SetCloseHandler(
        ola::NewSingleCallback(connection.get(), &Connection::closed));
    connection_ = std::move(connection);
    return true;
}

DmxLink::SendResult OlaDmxLink::send(uint32_t universe, const DmxChannelValues& channels) {
    if (!connection_) {
        return SendResult::Lost;
    }
    Connection& connection = *connection_;
    // Takes in what olad sent, without waiting: its hang-up closes the client.
    connection.selectServer.RunOnce(ola::TimeInterval(0, 0));
    if (!connection.lost && !writable(connection.socket.WriteDescriptor())) {
        return SendResult::Dropped;
    }
    if (!connection.lost) {
        connection.buffer.Set(channels.data(), static_cast<unsigned>(channels.size()));
        connection.client.SendDMX(universe, connection.buffer, ola::client::SendDMXArgs());
        connection.sentAny = true;
        connection.lastUniverse = universe;
    }
    if (connection.lost) {
        close();
        return SendResult::Lost;
    }
    return SendResult::Sent;
}

void OlaDmxLink::close() {
    if (connection_) {
        connection_->settle();
        connection_->client.Stop();
        connection_.reset();
    }
}

}  // namespace glowtern

// The module's one entry point (platform/dmx_module.cpp loads it).
extern "C" __attribute__((visibility("default"))) glowtern::DmxLink* GlowternCreateDmxLink() {
    return new glowtern::OlaDmxLink();
}
