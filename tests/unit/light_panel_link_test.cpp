// Glowtern's connections to the light panel and the panel's server, both ways: the
// handshake, writes, malformed messages on either side, the USB device's presence, a second
// panel, and peers of another user.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/light_panel_client.h"
#include "platform/light_panel_server.h"
#include "tests/support/temp_dir.h"
#include "tests/unit/light_panel_rig.h"

namespace glowtern {
namespace {

using std::chrono::milliseconds;
using testing::PanelRig;
using Bytes = std::vector<uint8_t>;
using ListenResult = LightPanelServer::ListenResult;

sockaddr_un socketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// A bare connection, for sending what Glowtern never would.
int rawConnect(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const sockaddr_un address = socketAddress(path);
    if (fd >= 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool rawSend(int fd, const Bytes& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

// The next packet, or nullopt when the other side hung up; an empty vector on a timeout.
std::optional<Bytes> rawReceive(int fd, int timeoutMs = 5000) {
    pollfd watched{fd, POLLIN, 0};
    if (::poll(&watched, 1, timeoutMs) <= 0) {
        return Bytes{};
    }
    uint8_t buffer[256];
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) {
        return std::nullopt;
    }
    return Bytes(buffer, buffer + got);
}

Bytes encode(const PanelMessage& message) {
    const PanelPacket packet = EncodePanelMessage(message);
    return Bytes(packet.bytes.begin(), packet.bytes.begin() + static_cast<long>(packet.size));
}

const Bytes kHello = encode({.type = PanelMessageType::Hello, .flags = kPanelPort});

class LightPanelLinkTest : public ::testing::Test {
  protected:
    std::string socketPath() const { return dir_.file("panel.sock"); }
    std::string logPath() const { return dir_.file("panel.log"); }

    testing::TempDir dir_;
    PanelRig rig_{socketPath(), logPath()};
};

TEST_F(LightPanelLinkTest, WritesReachThePanelWhichLogsThem) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    struct stat info {};
    ASSERT_EQ(::stat(socketPath().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    PanelLink port;
    ASSERT_EQ(ConnectPanelLink(port, socketPath(), kPanelPort, 5000),
              PanelConnectResult::Connected);
    EXPECT_TRUE(port.welcomed);
    EXPECT_EQ(port.offers, kPanelPort | kPanelUsb);
    PanelLink usb;
    ASSERT_EQ(ConnectPanelLink(usb, socketPath(), kPanelUsbDevice, 5000),
              PanelConnectResult::Connected);

    const auto portWrite = [](uint16_t address, uint8_t value) {
        return PanelMessage{.type = PanelMessageType::PortWrite, .port = address, .value = value};
    };
    EXPECT_EQ(SendToPanel(port, portWrite(0x378, 0x02)), PanelSendResult::Sent);
    EXPECT_EQ(SendToPanel(port, portWrite(0x379, 0x55)), PanelSendResult::Sent);
    EXPECT_EQ(SendToPanel(port, portWrite(0x37A, 0x0E)), PanelSendResult::Sent);
    // One connection's messages keep their order; between two, the test sets it.
    ASSERT_TRUE(rig_.waitForLog("CONTROL 0x0e"));
    EXPECT_EQ(SendToPanel(usb, {.type = PanelMessageType::UsbReport, .report = {0x00, 0x82}}),
              PanelSendResult::Sent);
    EXPECT_EQ(SendToPanel(usb, {.type = PanelMessageType::UsbReport, .report = {0x05, 0x3F}}),
              PanelSendResult::Sent);  // a numbered report: not the device's

    ASSERT_TRUE(rig_.waitForLog("USB 0x00 0x82"));
    rig_.with([](LightPanelServer& server) {
        EXPECT_EQ(server.lamps().lines, 0x0002 | 1 << 8 | 1 << 10);
        EXPECT_EQ(server.lamps().pins, 1u << 13);  // PD1
        EXPECT_EQ(server.clientCount(), 2u);
        EXPECT_EQ(server.clientRoles(), kPanelPort | kPanelUsbDevice);
        return 0;
    });
    ClosePanelLink(port);
    ASSERT_TRUE(rig_.waitForLog("BYE port"));
    ClosePanelLink(usb);
    ASSERT_TRUE(rig_.waitFor([](LightPanelServer& server) { return server.clientCount() == 0; }));
    rig_.stop();
    EXPECT_FALSE(std::filesystem::exists(socketPath()));

    const std::vector<std::string> expected = {
        "HELLO port",   "HELLO usb-device", "DATA 0x02", "PORT 0x0379 0x55",
        "CONTROL 0x0e", "USB 0x00 0x82",    "BYE port",  "BYE usb-device",
    };
    EXPECT_EQ(rig_.logEvents(), expected);
}

TEST_F(LightPanelLinkTest, OnlyWritesThatChangeALampAskForAFrame) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    PanelLink link;
    ASSERT_EQ(ConnectPanelLink(link, socketPath(), kPanelPort | kPanelUsbDevice, 5000),
              PanelConnectResult::Connected);
    const auto send = [&link](uint16_t port, uint8_t value) {
        SendToPanel(link, {.type = PanelMessageType::PortWrite, .port = port, .value = value});
    };
    const auto changes = [this] {
        return rig_.with([](LightPanelServer& server) { return server.changeCount(); });
    };
    send(0x378, 0x02);
    ASSERT_TRUE(rig_.waitForLog("DATA 0x02"));
    const uint64_t before = changes();
    // Glowtern's steady rewrites: the same bytes, the control register at rest, a report
    // that leaves its pins as they are, a register the panel does not show.
    send(0x378, 0x02);
    send(0x37A, 0x0B);
    SendToPanel(link, {.type = PanelMessageType::UsbReport, .report = {0x00, 0x40}});
    send(0x379, 0x11);
    ASSERT_TRUE(rig_.waitForLog("PORT 0x0379 0x11"));
    EXPECT_EQ(changes(), before);
    send(0x37A, 0x0A);  // Strobe up
    ASSERT_TRUE(rig_.waitForLog("CONTROL 0x0a"));
    EXPECT_GT(changes(), before);
}

TEST_F(LightPanelLinkTest, PanelHangsUpOnWhatItCannotTakeAndServesOthersOn) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    PanelLink good;
    ASSERT_EQ(ConnectPanelLink(good, socketPath(), kPanelPort, 5000),
              PanelConnectResult::Connected);

    struct Case {
        const char* name;
        std::vector<Bytes> packets;
        const char* refusal;  // the log's reason; null: a plain hang-up
    };
    Bytes oversized(300, 0x47);
    Bytes helloTooLong = kHello;
    helloTooLong.push_back(0);
    const std::vector<Case> cases = {
        {"garbage", {{0x13, 0x37, 0x00, 0xFF, 0x42}}, "REFUSED bad-marker"},
        {"truncated header", {{'G', 'L', 1}}, "REFUSED truncated"},
        {"truncated hello", {{'G', 'L', 1, 1}}, "REFUSED truncated"},
        {"oversized", {oversized}, "REFUSED oversized"},
        {"longer than its type", {helloTooLong}, "REFUSED oversized"},
        {"wrong version", {{'G', 'L', 2, 1, 0x01}}, "REFUSED wrong-version"},
        {"unknown type", {kHello, {'G', 'L', 1, 0x2A, 0}}, "REFUSED unknown-type"},
        {"write before hello",
         {encode({.type = PanelMessageType::PortWrite, .port = 0x378})},
         "REFUSED no-hello"},
        {"second hello", {kHello, kHello}, "REFUSED second-hello"},
        {"panel's own message",
         {kHello, encode({.type = PanelMessageType::Welcome})},
         "REFUSED wrong-direction"},
        {"truncated write", {kHello, {'G', 'L', 1, 3, 0x78, 0x03}}, "REFUSED truncated"},
        {"empty packet", {{}}, nullptr},
    };
    int refusals = 0;
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const int fd = rawConnect(socketPath());
        ASSERT_GE(fd, 0);
        for (const Bytes& packet : testCase.packets) {
            rawSend(fd, packet);
        }
        // A Welcome for a proper Hello first, then the hang-up.
        std::optional<Bytes> answer = rawReceive(fd);
        if (answer && answer->size() == 5 && (*answer)[3] == 2) {
            answer = rawReceive(fd);
        }
        EXPECT_EQ(answer, std::nullopt) << "the panel did not hang up";
        ::close(fd);
        if (testCase.refusal != nullptr) {
            ++refusals;
            EXPECT_TRUE(rig_.waitFor(
                [&](LightPanelServer& server) { return server.refusedCount() == refusals; }));
            EXPECT_TRUE(rig_.logged(testCase.refusal));
        }
    }

    // The well-behaved client was never disturbed.
    EXPECT_EQ(
        SendToPanel(good, {.type = PanelMessageType::PortWrite, .port = 0x378, .value = 0x80}),
        PanelSendResult::Sent);
    ASSERT_TRUE(rig_.waitForLog("DATA 0x80"));
    EXPECT_TRUE(PumpPanelLink(good));
    EXPECT_EQ(rig_.with([](LightPanelServer& server) { return server.clientCount(); }), 1u);
}

// A stand-in panel that says whatever the test wants.
class FakePanel {
  public:
    explicit FakePanel(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const sockaddr_un address = socketAddress(path);
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(fd_, 4);
    }
    ~FakePanel() { ::close(fd_); }
    FakePanel(const FakePanel&) = delete;
    FakePanel& operator=(const FakePanel&) = delete;

