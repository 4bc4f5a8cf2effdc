#pragma once

#include <memory>

#include "platform/dmx.h"

namespace glowtern {

// OLA's client (platform/dmx_ola.cpp), built as a module of its own and loaded the first
// time DMX connects: libola and protobuf add several MiB to a process that never uses DMX.
// The module is looked for beside the program (a build tree), then in ../lib/glowtern/ from
// it (an installation). While it cannot be loaded every connect() fails, and tries again.
class DmxModuleLink final : public DmxLink {
  public:
    static constexpr const char* kFileName = "dmx-ola.so";

    DmxModuleLink();
    ~DmxModuleLink() override;
    DmxModuleLink(const DmxModuleLink&) = delete;
    DmxModuleLink& operator=(const DmxModuleLink&) = delete;

    bool connect() override;
    SendResult send(uint32_t universe, const DmxChannelValues& channels) override;
    void close() override;
    bool clientLoaded() const override { return link_ != nullptr; }

  private:
    bool load();

    std::unique_ptr<DmxLink> link_;  // the module's link, once loaded
    bool failureReported_ = false;
};

}  // namespace glowtern
