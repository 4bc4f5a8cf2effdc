// The light panel (glowtern-panel) is a Linux program reached through a local socket of a kind
// Windows has not got (SOCK_SEQPACKET), so on Windows there is never a panel to reach: every
// connect finds none, and the light panel output stays silent. The output itself is the same
// on both.

#include <chrono>

#include "platform/light_panel_client.h"

namespace glowtern {

PanelConnectResult ConnectPanelLink(PanelLink& link, const std::string& /*path*/, uint8_t /*roles*/,
                                    int /*welcomeWaitMs*/) {
    ClosePanelLink(link);
    return PanelConnectResult::NoPanel;
}

bool PumpPanelLink(PanelLink& link) {
    ClosePanelLink(link);
    return false;
}

PanelSendResult SendToPanel(PanelLink& link, const PanelMessage& /*message*/, int /*roomWaitMs*/) {
    ClosePanelLink(link);
    return PanelSendResult::Closed;
}

void ClosePanelLink(PanelLink& link) {
    link = PanelLink{};
}

long PanelPeerUid(int /*fd*/) {
    return -1;
}

int64_t PanelMonotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace glowtern
