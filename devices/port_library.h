#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/port_module.h"

namespace glowtern {

// The port-I/O library's exports, looked up by name in this order.
inline constexpr std::size_t kPortLibraryExportCount = 13;
inline constexpr std::array<const char*, kPortLibraryExportCount> kPortLibraryExportNames = {
    "PortOut",        "PortWordOut",   "PortDWordOut",      "PortIn",     "PortWordIn",
    "PortDWordIn",    "SetPortBit",    "ClrPortBit",        "NotPortBit", "GetPortBit",
    "RightPortShift", "LeftPortShift", "IsDriverInstalled",
};

// The bound port-I/O library: the loaded module and its entry-point table, kept from
// process start to the end of the program. Read-only after binding.
struct PortLibrary {
    PortModule* module = nullptr;  // null while unbound or when the load failed
    std::array<void*, kPortLibraryExportCount> entries{};  // null where a name was not found
    PortOutFunction portOut = nullptr;
    IsDriverInstalledFunction isDriverInstalled = nullptr;
};

// Loads `module` and looks up the 13 export names in table order. When the load fails
// the library stays unbound and every entry null. A library that is already bound is
// unbound first.
void BindPortLibrary(PortLibrary& library, PortModule& module);

// True when the module and `IsDriverInstalled` exist and it returns non-zero. Nothing is
// called when either is missing.
bool CheckPortDriver(const PortLibrary& library);

// Writes one byte to an I/O port through `PortOut`; nothing happens when it is missing.
void WritePort(const PortLibrary& library, uint16_t port, uint8_t value);

// Unloads the module if one is bound and clears every entry, so no later write can
// reach an unloaded module. Safe to call again.
void UnbindPortLibrary(PortLibrary& library);

}  // namespace glowtern