    // The next connection, its Hello read.
    int accept() {
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        const std::optional<Bytes> hello = rawReceive(fd);
        EXPECT_TRUE(hello && hello->size() == 5 && (*hello)[3] == 1) << "no Hello";
        return fd;
    }

  private:
    int fd_ = -1;
};

TEST_F(LightPanelLinkTest, GlowternHangsUpOnWhatItCannotTake) {
    FakePanel panel(socketPath());
    Bytes oversized(100, 'G');
    const Bytes welcome = encode({.type = PanelMessageType::Welcome, .flags = kPanelPort});
    const std::vector<std::pair<const char*, std::vector<Bytes>>> cases = {
        {"garbage", {{0xFF, 0x00, 0x12}}},
        {"truncated welcome", {{'G', 'L', 1, 2}}},
        {"oversized", {oversized}},
        {"wrong version", {{'G', 'L', 7, 2, kPanelPort}}},
        {"unknown type", {{'G', 'L', 1, 0x99, 0}}},
        {"a message for the panel", {kHello}},
        {"presence before welcome", {encode({.type = PanelMessageType::Presence})}},
        {"second welcome", {welcome, welcome}},
        {"hang-up", {}},
    };
    for (const auto& [name, packets] : cases) {
        SCOPED_TRACE(name);
        PanelLink link;
        // No wait: the Hello goes out, and the answer is taken in by the pump.
        ASSERT_EQ(ConnectPanelLink(link, socketPath(), kPanelPort, 0),
                  PanelConnectResult::Connected);
        const int fd = panel.accept();
        for (const Bytes& packet : packets) {
            rawSend(fd, packet);
        }
        if (packets.empty()) {
            ::shutdown(fd, SHUT_RDWR);
        }
        EXPECT_FALSE(PumpPanelLink(link));
        EXPECT_EQ(link.fd, -1);
        EXPECT_EQ(SendToPanel(link, {.type = PanelMessageType::PortWrite}),
                  PanelSendResult::Closed);
        ::close(fd);
    }

    // The same through the wait for the Welcome, answered from another thread; and a panel
    // that says nothing at all.
    for (const bool answers : {true, false}) {
        std::thread answer([&panel, answers] {
            const int fd = panel.accept();
            if (answers) {
                rawSend(fd, Bytes{'G', 'L', 2, 2, kPanelPort});
            }
            rawReceive(fd, 3000);  // until the client gives up
            ::close(fd);
        });
        PanelLink link;
        EXPECT_EQ(ConnectPanelLink(link, socketPath(), kPanelPort, 200),
                  PanelConnectResult::NoWelcome);
        EXPECT_EQ(link.fd, -1);
        answer.join();
    }

    // A proper Welcome, then Presence news, then nonsense.
    PanelLink link;
    ASSERT_EQ(ConnectPanelLink(link, socketPath(), kPanelUsbWatch, 0),
              PanelConnectResult::Connected);
    const int fd = panel.accept();
    rawSend(fd, encode({.type = PanelMessageType::Welcome, .flags = kPanelPort | kPanelUsb}));
    ASSERT_TRUE(PumpPanelLink(link));
    EXPECT_TRUE(link.welcomed);
    EXPECT_EQ(link.offers, kPanelPort | kPanelUsb);
    rawSend(fd, encode({.type = PanelMessageType::Presence, .flags = kPanelPort}));
    ASSERT_TRUE(PumpPanelLink(link));
    EXPECT_EQ(link.offers, kPanelPort);
    rawSend(fd, Bytes{'G', 'L', 1, 5});
    EXPECT_FALSE(PumpPanelLink(link));
    ::close(fd);
}

TEST_F(LightPanelLinkTest, AMissingPanelFailsAtOnceAndAGoneOneIsNoticed) {
    PanelLink link;
    EXPECT_EQ(ConnectPanelLink(link, socketPath(), kPanelPort, 5000), PanelConnectResult::NoPanel);
    EXPECT_EQ(ConnectPanelLink(link, "", kPanelPort, 5000), PanelConnectResult::NoPanel);
    {
        // A socket file that nobody listens at any more.
        FakePanel stale(socketPath());
    }
    EXPECT_EQ(ConnectPanelLink(link, socketPath(), kPanelPort, 5000), PanelConnectResult::NoPanel);
    EXPECT_EQ(SendToPanel(link, {.type = PanelMessageType::PortWrite}), PanelSendResult::Closed);

    // A panel that leaves: the next sends find out, and never raise SIGPIPE.
    ASSERT_EQ(rig_.start(), ListenResult::Listening);  // takes over the stale socket
    ASSERT_EQ(ConnectPanelLink(link, socketPath(), kPanelPort, 5000),
              PanelConnectResult::Connected);
    rig_.stop();
    PanelSendResult result = PanelSendResult::Sent;
    for (int i = 0; i < 3 && result != PanelSendResult::Closed; ++i) {
        result = SendToPanel(link, {.type = PanelMessageType::PortWrite, .port = 0x378});
    }
    EXPECT_EQ(result, PanelSendResult::Closed);
    EXPECT_EQ(link.fd, -1);
}

TEST_F(LightPanelLinkTest, OnePanelPerUserAndASlowClientCostsOnlyDrops) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    LightPanelServer second;
    std::string error;
    EXPECT_EQ(second.listen(socketPath(), error), ListenResult::PanelRunning);
    EXPECT_NE(error.find("already running"), std::string::npos) << error;
    PanelLink link;
    EXPECT_EQ(ConnectPanelLink(link, socketPath(), kPanelPort, 5000),
              PanelConnectResult::Connected);  // the first panel still answers
    ClosePanelLink(link);

