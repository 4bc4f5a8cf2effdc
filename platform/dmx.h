#pragma once

#include <array>
#include <cstdint>

namespace glowtern {

inline constexpr int kDmxChannels = 512;
using DmxChannelValues = std::array<uint8_t, kDmxChannels>;  // channel n at n - 1

// A connection to the lighting daemon that passes a universe on to the lamps (OLA's olad).
// Used from one thread at a time. Every call returns within a few hundred milliseconds,
// whatever the daemon does.
class DmxLink {
  public:
    virtual ~DmxLink() = default;

    // Connects; false when the daemon does not answer. A connection still open is closed
    // first.
    virtual bool connect() = 0;

    enum class SendResult {
        Sent,
        Dropped,  // the daemon is behind: these values are not sent, the connection stays
        Lost,     // the connection is gone (and closed)
    };
    // Sends the 512 channels of `universe`.
    virtual SendResult send(uint32_t universe, const DmxChannelValues& channels) = 0;

    virtual void close() = 0;

    // False while the client library cannot be loaded (OLA not installed): connect() then
    // fails whatever the daemon does.
    virtual bool clientLoaded() const { return true; }
};

}  // namespace glowtern
