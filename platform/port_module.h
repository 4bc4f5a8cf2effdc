#pragma once

#include <cstdint>

namespace glowtern {

// Entry points of the port-I/O library as the program calls them.
using PortOutFunction = void (*)(uint16_t port, uint8_t value);
using IsDriverInstalledFunction = int32_t (*)();

// A port-I/O library: loaded once, its exports looked up by name, unloaded at the end.
class PortModule {
  public:
    virtual ~PortModule() = default;

    // Loads the library; false when it cannot be loaded.
    virtual bool load() = 0;

    // The export with exactly this name, or null when the library has none.
    virtual void* findExport(const char* name) = 0;

    // Unloads the library; its exports must not be called afterwards.
    virtual void unload() = 0;
};

}  // namespace glowtern
