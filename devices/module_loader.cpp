#include "devices/module_loader.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <string_view>

#include "platform/page_memory.h"

namespace glowtern {

namespace {

constexpr uint16_t kDosSignature = 0x5A4D;  // "MZ"
constexpr size_t kDosHeaderSize = 0x40;
constexpr size_t kPeOffsetField = 0x3C;        // e_lfanew
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr size_t kExportDirectoryHeaderSize = 40;
constexpr uint32_t kMaxExportNames = 65536;
// More functions than any driver imports. The bound keeps a broken image from writing all
// through its mapping: a lookup table that starts one slot before its own address table reads
// each address just written as the next name, and so never ends before the image does.
constexpr uint64_t kMaxImportedFunctions = 65536;

constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kMachineAmd64 = 0x8664;

constexpr int kExportDirectory = 0;
constexpr int kImportDirectory = 1;
constexpr int kRelocationDirectory = 5;

constexpr int kRelocationHighLow = 3;
constexpr int kRelocationDir64 = 10;
constexpr uint32_t kMaxRelocationBlock = 8 + 2 * 4096;

constexpr uint32_t kScnInitializedData = 0x00000040;
constexpr uint32_t kScnUninitializedData = 0x00000080;
constexpr uint32_t kScnDiscardable = 0x02000000;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;

constexpr uint32_t kDllProcessDetach = 0;
constexpr uint32_t kDllProcessAttach = 1;

constexpr uint64_t k4GiB = uint64_t{1} << 32;

template <typename T>
T Read(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <typename T>
void Write(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

// True when [offset, offset + size) lies inside [0, limit); never overflows.
bool InRange(uint64_t offset, uint64_t size, uint64_t limit) {
    return offset <= limit && size <= limit - offset;
}

size_t PageSize() {
    return SystemPageSize();
}

uint64_t RoundDown(uint64_t value, uint64_t step) {
    return value - value % step;
}
uint64_t RoundUp(uint64_t value, uint64_t step) {
    return RoundDown(value + step - 1, step);
}

struct DataDirectory {
    uint32_t address = 0;
    uint32_t size = 0;
};

struct Section {
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawOffset;
    uint32_t characteristics;
};

// What the loader takes from the headers, every field already checked against the image length
// and SizeOfImage, so the later steps never read the headers again.
struct ImageLayout {
    bool wide = false;  // PE32+
    uint16_t machine = 0;
    uint32_t peOffset = 0;
    uint64_t optionalHeaderOffset = 0;
    uint64_t preferredBase = 0;
    uint32_t entryPoint = 0;
    uint32_t sectionAlignment = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t sizeOfInitializedData = 0;
    uint32_t sizeOfUninitializedData = 0;
    DataDirectory exports;
    DataDirectory imports;
    DataDirectory relocations;
    std::vector<Section> sections;
};

std::optional<ImageLayout> ParseHeaders(const uint8_t* image, size_t length) {
    if (length < kDosHeaderSize || Read<uint16_t>(image) != kDosSignature) {
        return std::nullopt;
    }
    ImageLayout layout;
    layout.peOffset = Read<uint32_t>(image + kPeOffsetField);
    if (!InRange(layout.peOffset, 4 + kFileHeaderSize, length) ||
        Read<uint32_t>(image + layout.peOffset) != kPeSignature) {
        return std::nullopt;
    }
    const uint8_t* fileHeader = image + layout.peOffset + 4;
    layout.machine = Read<uint16_t>(fileHeader);
    const uint16_t sectionCount = Read<uint16_t>(fileHeader + 2);
    const uint16_t optionalHeaderSize = Read<uint16_t>(fileHeader + 16);

    layout.optionalHeaderOffset = uint64_t{layout.peOffset} + 4 + kFileHeaderSize;
    if (!InRange(layout.optionalHeaderOffset, optionalHeaderSize, length) ||
        optionalHeaderSize < 2) {
        return std::nullopt;
    }
    const uint8_t* optional = image + layout.optionalHeaderOffset;
    const uint16_t magic = Read<uint16_t>(optional);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
        return std::nullopt;
    }
    layout.wide = magic == kMagicPe32Plus;
    // The fixed part ends with NumberOfRvaAndSizes; the data directories follow it.
    const size_t fixedSize = layout.wide ? 112 : 96;
    if (optionalHeaderSize < fixedSize) {
        return std::nullopt;
    }
    layout.sizeOfInitializedData = Read<uint32_t>(optional + 8);
    layout.sizeOfUninitializedData = Read<uint32_t>(optional + 12);
    layout.entryPoint = Read<uint32_t>(optional + 16);
    layout.preferredBase =
        layout.wide ? Read<uint64_t>(optional + 24) : Read<uint32_t>(optional + 28);
    layout.sectionAlignment = Read<uint32_t>(optional + 32);
    layout.sizeOfImage = Read<uint32_t>(optional + 56);
    layout.sizeOfHeaders = Read<uint32_t>(optional + 60);
    const uint32_t declaredDirectories = Read<uint32_t>(optional + fixedSize - 4);
    const uint32_t directoryCount = std::min<uint32_t>(
        declaredDirectories, static_cast<uint32_t>((optionalHeaderSize - fixedSize) / 8));
    auto directory = [&](int index) {
        DataDirectory entry;
        if (static_cast<uint32_t>(index) < directoryCount) {
            entry.address = Read<uint32_t>(optional + fixedSize + 8 * index);
            entry.size = Read<uint32_t>(optional + fixedSize + 8 * index + 4);
        }
        return entry;
    };
    layout.exports = directory(kExportDirectory);
    layout.imports = directory(kImportDirectory);
    layout.relocations = directory(kRelocationDirectory);

    // The headers are copied from the image into the mapping, and the section table must be
    // part of that copy.
    const uint64_t sectionTable = layout.optionalHeaderOffset + optionalHeaderSize;
    if (layout.sizeOfImage == 0 || layout.sizeOfHeaders > layout.sizeOfImage ||
        layout.sizeOfHeaders > length ||
        !InRange(sectionTable, uint64_t{sectionCount} * kSectionHeaderSize, layout.sizeOfHeaders)) {
        return std::nullopt;
    }
    layout.sections.reserve(sectionCount);
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* header = image + sectionTable + uint64_t{i} * kSectionHeaderSize;
        Section section{Read<uint32_t>(header + 12), Read<uint32_t>(header + 16),
                        Read<uint32_t>(header + 20), Read<uint32_t>(header + 36)};
        // A section without file data is given SectionAlignment zeroed bytes; either way what
        // the loader writes must lie inside SizeOfImage, and what it copies inside the image.
        const uint32_t placed = section.rawSize != 0 ? section.rawSize : layout.sectionAlignment;
        if (!InRange(section.virtualAddress, placed, layout.sizeOfImage)) {
            return std::nullopt;
        }
        if (section.rawSize != 0 && !InRange(section.rawOffset, section.rawSize, length)) {
            return std::nullopt;
        }
        layout.sections.push_back(section);
    }
    return layout;
}

// Whether this host can run the image's code: only AMD64 PE32+ code on an x86-64 host.
bool CanRunOnThisHost(const ImageLayout& layout) {
#if defined(__x86_64__)
    return layout.wide && layout.machine == kMachineAmd64;
#else
    (void)layout;
    return false;
#endif
}

// Reserves the image's range, committed read/write (pages cost memory only once touched). The
// preferred base is used when it is free; an existing mapping is never replaced. A PE32 image
// holds 32-bit absolute addresses, so it must end up wholly below 4 GiB wherever it is placed.
uint8_t* ReserveImage(const ImageLayout& layout, size_t size) {
    const uint64_t limit = layout.wide ? UINT64_MAX : k4GiB;
    const uint64_t preferred = layout.preferredBase;
    if (preferred != 0 && preferred % PageSize() == 0 && InRange(preferred, size, limit)) {
        if (void* mapped = ReservePagesAt(preferred, size)) {
            return static_cast<uint8_t*>(mapped);
        }
    }
    return static_cast<uint8_t*>(ReservePagesBelow(limit, size));
}

// Sets [offset, offset + size) of a fresh mapping to zeros. Whole pages are dropped rather than
// written, so a large zero-filled section costs no memory.
void ZeroFill(uint8_t* base, uint64_t offset, uint64_t size) {
    const uint64_t end = offset + size;
    const uint64_t firstWhole = RoundUp(offset, PageSize());
    const uint64_t lastWhole = RoundDown(end, PageSize());
    if (firstWhole >= lastWhole) {
        std::memset(base + offset, 0, size);
        return;
    }
    std::memset(base + offset, 0, firstWhole - offset);
    ZeroPages(base + firstWhole, lastWhole - firstWhole);
    std::memset(base + lastWhole, 0, end - lastWhole);
}

bool ApplyRelocations(uint8_t* base, const ImageLayout& layout, uint64_t delta) {
    const DataDirectory& directory = layout.relocations;
    if (directory.size == 0) {
        return true;
    }
    if (!InRange(directory.address, directory.size, layout.sizeOfImage)) {
        return false;
    }
    const uint8_t* start = base + directory.address;
    uint32_t offset = 0;
    // Fewer than 8 bytes left cannot hold a block header: the walk ends there.
    while (directory.size - offset >= 8) {
        const uint32_t page = Read<uint32_t>(start + offset);
        const uint32_t blockSize = Read<uint32_t>(start + offset + 4);
        if (page == 0) {
            break;
        }
        // An entry's offset has 12 bits, so one page can hold no more than 4096 distinct
        // fixups; a longer block repeats fixups and is as broken as one that overruns its
        // directory (and would have the walk crawl through gigabytes of a hostile image).
        if (blockSize < 8 || blockSize > directory.size - offset ||
            blockSize > kMaxRelocationBlock) {
            return false;
        }
        const uint32_t entryCount = (blockSize - 8) / 2;
        for (uint32_t i = 0; i < entryCount; ++i) {
            const uint16_t entry = Read<uint16_t>(start + offset + 8 + 2 * i);
            const int type = entry >> 12;
            const uint64_t target = uint64_t{page} + (entry & 0xFFF);
            if (type == kRelocationHighLow) {
                if (!InRange(target, 4, layout.sizeOfImage)) {
                    return false;
                }
                Write<uint32_t>(base + target,
                                Read<uint32_t>(base + target) + static_cast<uint32_t>(delta));
            } else if (type == kRelocationDir64) {
                if (!InRange(target, 8, layout.sizeOfImage)) {
                    return false;
                }
                Write<uint64_t>(base + target, Read<uint64_t>(base + target) + delta);
            }
            // Type 0 (absolute) only pads a block; other types are ignored.
        }
        offset += blockSize;
    }
    return true;
}

// The NUL-terminated string at `offset` if it ends inside the first `limit` bytes, else null.
const char* StringAt(const uint8_t* base, uint64_t offset, uint64_t limit) {
    if (offset >= limit) {
        return nullptr;
    }
    const void* end = std::memchr(base + offset, 0, limit - offset);
    return end == nullptr ? nullptr : reinterpret_cast<const char*>(base + offset);
}

bool BindImports(LoadedModule& module, const ImageLayout& layout) {
    const DataDirectory& directory = layout.imports;
    if (directory.size == 0) {
        return true;
    }
    if (!InRange(directory.address, directory.size, layout.sizeOfImage)) {
        return false;
    }
    uint8_t* base = module.imageBase;
    const uint64_t limit = layout.sizeOfImage;
    const uint64_t width = layout.wide ? 8 : 4;
    const uint64_t ordinalFlag = layout.wide ? uint64_t{1} << 63 : uint64_t{1} << 31;
    uint64_t boundFunctions = 0;
    // The descriptors end at the first one without a name, or at the end of the directory.
    for (uint64_t offset = 0; InRange(offset, kImportDescriptorSize, directory.size);
         offset += kImportDescriptorSize) {
        const uint8_t* descriptor = base + directory.address + offset;
        const uint32_t nameAddress = Read<uint32_t>(descriptor + 12);
        if (nameAddress == 0) {
            break;
        }
        const char* libraryName = StringAt(base, nameAddress, limit);
        if (libraryName == nullptr) {
            return false;
        }
        const HostLibrary* library = LoadHostLibrary(*module.hostModules, libraryName);
        if (library == nullptr) {
            return false;
        }
        module.importedLibraries.push_back(library);

        const uint32_t originalFirstThunk = Read<uint32_t>(descriptor);
        const uint32_t firstThunk = Read<uint32_t>(descriptor + 16);
        if (firstThunk == 0) {
            return false;  // the results would land in the headers
        }
        const uint64_t lookup = originalFirstThunk != 0 ? originalFirstThunk : firstThunk;
        for (uint64_t i = 0;; ++i) {
            const uint64_t lookupAt = lookup + i * width;
            const uint64_t slotAt = uint64_t{firstThunk} + i * width;
            if (!InRange(lookupAt, width, limit)) {
                return false;
            }
            const uint64_t entry =
                layout.wide ? Read<uint64_t>(base + lookupAt) : Read<uint32_t>(base + lookupAt);
            if (entry == 0) {
                break;
            }
            if (!InRange(slotAt, width, limit) || ++boundFunctions > kMaxImportedFunctions) {
                return false;
            }
            void* symbol = nullptr;
            if ((entry & ordinalFlag) != 0) {
                symbol = FindHostSymbol(library, static_cast<uint16_t>(entry & 0xFFFF));
            } else {
                // Skip the 16-bit hint in front of the name.
                const char* symbolName = StringAt(base, entry + 2, limit);
                if (symbolName == nullptr) {
                    return false;
                }
                symbol = FindHostSymbol(library, symbolName);
            }
            if (symbol == nullptr) {
                return false;
            }
            const uint64_t address = reinterpret_cast<uintptr_t>(symbol);
            if (layout.wide) {
                Write<uint64_t>(base + slotAt, address);
            } else {
                if (address >= k4GiB) {
                    return false;  // truncating it would bind the image to a wrong address
                }
                Write<uint32_t>(base + slotAt, static_cast<uint32_t>(address));
            }
        }
    }
    return true;
}

int PageProtection(uint32_t characteristics) {
    // Write-copy has no meaning for private memory: it is plain read/write. Linux cannot give
    // write access without read access, so a write-only section is read/write too, everywhere.
    // PAGE_NOCACHE has no user-space counterpart and is ignored.
    int protection = kPageNone;
    if ((characteristics & kScnRead) != 0) {
        protection |= kPageRead;
    }
    if ((characteristics & kScnWrite) != 0) {
        protection |= kPageRead | kPageWrite;
    }
    if ((characteristics & kScnExecute) != 0) {
        protection |= kPageExecute;
    }
    return protection;
}

// Records that [start, end) of the mapping now has `protection`.
void NoteProtection(LoadedModule& module, size_t start, size_t end, int protection) {
    if (start >= end) {
        return;
    }
    auto& spans = module.protection;
    if (end < module.mappedSize) {
        auto after = std::prev(spans.upper_bound(end));
        spans[end] = after->second;
    }
    spans.erase(spans.lower_bound(start), spans.lower_bound(end));
    spans[start] = protection;
}

int ProtectionAt(const LoadedModule& module, size_t offset) {
    if (offset >= module.mappedSize) {
        return kPageNone;
    }
    return std::prev(module.protection.upper_bound(offset))->second;
}

// Protection and decommitting work on whole pages, while sections need only be aligned to
// SectionAlignment. Protection works like VirtualProtect: every page holding a byte of the
// section gets it (so where sections share a page, the later one in the table decides).
// Decommitting must not destroy a neighbour's data, so it covers only pages the section has to
// itself: whole pages inside it, plus its last partial page when sections are page-aligned
// (the next section then starts on a later page). Both stay inside the mapping.
void ProtectSections(LoadedModule& module, const ImageLayout& layout) {
    const size_t page = PageSize();
    const bool pageAligned = layout.sectionAlignment != 0 && layout.sectionAlignment % page == 0;
    for (const Section& section : layout.sections) {
        const uint64_t start = section.virtualAddress;
        if ((section.characteristics & kScnDiscardable) != 0) {
            const uint64_t end = start + section.rawSize;  // a size of 0 decommits nothing
            const uint64_t from = RoundUp(start, page);
            const uint64_t to = std::min<uint64_t>(
                pageAligned ? RoundUp(end, page) : RoundDown(end, page), module.mappedSize);
            if (from < to) {
                DecommitPages(module.imageBase + from, to - from);
                NoteProtection(module, from, to, kPageNone);
            }
            continue;
        }
        uint64_t size = section.rawSize;
        if (size == 0) {
            if ((section.characteristics & kScnInitializedData) != 0) {
                size = layout.sizeOfInitializedData;
            } else if ((section.characteristics & kScnUninitializedData) != 0) {
                size = layout.sizeOfUninitializedData;
            }
        }
        if (size == 0) {
            continue;
        }
        const uint64_t from = RoundDown(start, page);
        const uint64_t to = std::min<uint64_t>(RoundUp(start + size, page), module.mappedSize);
        if (from < to) {
            const int protection = PageProtection(section.characteristics);
            ProtectPages(module.imageBase + from, to - from, protection);  // result not needed
            NoteProtection(module, from, to, protection);
        }
    }
}

// True when [offset, offset + size) of the mapping can be read as the loader left it.
bool Readable(const LoadedModule& module, uint64_t offset, uint64_t size) {
    if (!InRange(offset, size, module.sizeOfImage)) {
        return false;
    }
    const uint64_t end = offset + size;
    auto span = std::prev(module.protection.upper_bound(offset));
    while (true) {
        if ((span->second & kPageRead) == 0) {
            return false;
        }
        ++span;
        if (span == module.protection.end() || span->first >= end) {
            return true;
        }
    }
}

#if defined(__x86_64__)
using DllEntryPoint = int32_t(__attribute__((ms_abi)) *)(void* instance, uint32_t reason,
                                                         void* reserved);
#endif

// Image code carries no type signature for clang's -fsanitize=function to check.
#if defined(__clang__)
#define GLOWTERN_NO_SANITIZE_FUNCTION __attribute__((no_sanitize("function")))
#else
#define GLOWTERN_NO_SANITIZE_FUNCTION
#endif

// Calls DllMain(instance, reason, null). Only reached for images CanRunOnThisHost accepted.
GLOWTERN_NO_SANITIZE_FUNCTION int32_t CallEntryPoint(const LoadedModule& module, uint32_t reason) {
#if defined(__x86_64__)
    const auto entry = reinterpret_cast<DllEntryPoint>(
        reinterpret_cast<uintptr_t>(module.imageBase) + module.entryPoint);
    return entry(module.imageBase, reason, nullptr);
#else
    (void)module;
    (void)reason;
    return 0;
#endif
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const char* b) {
    const size_t length = std::strlen(b);
    if (a.size() != length) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

HostLibrary* FindHostLibrary(HostModules& hostModules, const char* name) {
    for (HostLibrary& library : hostModules.libraries) {
        if (EqualsIgnoringAsciiCase(library.name, name)) {
            return &library;
        }
    }
    return nullptr;
}

LoadedModule* Load(const uint8_t* image, size_t length, HostModules& hostModules,
                   EntryPointPolicy policy) {
    const std::optional<ImageLayout> parsed = ParseHeaders(image, length);
    if (!parsed) {
        return nullptr;
    }
    const ImageLayout& layout = *parsed;
    const bool enter = policy == EntryPointPolicy::Run && layout.entryPoint != 0;
    if (enter && !CanRunOnThisHost(layout)) {
        return nullptr;  // e.g. 32-bit code on a 64-bit host: never jump into it
    }

    const size_t mappedSize = RoundUp(layout.sizeOfImage, PageSize());
    uint8_t* base = ReserveImage(layout, mappedSize);
    if (base == nullptr) {
        return nullptr;
    }
    auto* module = new (std::nothrow) LoadedModule;
    if (module == nullptr) {
        ReleasePages(base, mappedSize);
        return nullptr;
    }
    module->imageBase = base;
    module->hostModules = &hostModules;
    module->mappedSize = mappedSize;
    module->sizeOfImage = layout.sizeOfImage;
    module->entryPoint = layout.entryPoint;
    module->exportDirectory = layout.exports.address;
    module->exportDirectorySize = layout.exports.size;

    try {
        module->protection[0] = kPageRead | kPageWrite;

        std::memcpy(base, image, layout.sizeOfHeaders);
        module->headers = base + layout.peOffset;
        // The copy names the base it was actually placed at.
        uint8_t* optional = base + layout.optionalHeaderOffset;
        if (layout.wide) {
            Write<uint64_t>(optional + 24, reinterpret_cast<uintptr_t>(base));
        } else {
            Write<uint32_t>(optional + 28,
                            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base)));
        }

        for (const Section& section : layout.sections) {
            if (section.rawSize == 0) {
                if (layout.sectionAlignment > 0) {
                    ZeroFill(base, section.virtualAddress, layout.sectionAlignment);
                }
            } else {
                std::memcpy(base + section.virtualAddress, image + section.rawOffset,
                            section.rawSize);
            }
        }

        const uint64_t delta = reinterpret_cast<uintptr_t>(base) - layout.preferredBase;
        if ((delta != 0 && !ApplyRelocations(base, layout, delta)) ||
            !BindImports(*module, layout)) {
            UnloadModule(module);
            return nullptr;
        }
        ProtectSections(*module, layout);
    } catch (const std::bad_alloc&) {
        UnloadModule(module);
        return nullptr;
    }

