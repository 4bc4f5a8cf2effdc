#pragma once

#include "platform/port_module.h"

namespace glowtern {

// The port-I/O library on Linux: an ordinary module over ppdev. Loading it opens
// /dev/parport0 and claims the port; its exports are presented under the library's
// 13 export names, of which only `PortOut` and `IsDriverInstalled` are provided:
//
//   IsDriverInstalled()  non-zero exactly when the open and the claim succeeded
//   PortOut(0x378, v)    PPWDATA v     (data lines)
//   PortOut(0x37A, v)    PPWCONTROL v  (control lines)
//
// Other port addresses are ignored, and nothing is written while the port is not
// claimed. No raw port I/O is used. Unloading releases the port and closes it.
//
// Like a DLL, the module has one copy of its data per process: the exports are plain
// functions without a context argument, so the port descriptor is file-level state of
// the module. Loads are counted as the system counts library loads: the port is opened
// by the first load and released by the last unload.
class PpdevPortModule final : public PortModule {
  public:
    PpdevPortModule() = default;
    PpdevPortModule(const PpdevPortModule&) = delete;
    PpdevPortModule& operator=(const PpdevPortModule&) = delete;
    ~PpdevPortModule() override;

    // Always succeeds: the module itself is always there; whether the port could be
    // opened and claimed is what `IsDriverInstalled` reports.
    bool load() override;

    // One of the 13 export names gives its entry (null for the 11 that are not
    // provided); any other name, or any name before load(), gives null.
    void* findExport(const char* name) override;

    void unload() override;

  private:
    bool loaded_ = false;
};

}  // namespace glowtern
