#pragma once

// Maps a Windows DLL whose complete file image lies in memory and makes it usable without the
// file ever existing on disk: reserve, copy headers and sections, relocate when the preferred
// base is taken, bind its imports through HostModules, protect each section, call its entry
// point; later look up exports by name and unload it again.
//
// Both PE32 and PE32+ images are mapped. Only code the host can run is ever called: on x86-64
// that is a PE32+ image for the AMD64 machine, entered with the Windows x64 calling convention.
// A PE32 image with an entry point cannot be entered on a 64-bit host and is refused when the
// policy asks for its entry point to run.
//
// Every read of the image is bounded by the length given and by the sizes in its own headers; a
// malformed image gives null, never a read outside the image or outside the mapping.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace glowtern {

// A library that mapped images can import from: its symbols by name and by ordinal.
//
// A PE32+ image calls what it imports with the Windows x64 calling convention, so every function
// handed to such an image must be declared __attribute__((ms_abi)). A PE32 image stores 32-bit
// addresses; a symbol whose address does not fit in 32 bits makes its load fail.
struct SystemLibraries;

struct HostLibrary {
    std::string name;
    std::map<std::string, void*, std::less<>> symbols;
    std::map<uint16_t, void*> ordinals;
    // A library the system's loader gave (see SystemLibraries): its symbols are looked up there.
    const SystemLibraries* system = nullptr;
    void* systemHandle = nullptr;
};

// The system's own loader (LoadLibraryA, GetProcAddress, FreeLibrary on Windows), for libraries
// that were not registered. Every load is matched by one release, as the system counts them.
struct SystemLibraries {
    void* (*load)(const char* name);  // null when there is no such library
    void* (*find)(void* handle, const char* name);
    void* (*findOrdinal)(void* handle, uint16_t ordinal);
    void (*release)(void* handle);
};

// The libraries that images bind to. A library that was never registered cannot be loaded, like
// a DLL that is not installed, unless `system` is set: it is then asked for the library. Library
// names compare without regard to ASCII case, as Windows does; symbol names compare exactly.
// Every load and release is logged by name, in order.
struct HostModules {
    std::deque<HostLibrary> libraries;  // a deque keeps handed-out references valid
    std::vector<std::string> loaded;
    std::vector<std::string> released;
    const SystemLibraries* system = nullptr;
};

// Adds a library (or returns the one already registered under that name) to fill with symbols.
HostLibrary& RegisterHostLibrary(HostModules& hostModules, const std::string& name);

// LoadLibraryA, GetProcAddress and FreeLibrary for the images: registered libraries first, then
// (when HostModules::system is set) the system's own. A null library finds nothing.
const HostLibrary* LoadHostLibrary(HostModules& hostModules, const char* name);
void* FindHostSymbol(const HostLibrary* library, const char* name);
void* FindHostSymbol(const HostLibrary* library, uint16_t ordinal);
void ReleaseHostLibrary(HostModules& hostModules, const HostLibrary* library);

// Whether the image's entry point is called. Never maps, relocates, binds and protects the image
// but runs none of its code (for images that are only inspected, and for fuzzing).
enum class EntryPointPolicy { Run, Never };

struct LoadedModule {
    uint8_t* headers = nullptr;    // the PE signature inside the mapped copy
    uint8_t* imageBase = nullptr;  // start of the mapping; relative addresses count from here
    std::vector<const HostLibrary*> importedLibraries;  // in load order
    int32_t initialised = 0;  // 1 while the DLL has accepted process attach

    HostModules* hostModules = nullptr;
    size_t mappedSize = 0;  // SizeOfImage rounded up to whole pages
    uint32_t sizeOfImage = 0;
    uint32_t entryPoint = 0;  // AddressOfEntryPoint
    uint32_t exportDirectory = 0;
    uint32_t exportDirectorySize = 0;
    // Page protection of the mapping as the loader left it: each key starts a span of kPage*
    // flags (platform/page_memory.h) that runs to the next key (or the end of the mapping). Export
    // lookups read only through spans that are readable.
    std::map<size_t, int> protection;
};

// Loads the DLL file image of `length` bytes at `image`. Null on any failure; a failure after
// the mapping was made releases everything it had built, imported libraries included. The
// image may be freed once this returns; `hostModules` must outlive the module.
LoadedModule* LoadModuleFromMemory(const uint8_t* image, size_t length, HostModules& hostModules,
                                   EntryPointPolicy policy = EntryPointPolicy::Run);

// The address of the export with exactly this name (case-sensitive; the first of equal names
// wins), or null.
void* FindModuleExport(const LoadedModule* module, const char* name);

// Tells an initialised DLL to detach, releases its imported libraries in load order and its
// mapping, and frees the record. Null does nothing.
void UnloadModule(LoadedModule* module);

}  // namespace glowtern