    if (!enter) {
        return module;
    }
    // A jump into a page that is not executable would only crash.
    if ((ProtectionAt(*module, layout.entryPoint) & kPageExecute) == 0 ||
        CallEntryPoint(*module, kDllProcessAttach) == 0) {
        UnloadModule(module);  // not initialised: no detach call
        return nullptr;
    }
    module->initialised = 1;
    return module;
}

}  // namespace

HostLibrary& RegisterHostLibrary(HostModules& hostModules, const std::string& name) {
    if (HostLibrary* existing = FindHostLibrary(hostModules, name.c_str())) {
        return *existing;
    }
    HostLibrary& library = hostModules.libraries.emplace_back();
    library.name = name;
    return library;
}

const HostLibrary* LoadHostLibrary(HostModules& hostModules, const char* name) {
    HostLibrary* library = FindHostLibrary(hostModules, name);
    if ((library == nullptr || library->system != nullptr) && hostModules.system != nullptr) {
        // Asked again at every load: the system counts the loads of its libraries.
        void* handle = hostModules.system->load(name);
        if (handle == nullptr) {
            return nullptr;
        }
        if (library == nullptr) {
            library = &RegisterHostLibrary(hostModules, name);
            library->system = hostModules.system;
        }
        library->systemHandle = handle;
    }
    if (library != nullptr) {
        hostModules.loaded.push_back(library->name);
    }
    return library;
}

