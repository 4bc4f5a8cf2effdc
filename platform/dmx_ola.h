#pragma once

#include <memory>

#include "platform/dmx.h"

namespace glowtern {

// The Open Lighting Architecture's daemon, olad, on this machine (127.0.0.1, its RPC port
// 9010), through libola's client. Never starts olad itself. The connection is made
// without blocking (200 ms at most) and a send that olad cannot take at once is dropped
// (100 ms at most); closing waits 200 ms at most for olad to have taken in the last
// universe. So a daemon that hangs cannot hold up the caller for long.
// Built into the module dmx-ola.so with libola, which the program loads only when DMX is
// used (platform/dmx_module.h).
class OlaDmxLink final : public DmxLink {
  public:
    OlaDmxLink();
    ~OlaDmxLink() override;
    OlaDmxLink(const OlaDmxLink&) = delete;
    OlaDmxLink& operator=(const OlaDmxLink&) = delete;

    bool connect() override;
    SendResult send(uint32_t universe, const DmxChannelValues& channels) override;
    void close() override;

  private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
};

}  // namespace glowtern

// The module's entry point: a new OlaDmxLink, to be deleted by the caller.
extern "C" glowtern::DmxLink* GlowternCreateDmxLink();
