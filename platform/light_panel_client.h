#pragma once

// Glowtern's side of a connection to the light panel (protocol in light_panel_protocol.h).
// The light panel output keeps one connection per role; none of these calls ever waits for
// the panel except ConnectPanelLink when asked to wait for the Welcome.

#include <cstdint>
#include <string>

#include "platform/light_panel_protocol.h"

namespace glowtern {

struct PanelLink {
    int fd = -1;            // -1 while not connected
    bool welcomed = false;  // the panel has answered our Hello
    uint8_t offers = 0;     // its latest offers (Welcome, then Presence)
};

enum class PanelConnectResult {
    Connected,  // connected; welcomed as well when a wait was asked for
    NoPanel,    // nothing listens at the path (or no path); fails at once
    OtherUser,  // the listener belongs to another user: hung up
    NoWelcome,  // the panel did not answer the Hello in time, or answered nonsense
};

// Connects to the panel at `path`, checks that it runs as our own user, and sends Hello with
// `roles`. With `welcomeWaitMs` > 0 it then waits that long at most for the Welcome; with 0
// it returns at once and the Welcome is picked up by a later PumpPanelLink. A link that is
// still connected is closed first. On any result but Connected the link is closed.
PanelConnectResult ConnectPanelLink(PanelLink& link, const std::string& path, uint8_t roles,
                                    int welcomeWaitMs);

// Takes in what the panel has sent (Welcome, Presence) without waiting. False, with the link
// closed, when the panel has hung up or sent something this side does not take.
bool PumpPanelLink(PanelLink& link);

enum class PanelSendResult {
    Sent,
    Dropped,  // the socket buffer is full: the panel is behind, the message is lost
    Closed,   // not connected, or the panel has gone; the link is closed now
};

// Sends one message without SIGPIPE. With `roomWaitMs` 0 it never blocks; otherwise a full
// socket is waited on that long at most for room before the message is dropped.
PanelSendResult SendToPanel(PanelLink& link, const PanelMessage& message, int roomWaitMs = 0);

void ClosePanelLink(PanelLink& link);

// The user id of the process at the other end of a connected local socket, or -1.
long PanelPeerUid(int fd);

// Monotonic clock in nanoseconds (the clock of the panel's log).
int64_t PanelMonotonicNanoseconds();

}  // namespace glowtern