    // Once the first has gone, the second may take its place.
    rig_.stop();
    EXPECT_EQ(second.listen(socketPath(), error), ListenResult::Listening) << error;

    // Nobody serves `second` here: sends fill the socket and are then dropped, not waited on.
    ASSERT_EQ(ConnectPanelLink(link, socketPath(), kPanelPort, 0), PanelConnectResult::Connected);
    int dropped = 0;
    for (int i = 0; i < 100000 && dropped == 0; ++i) {
        dropped += SendToPanel(link, {.type = PanelMessageType::PortWrite, .port = 0x378}) ==
                   PanelSendResult::Dropped;
    }
    EXPECT_EQ(dropped, 1);
    EXPECT_GE(link.fd, 0);  // still connected
    ClosePanelLink(link);
}

TEST_F(LightPanelLinkTest, PullingTheUsbDeviceOutTellsWatchersAndDropsItsHandles) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    PanelLink watch;
    PanelLink device;
    PanelLink port;
    ASSERT_EQ(ConnectPanelLink(watch, socketPath(), kPanelUsbWatch, 5000),
              PanelConnectResult::Connected);
    ASSERT_EQ(ConnectPanelLink(device, socketPath(), kPanelUsbDevice, 5000),
              PanelConnectResult::Connected);
    ASSERT_EQ(ConnectPanelLink(port, socketPath(), kPanelPort, 5000),
              PanelConnectResult::Connected);
    SendToPanel(device, {.type = PanelMessageType::UsbReport, .report = {0, 0x3F}});
    ASSERT_TRUE(rig_.waitFor([](LightPanelServer& server) { return server.lamps().pins != 0; }));

