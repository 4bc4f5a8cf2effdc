#pragma once

// The light panel's side of the protocol (see light_panel_protocol.h): it listens for
// Glowtern, takes its port writes and USB reports, keeps the lamps and a short history of
// the port lines, and can log every write. Single-threaded: the owner calls process() when
// pollFd() is readable (or in a loop with a timeout); it needs no timer of its own.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/light_panel_protocol.h"

namespace glowtern {

struct PanelLineChange {
    int64_t nanoseconds = 0;  // monotonic clock
    uint16_t lines = 0;       // line levels from then on (PanelLineLevels)
};

// How long the line history reaches back, and how many changes it holds at most.
inline constexpr int64_t kPanelHistoryNanoseconds = 5'000'000'000;
inline constexpr size_t kPanelHistoryLimit = 4096;

// What the panel shows.
struct PanelLamps {
    uint8_t data = 0x00;                  // last data register value
    uint8_t control = 0x0B;               // last control register value (0x0B: all four lines low)
    uint16_t lines = 0;                   // connector levels of the 12 lines, panel order
    uint32_t pins = 0;                    // the 18 USB pins, panel order
    std::deque<PanelLineChange> history;  // changes of `lines`, oldest first
};

// Applies a write to the data or control register at time `now`; other ports change nothing.
void RecordPanelPortWrite(PanelLamps& lamps, uint16_t port, uint8_t value, int64_t now);

// Drops history older than kPanelHistoryNanoseconds before `now`, keeping the change that
// was in force at the start of that span.
void TrimPanelHistory(PanelLamps& lamps, int64_t now);

class LightPanelServer {
  public:
    // Clients served at once (connections that have said Hello); further ones are refused.
    static constexpr size_t kMaxClients = 16;
    // Connections that have not said Hello yet are held apart from the clients: each has
    // kHelloNanoseconds to say it, and a new one beyond kMaxWaiting pushes out the one that
    // has waited longest. So silent connections can neither take Glowtern's place nor run
    // the panel out of descriptors.
    static constexpr size_t kMaxWaiting = 16;
    static constexpr int64_t kHelloNanoseconds = 1'000'000'000;

    LightPanelServer() = default;
    LightPanelServer(const LightPanelServer&) = delete;
    LightPanelServer& operator=(const LightPanelServer&) = delete;
    ~LightPanelServer();

    enum class ListenResult { Listening, PanelRunning, Failed };

    // Listens at `path` (its directory must exist): the socket gets mode 0600 and appears
    // under its name only once it accepts connections. A lock file beside it keeps a second
    // panel of the same user away (PanelRunning). `error` says what went wrong otherwise.
    ListenResult listen(const std::string& path, std::string& error);

    // Appends "<monotonic ns> <event>" lines to this descriptor (the server owns it from
    // now on): every write received ("DATA 0x02", "CONTROL 0x0b", "USB 0x00 0x41") and the
    // comings and goings ("HELLO port", "BYE", "REFUSED <why>", "PRESENCE off").
    void setLog(int fd);

    // Readable when process() has something to do, which includes hanging up on a connection
    // whose time to say Hello has run out. Not readable while nothing is pending.
    int pollFd() const { return epollFd_; }

    // Handles everything pending; waits up to `timeoutMs` for the first event (0: no wait).
    void process(int timeoutMs);

    // Plugs the virtual USB device in or pulls it out. Pulling it out hangs up on the
    // connections that write reports and switches every pin off; watchers are told both.
    void setUsbPlugged(bool plugged);
    bool usbPlugged() const { return usbPlugged_; }

    const PanelLamps& lamps() const { return lamps_; }
    PanelLamps& lamps() { return lamps_; }

    // Connections that have said Hello, and with which roles together.
    size_t clientCount() const;
    uint8_t clientRoles() const;
    // Connections refused so far (another user, too many, malformed messages).
    int refusedCount() const { return refused_; }
    // Grows whenever a lamp, the clients or the USB presence change (not for writes that
    // leave every lamp as it was).
    uint64_t changeCount() const { return changes_; }

    // Stops listening, hangs up on everyone, removes the socket.
    void close();

  private:
    struct Client {
        int fd = -1;
        bool greeted = false;
        uint8_t roles = 0;
        int64_t helloDeadline = 0;  // monotonic ns; until then an ungreeted one may stay
    };

    void acceptClients();
    size_t liveCount(bool greeted) const;
    // Hangs up on those that have not said Hello by `now`.
    void dropSilent(int64_t now);
    // Sets the timer to the earliest Hello deadline, or stops it when nobody waits.
    void armHelloTimer();
    // False when the client has to go.
    bool readClient(Client& client);
    bool takeMessage(Client& client, std::span<const uint8_t> packet);
    bool sendTo(Client& client, const PanelMessage& message);
    void refuse(Client& client, const std::string& why);
    void drop(Client& client);
    void removeDropped();
    void log(const std::string& event);

    int listenFd_ = -1;
    int epollFd_ = -1;
    int lockFd_ = -1;
    int logFd_ = -1;
    int timerFd_ = -1;           // in the epoll set: fires at the earliest Hello deadline
    int64_t armedDeadline_ = 0;  // what it is set to; 0: stopped
    std::string path_;
    std::vector<Client> clients_;
    PanelLamps lamps_;
    bool usbPlugged_ = true;
    int refused_ = 0;
    uint64_t changes_ = 0;
};

}  // namespace glowtern
