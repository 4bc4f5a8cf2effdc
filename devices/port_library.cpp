#include "devices/port_library.h"

#include <string_view>

namespace glowtern {

namespace {

constexpr std::size_t kPortOutIndex = 0;
constexpr std::size_t kIsDriverInstalledIndex = 12;
static_assert(std::string_view(kPortLibraryExportNames[kPortOutIndex]) == "PortOut");
static_assert(std::string_view(kPortLibraryExportNames[kIsDriverInstalledIndex]) ==
              "IsDriverInstalled");

}  // namespace

void BindPortLibrary(PortLibrary& library, PortModule& module) {
    UnbindPortLibrary(library);
    if (!module.load()) {
        return;
    }
    library.module = &module;
    for (std::size_t i = 0; i < kPortLibraryExportCount; ++i) {
        library.entries[i] = module.findExport(kPortLibraryExportNames[i]);
    }
    library.portOut = reinterpret_cast<PortOutFunction>(library.entries[kPortOutIndex]);
    library.isDriverInstalled =
        reinterpret_cast<IsDriverInstalledFunction>(library.entries[kIsDriverInstalledIndex]);
}

bool CheckPortDriver(const PortLibrary& library) {
    if (library.module == nullptr || library.isDriverInstalled == nullptr) {
        return false;
    }
    return library.isDriverInstalled() != 0;
}

void WritePort(const PortLibrary& library, uint16_t port, uint8_t value) {
    if (library.portOut != nullptr) {
        library.portOut(port, value);
    }
}

void UnbindPortLibrary(PortLibrary& library) {
    if (library.module != nullptr) {
        library.module->unload();
    }
    library = PortLibrary{};
}

}  // namespace glowtern