    rig_.with([](LightPanelServer& server) {
        server.setUsbPlugged(false);
        return 0;
    });
    EXPECT_EQ(rig_.with([](LightPanelServer& server) { return server.lamps().pins; }), 0u);
    ASSERT_TRUE(PumpPanelLink(watch));
    EXPECT_EQ(watch.offers, kPanelPort);
    EXPECT_FALSE(PumpPanelLink(device));             // its handle is dead
    ASSERT_TRUE(PumpPanelLink(port));                // the port is not concerned
    EXPECT_EQ(port.offers, kPanelPort | kPanelUsb);  // and is not told
    EXPECT_TRUE(rig_.logged("PRESENCE off"));
    EXPECT_TRUE(rig_.logged("BYE usb-device"));

    // While it is out a new handle is not offered the device.
    ASSERT_EQ(ConnectPanelLink(device, socketPath(), kPanelUsbDevice, 5000),
              PanelConnectResult::Connected);
    EXPECT_EQ(device.offers & kPanelUsb, 0);
    // And reports that still arrive light nothing.
    SendToPanel(device, {.type = PanelMessageType::UsbReport, .report = {0, 0x3F}});
    SendToPanel(port, {.type = PanelMessageType::PortWrite, .port = 0x378, .value = 7});
    ASSERT_TRUE(rig_.waitForLog("DATA 0x07"));
    EXPECT_EQ(rig_.with([](LightPanelServer& server) { return server.lamps().pins; }), 0u);
    EXPECT_FALSE(rig_.logged("USB 0x00 0x3f") && rig_.logEvents().back() == "USB 0x00 0x3f");

