#pragma once

#include "platform/port_module.h"

namespace glowtern {

// The port-I/O library on Linux: an ordinary module over ppdev. Its exports are
// presented under the library's 13 export names, of which only `PortOut` and
// `IsDriverInstalled` are provided:
//
//   IsDriverInstalled()  opens /dev/parport0 and claims it the first time it is asked;
//                        non-zero when the open and the claim succeeded (or see below)
//   PortOut(0x378, v)    PPWDATA v     (data lines)
//   PortOut(0x37A, v)    PPWCONTROL v  (control lines)
//
// Other port addresses are ignored. No raw port I/O is used. Unloading releases the
// port and closes it.
//
// The port is not touched at load, so a second copy of the program, which loads the
// library before it finds the first copy running, never claims the first copy's port.
//
// Without a port (no /dev/parport0, or it cannot be opened or claimed) nothing is written
// and `IsDriverInstalled` is 0; the light panel, where one runs, is a lamp of its own
// (outputs/panel_output.h).
//
// Like a DLL, the module has one copy of its data per process: the exports are plain
// functions without a context argument, so the port descriptor is file-level state of
// the module. Loads are counted as the system counts library loads: the port is
// released by the last unload.
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