void* FindHostSymbol(const HostLibrary* library, const char* name) {
    if (library == nullptr) {
        return nullptr;
    }
    if (library->system != nullptr) {
        return library->system->find(library->systemHandle, name);
    }
    auto found = library->symbols.find(std::string_view(name));
    return found == library->symbols.end() ? nullptr : found->second;
}

void* FindHostSymbol(const HostLibrary* library, uint16_t ordinal) {
    if (library == nullptr) {
        return nullptr;
    }
    if (library->system != nullptr) {
        return library->system->findOrdinal(library->systemHandle, ordinal);
    }
    auto found = library->ordinals.find(ordinal);
    return found == library->ordinals.end() ? nullptr : found->second;
}

void ReleaseHostLibrary(HostModules& hostModules, const HostLibrary* library) {
    if (library != nullptr) {
        if (library->system != nullptr) {
            library->system->release(library->systemHandle);
        }
        hostModules.released.push_back(library->name);
    }
}

LoadedModule* LoadModuleFromMemory(const uint8_t* image, size_t length, HostModules& hostModules,
                                   EntryPointPolicy policy) {
    if (image == nullptr) {
        return nullptr;
    }
    return Load(image, length, hostModules, policy);
}

void* FindModuleExport(const LoadedModule* module, const char* name) {
    if (module == nullptr || name == nullptr || module->exportDirectorySize == 0) {
        return nullptr;
    }
    const uint8_t* base = module->imageBase;
    const uint64_t directory = module->exportDirectory;
    if (module->exportDirectorySize < kExportDirectoryHeaderSize ||
        !Readable(*module, directory, kExportDirectoryHeaderSize)) {
        return nullptr;
    }
    const uint32_t functionCount = Read<uint32_t>(base + directory + 20);
    const uint32_t nameCount = Read<uint32_t>(base + directory + 24);
    const uint64_t functions = Read<uint32_t>(base + directory + 28);
    const uint64_t names = Read<uint32_t>(base + directory + 32);
    const uint64_t ordinals = Read<uint32_t>(base + directory + 36);
    // Names lead to 16-bit indices into the function table, so no linker makes more of them
    // than 65536; a larger count is a broken table, and scanning it could take minutes.
    if (nameCount == 0 || functionCount == 0 || nameCount > kMaxExportNames ||
        !Readable(*module, names, nameCount * 4ull) ||
        !Readable(*module, ordinals, nameCount * 2ull)) {
        return nullptr;
    }
    // Compared with its terminating NUL, so only an exact, whole-name match counts.
    const size_t compared = std::strlen(name) + 1;
    for (uint64_t i = 0; i < nameCount; ++i) {
        const uint32_t nameAddress = Read<uint32_t>(base + names + 4 * i);
        if (!Readable(*module, nameAddress, compared) ||
            std::memcmp(base + nameAddress, name, compared) != 0) {
            continue;
        }
        const uint16_t index = Read<uint16_t>(base + ordinals + 2 * i);
        if (index >= functionCount || !Readable(*module, functions + 4ull * index, 4)) {
            return nullptr;
        }
        const uint32_t address = Read<uint32_t>(base + functions + 4ull * index);
        if (address >= module->sizeOfImage) {
            return nullptr;  // not inside the image: nothing that could be called or read
        }
        return const_cast<uint8_t*>(base) + address;
    }
    return nullptr;
}

void UnloadModule(LoadedModule* module) {
    if (module == nullptr) {
        return;
    }
    if (module->initialised == 1) {
        CallEntryPoint(*module, kDllProcessDetach);
        module->initialised = 0;
    }
    for (const HostLibrary* library : module->importedLibraries) {
        ReleaseHostLibrary(*module->hostModules, library);
    }
    module->importedLibraries.clear();
    if (module->imageBase != nullptr) {
        ReleasePages(module->imageBase, module->mappedSize);
    }
    delete module;
}

}  // namespace glowtern
