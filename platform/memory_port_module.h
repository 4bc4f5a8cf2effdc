#pragma once

#include <string>
#include <vector>

#include "devices/module_loader.h"
#include "platform/port_module.h"

namespace glowtern {

// The file, beside glowtern.exe, that holds the 64-bit port-I/O library the user provides.
inline constexpr const char* kPortLibraryFileName = "portio64.dll";

// The port-I/O library on Windows: its DLL image is read from a file and mapped from memory by
// the program's own module loader; the libraries it imports come from the system's loader.
// Without the file, or with an image the loader refuses, load() fails.
class MemoryPortModule final : public PortModule {
  public:
    // The largest image read: far more than a port library needs.
    static constexpr size_t kMaxImageSize = size_t{64} << 20;

    // `path` empty: kPortLibraryFileName in the folder of the running program.
    explicit MemoryPortModule(std::string path = {});
    ~MemoryPortModule() override;
    MemoryPortModule(const MemoryPortModule&) = delete;
    MemoryPortModule& operator=(const MemoryPortModule&) = delete;

    bool load() override;
    void* findExport(const char* name) override;
    void unload() override;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    HostModules hostModules_;
    LoadedModule* module_ = nullptr;
};

}  // namespace glowtern
