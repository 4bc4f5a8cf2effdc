#include "tests/loader/test_images.h"

#ifdef _WIN32
#include <windows.h>
// (after windows.h)
#include <psapi.h>
#else
#include <sys/mman.h>
#include <sys/resource.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace glowtern::loader_test {

namespace {

std::string ImagePath(const std::string& name, const char* extension) {
    return std::string(GLOWTERN_LOADER_IMAGES) + "/" + name + extension;
}

uint64_t Hex(const std::string& text) {
    return std::stoull(text, nullptr, 16);
}

}  // namespace

std::vector<uint8_t> ReadImage(const std::string& name) {
    std::ifstream file(ImagePath(name, ".dll"), std::ios::binary);
    if (!file) {
        throw std::runtime_error("missing test image " + name);
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// objdump's text is read line by line with sscanf: std::regex trips GCC's uninitialised-use
// warnings in sanitizer builds.
ObjdumpReport ReadReport(const std::string& name) {
    std::ifstream file(ImagePath(name, ".txt"));
    if (!file) {
        throw std::runtime_error("missing objdump report of " + name);
    }
    ObjdumpReport report;
    std::vector<uint32_t> exportAddresses;
    std::vector<std::pair<std::string, uint32_t>> exportIndices;
    ReportImport pending;
    bool inImport = false;
    bool inTableAddresses = false;
    std::string line;
    auto startsWith = [&line](const char* prefix) { return line.rfind(prefix, 0) == 0; };
    auto lastToken = [&line] { return line.substr(line.find_last_of(" \t") + 1); };
    while (std::getline(file, line)) {
        const char* text = line.c_str();
        unsigned a = 0;
        unsigned b = 0;
        unsigned long long c = 0;
        unsigned d = 0;
        char word[128] = {};
        if (startsWith("Magic")) {
            report.wide = line.find("PE32+") != std::string::npos;
        } else if (startsWith("ImageBase")) {
            report.imageBase = Hex(lastToken());
        } else if (startsWith("AddressOfEntryPoint")) {
            report.entryPoint = static_cast<uint32_t>(Hex(lastToken()));
        } else if (startsWith("SizeOfImage")) {
            report.sizeOfImage = static_cast<uint32_t>(Hex(lastToken()));
        } else if (startsWith("SizeOfHeaders")) {
            report.sizeOfHeaders = static_cast<uint32_t>(Hex(lastToken()));
        } else if (std::sscanf(text, "Entry %x %llx %x", &a, &c, &b) == 3) {
            report.directories[static_cast<int>(a)] = {static_cast<uint32_t>(c), b};
        } else if (unsigned row[6]; line.size() == 54 &&
                                    std::sscanf(text, " %8x\t%8x %8x %8x %8x %8x", &row[0], &row[1],
                                                &row[2], &row[3], &row[4], &row[5]) == 6) {
            // An import descriptor: rva, OriginalFirstThunk, stamp, chain, name, FirstThunk.
            pending = ReportImport{};
            pending.descriptorRva = row[0];
            pending.lookupRva = row[1];
            pending.firstThunk = row[5];
        } else if (startsWith("\tDLL Name: ")) {
            pending.library = lastToken();
            report.imports.push_back(pending);
            inImport = true;
        } else if (inImport && startsWith("\t") && line.find('\t', 1) != std::string::npos) {
            // "\t<lookup entry>\t <hint or ordinal> <name>"; the entry tells which it is.
            const std::string entryText = line.substr(1, line.find('\t', 1) - 1);
            char* end = nullptr;
            const uint64_t entry = std::strtoull(entryText.c_str(), &end, 16);
            if (*end == '\0' && !entryText.empty()) {
                const uint64_t ordinalFlag = report.wide ? uint64_t{1} << 63 : uint64_t{1} << 31;
                ReportImportEntry imported;
                if ((entry & ordinalFlag) != 0) {
                    imported.ordinal = static_cast<int>(entry & 0xFFFF);
                } else {
                    imported.name = lastToken();
                }
                report.imports.back().entries.push_back(imported);
            }
        } else if (line.empty()) {
            inImport = false;
        } else if (line == "Table Addresses") {
            inTableAddresses = true;
        } else if (inTableAddresses && startsWith("\tName Pointer Table")) {
            report.exportNameTable = static_cast<uint32_t>(Hex(lastToken()));
        } else if (inTableAddresses && startsWith("\tOrdinal Table")) {
            report.exportOrdinalTable = static_cast<uint32_t>(Hex(lastToken()));
            inTableAddresses = false;
        } else if (std::sscanf(text, "\t[%u] +base[%u] %x", &a, &b, &d) == 3) {
            exportAddresses.push_back(d);
        } else if (std::sscanf(text, "\t[%u] %127s", &a, word) == 2) {
            exportIndices.emplace_back(word, a);
        } else if (std::sscanf(text, "\treloc %u offset %x [%x] %127s", &a, &b, &d, word) == 4) {
            report.relocations.push_back({d, word});
        } else if (line.find(" 2**") != std::string::npos &&
                   std::sscanf(text, " %u %127s %x %llx", &a, word, &b, &c) == 4) {
            ReportSection entry;
            entry.name = word;
            entry.size = b;
            entry.rva = static_cast<uint32_t>(c - report.imageBase);
            std::istringstream fields(line);
            std::string skip;
            std::string offset;
            fields >> skip >> skip >> skip >> skip >> skip >> offset;  // idx name size vma lma
            entry.fileOffset = static_cast<uint32_t>(Hex(offset));
            std::string flags;
            std::getline(file, flags);
            entry.contents = flags.find("CONTENTS") != std::string::npos;
            entry.readOnly = flags.find("READONLY") != std::string::npos;
            entry.code = flags.find("CODE") != std::string::npos;
            report.sections.push_back(entry);
        }
    }
    report.exportFunctionCount = static_cast<uint32_t>(exportAddresses.size());
    for (const auto& [exported, index] : exportIndices) {
        report.exportNames.push_back(exported);
        report.exports[exported] = exportAddresses.at(index);
    }
    return report;
}

int64_t ObjdumpReport::FileOffset(uint32_t rva) const {
    for (const ReportSection& entry : sections) {
        if (entry.contents && rva >= entry.rva && rva < entry.rva + entry.size) {
            return int64_t{entry.fileOffset} + (rva - entry.rva);
        }
    }
    return -1;
}

uint32_t ReadU32(const std::vector<uint8_t>& image, size_t offset) {
    uint32_t value;
    std::memcpy(&value, image.data() + offset, sizeof value);
    return value;
}

void WriteU32(std::vector<uint8_t>& image, size_t offset, uint32_t value) {
    std::memcpy(image.data() + offset, &value, sizeof value);
}

void WriteU16(std::vector<uint8_t>& image, size_t offset, uint16_t value) {
    std::memcpy(image.data() + offset, &value, sizeof value);
}

uint32_t OptionalHeaderOffset(const std::vector<uint8_t>& image) {
    return ReadU32(image, 0x3C) + 24;
}

std::vector<FileSection> ReadFileSections(const std::vector<uint8_t>& image) {
    const uint32_t peOffset = ReadU32(image, 0x3C);
    const uint16_t count = static_cast<uint16_t>(ReadU32(image, peOffset + 6));
    const uint16_t optionalSize = static_cast<uint16_t>(ReadU32(image, peOffset + 20));
    std::vector<FileSection> sections;
    for (uint16_t i = 0; i < count; ++i) {
        const size_t header = OptionalHeaderOffset(image) + optionalSize + i * 40u;
        sections.push_back({ReadU32(image, header + 12), ReadU32(image, header + 16),
                            ReadU32(image, header + 20)});
    }
    return sections;
}

ModulePtr Load(const std::vector<uint8_t>& image, HostModules& hostModules,
               EntryPointPolicy policy) {
    return ModulePtr(LoadModuleFromMemory(image.data(), image.size(), hostModules, policy),
                     UnloadModule);
}

std::vector<int32_t> hostNotes;
int32_t attachAnswer = 1;

GLOWTERN_MS_ABI int32_t HostNote(int32_t reason) {
    hostNotes.push_back(reason);
    return reason == 1 ? attachAnswer : 1;
}

GLOWTERN_MS_ABI int32_t HostSeed() {
    return 100;
}

GLOWTERN_MS_ABI int32_t AuxOffset() {
    return 1000;
}

uint64_t SampleHostAddress(bool wide, const std::string& library, const std::string& symbol) {
    const std::string key = library + "!" + symbol;
    if (wide) {
        if (key == "glowhost.dll!host_note") {
            return reinterpret_cast<uintptr_t>(&HostNote);
        }
        if (key == "glowhost.dll!#7") {
            return reinterpret_cast<uintptr_t>(&HostSeed);
        }
        if (key == "glowaux.dll!aux_offset") {
            return reinterpret_cast<uintptr_t>(&AuxOffset);
        }
    } else {
        if (key == "glowhost.dll!host_note") {
            return 0x1001;
        }
        if (key == "glowhost.dll!#7") {
            return 0x1007;
        }
        if (key == "glowaux.dll!aux_offset") {
            return 0x2001;
        }
    }
    return 0;
}

HostModules SampleHosts(bool wide) {
    auto address = [wide](const char* library, const char* symbol) {
        return reinterpret_cast<void*>(
            static_cast<uintptr_t>(SampleHostAddress(wide, library, symbol)));
    };
    HostModules hosts;
    HostLibrary& host = RegisterHostLibrary(hosts, "glowhost.dll");
    host.symbols["host_note"] = address("glowhost.dll", "host_note");
    host.ordinals[7] = address("glowhost.dll", "#7");
    HostLibrary& aux = RegisterHostLibrary(hosts, "glowaux.dll");
    aux.symbols["aux_offset"] = address("glowaux.dll", "aux_offset");
    return hosts;
}

#ifdef _WIN32
Reservation::Reservation(uint64_t address, size_t size) : size_(size) {
    void* wanted = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
    void* reserved = VirtualAlloc(wanted, size, MEM_RESERVE, PAGE_NOACCESS);
    if (reserved == nullptr) {
        return;
    }
    if (reserved != wanted) {  // the address rounded down to a free granule: not the range
        VirtualFree(reserved, 0, MEM_RELEASE);
        return;
    }
    address_ = reserved;
}

Reservation::~Reservation() {
    if (address_ != nullptr) {
        VirtualFree(address_, 0, MEM_RELEASE);
    }
}

std::string PagePermissions(const void* address) {
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(address, &region, sizeof region) == 0 || region.State == MEM_FREE) {
        return "";
    }
    if (region.State == MEM_RESERVE) {
        return "---";
    }
    switch (region.Protect & 0xFF) {
        case PAGE_READONLY:
            return "r--";
        case PAGE_READWRITE:
        case PAGE_WRITECOPY:
            return "rw-";
        case PAGE_EXECUTE:
            return "--x";
        case PAGE_EXECUTE_READ:
            return "r-x";
        case PAGE_EXECUTE_READWRITE:
        case PAGE_EXECUTE_WRITECOPY:
            return "rwx";
        default:
            return "---";
    }
}

long PeakResidentKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}
#else
Reservation::Reservation(uint64_t address, size_t size) : size_(size) {
    void* mapped = mmap(reinterpret_cast<void*>(static_cast<uintptr_t>(address)), size, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (mapped == MAP_FAILED) {
        return;
    }
    if (reinterpret_cast<uintptr_t>(mapped) != address) {
        munmap(mapped, size);  // taken as a mere hint: the range was not free
        return;
    }
    address_ = mapped;
}

Reservation::~Reservation() {
    if (address_ != nullptr) {
        munmap(address_, size_);
    }
}

std::string PagePermissions(const void* address) {
    const auto wanted = reinterpret_cast<uintptr_t>(address);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range;
        std::string permissions;
        fields >> range >> permissions;
        const size_t dash = range.find('-');
        const uint64_t start = Hex(range.substr(0, dash));
        const uint64_t end = Hex(range.substr(dash + 1));
        if (wanted >= start && wanted < end) {
            return permissions.substr(0, 3);
        }
    }
    return "";
}

long PeakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}
#endif

bool RangeIsFree(uint64_t address, size_t size) {
    return Reservation(address, size).held();
}

}  // namespace glowtern::loader_test
