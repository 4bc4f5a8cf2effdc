// Feeds arbitrary bytes to the module loader as a DLL image. The loader must neither crash nor
// read outside the input or its own mapping, whatever the headers claim; images are mapped,
// relocated, bound and protected but their code is never run (EntryPointPolicy::Never).
//
// The first input byte chooses how the rest is used. Even: as the image, byte for byte. Odd:
// laid over a frame that already carries the DOS and PE signatures, the PE header offset, a
// machine, a PE32 or PE32+ magic, the usual optional header size and directory count, so that
// the fuzzer, starting from nothing, spends its time on the sections and directories behind
// them rather than on guessing 16-bit magic numbers.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "devices/module_loader.h"

template <typename T>
void Put(std::vector<uint8_t>& image, size_t offset, T value) {
    std::memcpy(image.data() + offset, &value, sizeof value);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace glowtern;
    if (size == 0) {
        return 0;
    }
    const bool framed = (data[0] & 1) != 0;
    const bool wide = (data[0] & 2) != 0;
    // A copy of exactly the image's length, so that any read past it is caught.
    std::vector<uint8_t> image(data + 1, data + size);
    if (framed) {
        constexpr size_t kPe = 0x40;
        constexpr size_t kOptional = kPe + 24;
        image.resize(std::max<size_t>(image.size(), 0x200));
        Put<uint16_t>(image, 0, 0x5A4D);
        Put<uint32_t>(image, 0x3C, kPe);
        Put<uint32_t>(image, kPe, 0x00004550);
        Put<uint16_t>(image, kPe + 4, wide ? 0x8664 : 0x014C);
        Put<uint16_t>(image, kPe + 20, wide ? 0xF0 : 0xE0);
        Put<uint16_t>(image, kOptional, wide ? 0x20B : 0x10B);
        Put<uint32_t>(image, kOptional + (wide ? 108 : 92), 16);
    }

    // Libraries and symbols the fuzzer can reach: the empty name matches any name field that
    // points at a zero byte, of which a mostly zero-filled mapping has plenty. The addresses
    // are never called and fit in 32 bits, so PE32 images can bind them too.
    auto at = [](uintptr_t value) { return reinterpret_cast<void*>(value); };
    HostModules hosts;
    HostLibrary& empty = RegisterHostLibrary(hosts, "");
    empty.symbols[""] = at(0x1000);
    empty.ordinals[0] = at(0x2000);
    empty.ordinals[1] = at(0x3000);
    HostLibrary& k = RegisterHostLibrary(hosts, "k");
    k.symbols["f"] = at(0x4000);
    k.ordinals[2] = at(0x5000);

    LoadedModule* module =
        LoadModuleFromMemory(image.data(), image.size(), hosts, EntryPointPolicy::Never);
    if (module != nullptr) {
        if (module->initialised != 0 || module->importedLibraries.size() != hosts.loaded.size()) {
            std::abort();
        }
        const auto start = reinterpret_cast<uintptr_t>(module->imageBase);
        // Each lookup may scan up to 65536 names, so only two: a short name and the empty one.
        for (const char* name : {"f", ""}) {
            const auto found = reinterpret_cast<uintptr_t>(FindModuleExport(module, name));
            // An export is either absent or inside the image.
            if (found != 0 && (found < start || found >= start + module->sizeOfImage)) {
                std::abort();
            }
        }
        UnloadModule(module);
    }
    // Whatever happened, every library loaded for the image has been released, in order.
    if (hosts.released != hosts.loaded) {
        std::abort();
    }
    return 0;
}