    rig_.with([](LightPanelServer& server) {
        server.setUsbPlugged(true);
        return 0;
    });
    ASSERT_TRUE(PumpPanelLink(watch));
    EXPECT_EQ(watch.offers, kPanelPort | kPanelUsb);
}

TEST_F(LightPanelLinkTest, TooManyClientsAreRefused) {
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    std::vector<PanelLink> links(LightPanelServer::kMaxClients);
    for (PanelLink& link : links) {
        ASSERT_EQ(ConnectPanelLink(link, socketPath(), kPanelPort, 5000),
                  PanelConnectResult::Connected);
    }
    PanelLink extra;
    EXPECT_EQ(ConnectPanelLink(extra, socketPath(), kPanelPort, 2000),
              PanelConnectResult::NoWelcome);
    EXPECT_TRUE(rig_.waitForLog("REFUSED too-many"));
    ClosePanelLink(links.front());
    ASSERT_TRUE(rig_.waitFor([](LightPanelServer& server) {
        return server.clientCount() == LightPanelServer::kMaxClients - 1;
    }));
    EXPECT_EQ(ConnectPanelLink(extra, socketPath(), kPanelPort, 5000),
              PanelConnectResult::Connected);
    for (PanelLink& link : links) {
        ClosePanelLink(link);
    }
    ClosePanelLink(extra);
}

