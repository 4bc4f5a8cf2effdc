#pragma once

// The DLLs built for the loader tests, and objdump's report of each, which the tests use as an
// independent account of what the loader should find in them.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devices/module_loader.h"

// Functions handed to PE32+ code use the Windows x64 calling convention.
#if defined(__x86_64__)
#define GLOWTERN_MS_ABI __attribute__((ms_abi))
#else
#define GLOWTERN_MS_ABI
#endif

namespace glowtern::loader_test {

struct ReportSection {
    std::string name;
    uint32_t rva = 0;
    uint32_t size = 0;  // objdump's size: the section's virtual size
    uint32_t fileOffset = 0;
    bool contents = false;
    bool readOnly = false;
    bool code = false;
};

struct ReportImportEntry {
    std::string name;  // empty when imported by ordinal
    int ordinal = -1;
};

struct ReportImport {
    std::string library;
    uint32_t descriptorRva = 0;
    uint32_t lookupRva = 0;  // OriginalFirstThunk
    uint32_t firstThunk = 0;
    std::vector<ReportImportEntry> entries;
};

struct ReportRelocation {
    uint32_t rva = 0;
    std::string type;  // HIGHLOW, DIR64, ABSOLUTE
};

struct ObjdumpReport {
    bool wide = false;
    uint64_t imageBase = 0;
    uint32_t entryPoint = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    std::map<int, std::pair<uint32_t, uint32_t>> directories;  // index -> (rva, size)
    std::vector<ReportSection> sections;
    std::vector<ReportImport> imports;
    std::map<std::string, uint32_t> exports;  // name -> function rva
    std::vector<std::string> exportNames;     // in name-table order
    uint32_t exportFunctionCount = 0;
    uint32_t exportNameTable = 0;
    uint32_t exportOrdinalTable = 0;
    std::vector<ReportRelocation> relocations;

    // The file offset of an rva inside a section's file data; -1 when it has none.
    int64_t FileOffset(uint32_t rva) const;
};

std::vector<uint8_t> ReadImage(const std::string& name);

// Names parameterised tests after the image they run on.
inline std::string ImageName(const ::testing::TestParamInfo<const char*>& info) {
    return info.param;
}
ObjdumpReport ReadReport(const std::string& name);

// Section headers as the file holds them (objdump shows no raw sizes).
struct FileSection {
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawOffset;
};
std::vector<FileSection> ReadFileSections(const std::vector<uint8_t>& image);

// Offset of the optional header in the file.
uint32_t OptionalHeaderOffset(const std::vector<uint8_t>& image);

uint32_t ReadU32(const std::vector<uint8_t>& image, size_t offset);
void WriteU32(std::vector<uint8_t>& image, size_t offset, uint32_t value);
void WriteU16(std::vector<uint8_t>& image, size_t offset, uint16_t value);

using ModulePtr = std::unique_ptr<LoadedModule, void (*)(LoadedModule*)>;
ModulePtr Load(const std::vector<uint8_t>& image, HostModules& hostModules,
               EntryPointPolicy policy);

// What the sample DLL's host functions have seen: the reasons DllMain passed to host_note, and
// what host_note answers for process attach (DllMain returns it).
extern std::vector<int32_t> hostNotes;
extern int32_t attachAnswer;
GLOWTERN_MS_ABI int32_t HostNote(int32_t reason);
GLOWTERN_MS_ABI int32_t HostSeed();   // 100
GLOWTERN_MS_ABI int32_t AuxOffset();  // 1000

// The two libraries the sample DLL imports from. A PE32+ image gets the functions above; a
// PE32 image, which never runs here, gets small distinct stand-in addresses that fit in 32 bits.
HostModules SampleHosts(bool wide);
// The address registered for an import entry of the sample DLL (by name, or "#7" by ordinal).
uint64_t SampleHostAddress(bool wide, const std::string& library, const std::string& symbol);

// An address range held by the test (inaccessible), e.g. to keep an image's preferred base taken.
class Reservation {
  public:
    Reservation(uint64_t address, size_t size);
    ~Reservation();
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    bool held() const { return address_ != nullptr; }

  private:
    void* address_ = nullptr;
    size_t size_ = 0;
};

bool RangeIsFree(uint64_t address, size_t size);

// "r-x", "rw-", "---" ... of the mapping holding `address` (reserved pages without memory are
// "---"); "" if none.
std::string PagePermissions(const void* address);

// The most memory the process has had resident so far, in KiB.
long PeakResidentKiB();

}  // namespace glowtern::loader_test