// --- Another user ---

struct OtherUser {
    uid_t uid = 0;
    gid_t gid = 0;
};

std::optional<OtherUser> nobody() {
    if (::geteuid() != 0) {
        return std::nullopt;
    }
    const passwd* entry = ::getpwnam("nobody");
    if (entry == nullptr) {
        return std::nullopt;
    }
    return OtherUser{entry->pw_uid, entry->pw_gid};
}

// In a forked child: only system calls from here on.
void becomeUser(const OtherUser& user) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(user.gid, user.gid, user.gid) != 0 ||
        ::setresuid(user.uid, user.uid, user.uid) != 0) {
        ::_exit(90);
    }
}

int waitForChild(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(LightPanelLinkTest, ThePanelRefusesAnotherUser) {
    const std::optional<OtherUser> other = nobody();
    if (!other) {
        GTEST_SKIP() << "needs root (to connect as the user nobody)";
    }
    ASSERT_EQ(rig_.start(), ListenResult::Listening);
    // Open the way to the socket as a careless setup might: only the peer check stands.
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(socketPath().c_str(), 0666), 0);

    const sockaddr_un address = socketAddress(socketPath());
    // Child exit codes: 0 hung up on without an answer, 1 answered, 2 could not connect.
    const auto tryAs = [&](const OtherUser* user) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (user != nullptr) {
                becomeUser(*user);
            }
            const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
                ::_exit(2);
            }
            ::send(fd, kHello.data(), kHello.size(), MSG_NOSIGNAL);
            pollfd watched{fd, POLLIN, 0};
            ::poll(&watched, 1, 5000);
            uint8_t buffer[16];
            ::_exit(::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0 ? 1 : 0);
        }
        return waitForChild(child);
    };
    EXPECT_EQ(tryAs(nullptr), 1);  // our own user is answered
    EXPECT_EQ(tryAs(&*other), 0);
    EXPECT_TRUE(rig_.waitForLog("REFUSED other-user " + std::to_string(other->uid)));
    EXPECT_EQ(rig_.with([](LightPanelServer& server) { return server.refusedCount(); }), 1);
}

TEST_F(LightPanelLinkTest, GlowternRefusesAPanelOfAnotherUser) {
    const std::optional<OtherUser> other = nobody();
    if (!other) {
        GTEST_SKIP() << "needs root (to run a panel as the user nobody)";
    }
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
    const sockaddr_un address = socketAddress(socketPath());
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    // A panel of nobody's that welcomes everyone.
    const pid_t child = ::fork();
    if (child == 0) {
        becomeUser(*other);
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 4) != 0) {
            ::_exit(3);
        }
        [[maybe_unused]] const ssize_t told = ::write(ready[1], "r", 1);
        for (;;) {
            const int client = ::accept(fd, nullptr, nullptr);
            const uint8_t welcome[] = {'G', 'L', 1, 2, kPanelPort | kPanelUsb};
            ::send(client, welcome, sizeof welcome, MSG_NOSIGNAL);
        }
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the other user's panel did not start";
    ::close(ready[0]);

    PanelLink link;
    EXPECT_EQ(ConnectPanelLink(link, socketPath(), kPanelPort, 2000),
              PanelConnectResult::OtherUser);
    EXPECT_EQ(link.fd, -1);
    // The same panel is otherwise fine: our raw connection is welcomed.
    const int fd = rawConnect(socketPath());
    ASSERT_GE(fd, 0);
    const std::optional<Bytes> answer = rawReceive(fd);
    EXPECT_TRUE(answer && answer->size() == 5);
    ::close(fd);

    ::kill(child, SIGKILL);
    waitForChild(child);
}

}  // namespace
}  // namespace glowtern
