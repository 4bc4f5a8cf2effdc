// The module loader on real mingw-built DLLs, PE32 and PE32+ (sample.c): layout, relocation
// (checked against objdump's list), import binding, exports, protection and entry points, and
// images whose headers or tables point out of range. ASan builds also catch any read past an
// image, which lies in a heap block of exactly its length.

#include <gtest/gtest.h>
#ifdef _WIN32
#include "tests/windows/memory_probe.h"
#else
#include <sys/mman.h>
#include <sys/resource.h>
#endif

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "devices/module_loader.h"

// Functions handed to PE32+ code use the Windows x64 calling convention.
#if defined(__x86_64__)
#define MS_ABI __attribute__((ms_abi))
#else
#define MS_ABI
#endif

namespace glowtern {
namespace {

std::vector<int32_t> hostNotes;  // the reasons DllMain passed to host_note
int32_t attachAnswer = 1;        // host_note's answer to process attach, which DllMain returns
MS_ABI int32_t HostNote(int32_t reason) {
    hostNotes.push_back(reason);
    return reason == 1 ? attachAnswer : 1;
}
MS_ABI int32_t HostSeed() {
    return 100;
}
MS_ABI int32_t AuxOffset() {
    return 1000;
}

// What the sample imports ("#7": by ordinal), with the address bound for it. PE32 code never
// runs here, so a PE32 image gets distinct stand-ins that fit in 32 bits.
const char* const kImports[] = {"host_note", "#7", "aux_offset"};
void* HostSymbol(bool wide, const std::string& symbol) {
    void* const functions[] = {reinterpret_cast<void*>(&HostNote),
                               reinterpret_cast<void*>(&HostSeed),
                               reinterpret_cast<void*>(&AuxOffset), nullptr};
    const size_t i = std::find(kImports, std::end(kImports), symbol) - kImports;
    return wide || i == 3 ? functions[i] : reinterpret_cast<void*>(0x1001 + 0x1000 * i);
}

// glowhost.dll (host_note by name, host_seed by ordinal 7) and glowaux.dll (aux_offset).
HostModules SampleHosts(bool wide) {
    HostModules hosts;
    HostLibrary& host = RegisterHostLibrary(hosts, "glowhost.dll");
    host.symbols["host_note"] = HostSymbol(wide, "host_note");
    host.ordinals[7] = HostSymbol(wide, "#7");
    RegisterHostLibrary(hosts, "glowaux.dll").symbols["aux_offset"] =
        HostSymbol(wide, "aux_offset");
    return hosts;
}
const std::vector<std::string> kImportOrder = {"glowaux.dll", "glowhost.dll"};

using ModulePtr = std::unique_ptr<LoadedModule, void (*)(LoadedModule*)>;
ModulePtr Load(const std::vector<uint8_t>& image, HostModules& hosts, EntryPointPolicy policy) {
    return {LoadModuleFromMemory(image.data(), image.size(), hosts, policy), UnloadModule};
}

uint64_t Word(const uint8_t* at, size_t width = 4) {
    uint64_t value = 0;
    std::memcpy(&value, at, width);
    return value;
}
uint32_t U32(const std::vector<uint8_t>& image, size_t offset) {
    return static_cast<uint32_t>(Word(&image.at(offset)));
}
void Put(std::vector<uint8_t>& image, size_t offset, uint64_t value, size_t width = 4) {
    std::memcpy(&image.at(offset), &value, width);
}

std::vector<uint8_t> ReadImage(const std::string& name) {
    std::ifstream file(GLOWTERN_LOADER_IMAGES "/" + name + ".dll", std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// objdump's account of an image (-p): its base relocations and its exports.
struct Report {
    std::vector<std::pair<uint32_t, std::string>> relocations;  // rva, HIGHLOW/DIR64/ABSOLUTE
    std::map<std::string, uint32_t> exports;                    // name -> rva
    std::vector<std::string> names;                             // in the name table's order
};

Report ReadReport(const std::string& name) {
    std::ifstream file(GLOWTERN_LOADER_IMAGES "/" + name + ".txt");
    Report report;
    std::vector<uint32_t> addresses;  // the export address table, which precedes the names
    for (std::string line; std::getline(file, line);) {
        unsigned index = 0, offset = 0, rva = 0;
        char word[128] = {};
        const char* text = line.c_str();
        if (std::sscanf(text, "\treloc %u offset %x [%x] %127s", &index, &offset, &rva, word) ==
            4) {
            report.relocations.emplace_back(rva, word);
        } else if (std::sscanf(text, "\t[%u] +base[%u] %x", &index, &offset, &rva) == 3) {
            addresses.push_back(rva);
        } else if (std::sscanf(text, "\t[%u] %127s", &index, word) == 2) {
            report.exports[word] = addresses.at(index);
            report.names.push_back(word);
        }
    }
    return report;
}

#ifndef _WIN32  // (the Windows build's are in memory_probe.h)
// An address range held by the test (inaccessible), e.g. to keep an image's preferred base taken;
// none for address 0.
struct Reservation {
    Reservation(uint64_t address, size_t length) : wanted(address), size(length) {}
    ~Reservation() {
        if (at != MAP_FAILED) {
            munmap(at, size);
        }
    }
    bool held() const { return at == reinterpret_cast<void*>(wanted); }  // not taken as a hint

    uint64_t wanted;
    size_t size;
    void* at = wanted == 0
                   ? MAP_FAILED  // none
                   : mmap(reinterpret_cast<void*>(wanted), size, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
};

// "r-x", "rw-", "---" ... of the mapping holding `address`, from /proc/self/maps; "" if none.
std::string PagePermissions(const void* address) {
    std::ifstream maps("/proc/self/maps");
    unsigned long long start = 0, end = 0;
    char dash = 0;
    std::string permissions, rest;
    while (maps >> std::hex >> start >> dash >> end >> permissions && std::getline(maps, rest)) {
        if (reinterpret_cast<uintptr_t>(address) - start < end - start) {
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

// A sample image as the file holds it, with the places in its headers that the tests read or
// break.
class SampleImage : public ::testing::TestWithParam<const char*> {
  protected:
    struct Section {
        uint32_t rva, size, rawSize, rawOffset, flags;
    };
    // One change to the image, or to the host libraries it is loaded with.
    struct Patch {
        const char* what;
        std::function<void(std::vector<uint8_t>&, HostModules&)> apply;
        Patch(const char* name, decltype(apply) change) : what(name), apply(std::move(change)) {}
        Patch(const char* name, size_t offset, uint64_t value, size_t width = 4)
            : what(name), apply([=](auto& f, auto&) { Put(f, offset, value, width); }) {}
    };

    const std::vector<uint8_t> file = ReadImage(GetParam());
    const Report report = ReadReport(GetParam());
    const uint32_t pe = U32(file, 0x3C);
    const uint32_t optional = pe + 24;
    const bool wide = file.at(optional + 1) == 2;  // magic 0x20B
    const size_t width = wide ? 8 : 4;
    const uint64_t preferredBase = Word(&file.at(optional + (wide ? 24 : 28)), width);
    const uint32_t sizeOfImage = U32(file, optional + 56);
    const uint32_t directories = optional + (wide ? 112 : 96);
    const uint32_t sectionTable = optional + (wide ? 240 : 224);

    std::vector<Section> Sections() const {
        std::vector<Section> sections;
        for (uint32_t at = sectionTable; at < sectionTable + 40 * file.at(pe + 6); at += 40) {
            sections.push_back({U32(file, at + 12), U32(file, at + 8), U32(file, at + 16),
                                U32(file, at + 20), U32(file, at + 36)});
        }
        return sections;
    }
    uint32_t Directory(int index) const { return U32(file, directories + 8 * index); }
    // The file offset of an rva inside a section's file data.
    size_t At(uint32_t rva) const {
        for (const Section& section : Sections()) {
            if (rva - section.rva < section.rawSize) {
                return section.rawOffset + (rva - section.rva);
            }
        }
        ADD_FAILURE() << "no file data at rva " << std::hex << rva;
        return 0;
    }
};

// At its preferred base every readable byte of the mapping is the file's (zeros past a
// section's file data), except the import slots, which hold the addresses bound, and the base
// in the headers, which is the one used. Placed
// elsewhere it differs from that only where objdump lists a relocation, by the distance moved.
// The headers are read/write, each section protected as its flags say, the relocations
// discarded; unloading releases the libraries in load order and the whole range.
TEST_P(SampleImage, MapsLikeTheFileWhereverItIsPlaced) {
    ASSERT_EQ(report.exports.size(), 11u);
    ASSERT_GT(report.relocations.size(), 2u);
    std::vector<uint8_t> atPreferredBase;
    for (bool baseTaken : {false, true}) {
        SCOPED_TRACE(baseTaken ? "relocated" : "at its preferred base");
        Reservation taken(baseTaken ? preferredBase : 0, sizeOfImage);
        ASSERT_EQ(taken.held(), baseTaken);
        HostModules hosts = SampleHosts(wide);
        ModulePtr module = Load(file, hosts, EntryPointPolicy::Never);
        ASSERT_NE(module, nullptr);
        uint8_t* const base = module->imageBase;
        const uint64_t delta = reinterpret_cast<uintptr_t>(base) - preferredBase;
        EXPECT_EQ(delta == 0, !baseTaken);
        EXPECT_TRUE(wide || reinterpret_cast<uintptr_t>(base) + sizeOfImage <= uint64_t{1} << 32)
            << "32-bit addresses must still hold";
        EXPECT_EQ(module->headers, base + pe);
        EXPECT_EQ(PagePermissions(base), "rw-") << "headers";
        std::vector<uint8_t> actual(base, base + U32(file, optional + 60));  // the headers, and
        std::vector<uint8_t> expected(file.begin(), file.begin() + actual.size());
        actual.resize(sizeOfImage);  // below the readable sections
        expected.resize(sizeOfImage);
        for (const Section& section : Sections()) {
            const bool discarded = section.flags & 0x02000000;
            EXPECT_EQ(PagePermissions(base + section.rva),
                      discarded ? "---"
                                : std::string("r") + (section.flags & 0x80000000 ? "w" : "-") +
                                      (section.flags & 0x20000000 ? "x" : "-"))
                << std::hex << section.rva;
            if (!discarded) {
                std::copy_n(base + section.rva, section.size, &actual[section.rva]);
                std::copy_n(&file[section.rawOffset], std::min(section.size, section.rawSize),
                            &expected[section.rva]);
            }
        }
        if (baseTaken) {
            expected = atPreferredBase;
            for (const auto& [rva, type] : report.relocations) {
                if (type == (wide ? "DIR64" : "HIGHLOW")) {
                    Put(expected, rva, Word(&expected[rva], width) + delta, width);
                }
            }
        } else {
            std::set<std::string> bound;
            for (uint32_t slot = 0; slot < sizeOfImage; slot += width) {
                for (const char* symbol : kImports) {
                    const auto address = reinterpret_cast<uintptr_t>(HostSymbol(wide, symbol));
                    if (Word(&actual[slot], width) == address) {
                        Put(expected, slot, address, width);
                        bound.insert(symbol);
                    }
                }
            }
            EXPECT_EQ(bound.size(), std::size(kImports)) << "every import is bound";
        }
        Put(expected, optional + (wide ? 24 : 28), reinterpret_cast<uintptr_t>(base), width);
        EXPECT_TRUE(actual == expected)
            << "first difference at rva 0x" << std::hex
            << std::mismatch(actual.begin(), actual.end(), expected.begin()).first - actual.begin();
        atPreferredBase = expected;
        for (const auto& [name, rva] : report.exports) {
            EXPECT_EQ(FindModuleExport(module.get(), name.c_str()), base + rva) << name;
        }
        for (const char* near : {"VALUE", "valu", "value ", "values", "", "hidden"}) {
            EXPECT_EQ(FindModuleExport(module.get(), near), nullptr)
                << "only whole names: " << near;
        }
        EXPECT_EQ(hosts.loaded, kImportOrder);
        module.reset();
        EXPECT_EQ(hosts.released, kImportOrder);
        EXPECT_TRUE(RangeIsFree(reinterpret_cast<uintptr_t>(base), sizeOfImage));
    }
}

TEST_P(SampleImage, EveryTruncationFailsUntilAllSectionDataIsPresent) {
    size_t required = U32(file, optional + 60);  // SizeOfHeaders
    for (const Section& section : Sections()) {
        required = std::max<size_t>(required, section.rawOffset + section.rawSize);
    }
    ASSERT_LE(required, file.size());
    int wrong = 0;
    for (size_t length = 0; length <= file.size(); ++length) {
        const std::vector<uint8_t> cut(file.begin(), file.begin() + length);
        HostModules hosts = SampleHosts(wide);
        ModulePtr module = Load(cut, hosts, EntryPointPolicy::Never);
        if ((module != nullptr) != (length >= required) && ++wrong <= 3) {
            ADD_FAILURE() << "length " << length << (module ? " loaded" : " failed");
        }
        module.reset();
        EXPECT_EQ(hosts.released, hosts.loaded);
    }
    EXPECT_EQ(wrong, 0);
}

// Headers, relocations, imports and exports broken, one case for each kind of range or reference
// the loader follows (ASan and the fuzzer catch stray reads elsewhere), with the preferred base
// taken so that the image must move. A broken export table leaves the image usable, with what it
// no longer reaches not found; anything else fails the load, and what was loaded for it is given
// back. glowaux.dll is imported first, then glowhost.dll.
TEST_P(SampleImage, EachBrokenFieldFailsOrHidesOnlyWhatItBreaks) {
    const uint32_t length = static_cast<uint32_t>(file.size());
    const size_t relocations = At(Directory(5));
    const size_t second = At(Directory(1)) + 20;  // glowhost.dll's import descriptor
    const size_t exports = At(Directory(0));
    const size_t names = At(U32(file, exports + 32));
    auto nameIndex = [&](const char* name) {
        return std::find(report.names.begin(), report.names.end(), name) - report.names.begin();
    };
    auto rename = [&](const char* from, const char* to) {
        return [&, from, to](auto& f, auto&) {
            std::memcpy(&f[At(U32(f, names + 4 * nameIndex(from)))], to, std::strlen(to));
        };
    };
    const size_t ordinals = At(U32(file, exports + 36));
    const size_t functions = At(U32(file, exports + 28));
    const uint32_t twinAFunction = U32(file, ordinals + 2 * nameIndex("twin_a")) % 65536;
    // Each patch, and what twin_a, twin_b and add_seed find after it (the export objdump gives
    // at that name, or none); no lookups: the load fails.
    using Lookups = std::vector<const char*>;
    const Lookups none = {nullptr, nullptr, nullptr};
    std::vector<std::pair<Patch, Lookups>> cases = {
        {{"DOS signature", 1, 'X', 1}, {}},
        {{"PE signature", pe + 1, 'X', 1}, {}},
        {{"optional header magic", optional, 0x10C, 2}, {}},
        {{"optional header past the end", pe + 20, 0xFFFF, 2}, {}},
        {{"headers longer than the image", optional + 60, length + 1}, {}},
        {{"SizeOfImage 0", optional + 56, 0}, {}},
        {{"sections past SizeOfImage", optional + 56, 0x1000}, {}},
        {{"section data size wraps", sectionTable + 16, 0xFFFFFE00}, {}},
        {{"relocation block shorter than its header", relocations + 4, 4}, {}},
        {{"fixup past the image", relocations, 0xFFFFF000}, {}},
        {{"library not there", [](auto&, auto& h) { h.libraries.pop_front(); }}, {}},
        {{"ordinal not there", [](auto&, auto& h) { h.libraries.front().ordinals.clear(); }}, {}},
        {{"library name at the image's last byte", second + 12, sizeOfImage - 1}, {}},
        {{"no import address table", second + 16, 0}, {}},
        {{"symbol name past the image", At(U32(file, second)), sizeOfImage - 2}, {}},
        {{"host address beyond what a PE32 slot holds",
          [](auto&, auto& h) {
              h.libraries.back().symbols["aux_offset"] = reinterpret_cast<void*>(0x100002001);
          }},
         wide ? Lookups{"twin_a", "twin_b", "add_seed"} : Lookups{}},
        // Of two equal names, the entry earlier in the table (twin_a's) wins.
        {{"twin_b named twin_a", rename("twin_b", "twin_a")}, {"twin_a", nullptr, "add_seed"}},
        {{"ordinal one past the function table", ordinals + 2 * nameIndex("add_seed"),
          U32(file, exports + 20), 2},
         {"twin_a", "twin_b", nullptr}},
        {{"one name out of reach", names + 4 * nameIndex("twin_a"), sizeOfImage - 1},
         {nullptr, "twin_b", "add_seed"}},
        {{"one function outside the image", functions + 4 * twinAFunction, sizeOfImage},
         {nullptr, "twin_b", "add_seed"}},
        {{"name table past the image", exports + 32, 0xFFFFFF00}, none},
        {{"more names than the image holds", exports + 24, 0x7FFFFFFF}, none},
        {{"export directory too small for its header", directories + 4, 39}, none},
    };
    Reservation taken(preferredBase, sizeOfImage);
    ASSERT_TRUE(taken.held());
    for (const auto& [patch, found] : cases) {
        SCOPED_TRACE(patch.what);
        std::vector<uint8_t> patched = file;
        HostModules hosts = SampleHosts(wide);
        patch.apply(patched, hosts);
        ModulePtr module = Load(patched, hosts, EntryPointPolicy::Never);
        ASSERT_EQ(module != nullptr, !found.empty());
        for (size_t i = 0; i < found.size(); ++i) {
            const char* name = std::array{"twin_a", "twin_b", "add_seed"}[i];
            EXPECT_EQ(FindModuleExport(module.get(), name),
                      found[i] ? module->imageBase + report.exports.at(found[i]) : nullptr)
                << name;
        }
        module.reset();
        EXPECT_EQ(hosts.released, hosts.loaded);
    }
    EXPECT_EQ(FindModuleExport(nullptr, "twin_a"), nullptr);
}

std::string ImageName(const ::testing::TestParamInfo<const char*>& image) {
    return image.param;
}
INSTANTIATE_TEST_SUITE_P(Images, SampleImage, ::testing::Values("sample64", "sample32"), ImageName);

// A PE32+ image of 1 GiB with one section, whose one import's lookup table starts a slot before
// its address table. Each bound address (0x3000, where the image holds only zeros) is read back
// as the next entry, a name found at 0x3002: the empty name, which the host library "k" has.
TEST(MalformedImage, ImportsThatFeedOnTheirOwnAddressesStopWithoutFillingTheMapping) {
    // Offset and value of each field, in rising order so that a 16-bit field's upper half is
    // written over by the next: the headers with the import directory at 0x1000, the section
    // mapped there, and in its data the descriptor, the name "k" and the lookup table's entry.
    constexpr uint32_t kFields[] = {
        0,     0x5A4D, 0x3C,  0x40,   0x40,  0x4550, 0x44,  0x8664,     0x46,  1,
        0x54,  0xF0,   0x58,  0x20B,  0x78,  0x1000, 0x7C,  0x200,      0x90,  1u << 30,
        0x94,  0x200,  0xC4,  16,     0xD0,  0x1000, 0xD4,  40,         0x150, 0x200,
        0x154, 0x1000, 0x158, 0x200,  0x15C, 0x200,  0x16C, 0xC0000040, 0x200, 0x10F8,
        0x20C, 0x1080, 0x210, 0x1100, 0x280, 'k',    0x2F8, 0x3000};
    std::vector<uint8_t> image(0x400, 0);
    for (size_t i = 0; i < std::size(kFields); i += 2) {
        Put(image, kFields[i], kFields[i + 1]);
    }
    HostModules hosts;
    RegisterHostLibrary(hosts, "k").symbols[""] = reinterpret_cast<void*>(0x3000);
    const long before = PeakResidentKiB();
    EXPECT_EQ(Load(image, hosts, EntryPointPolicy::Never), nullptr);
    EXPECT_EQ(hosts.released, hosts.loaded);
    ASSERT_EQ(hosts.loaded.size(), 1u);  // it did get as far as binding
    // Walking on to the end of the image would have made most of its 1 GiB resident.
    EXPECT_LT(PeakResidentKiB() - before, 64 * 1024);
}

#if defined(__x86_64__)

using AddSeed = int32_t(MS_ABI*)(int32_t);

// The PE32+ sample runs wherever it is placed: DllMain counts the attach in its .bss and keeps
// its instance, an export calls both imports (bound by name and by ordinal), the relocated
// function pointer in its data reaches the same code, and unloading detaches. Only code that can
// run is entered, and only a module that accepts the attach is kept.
TEST(LoaderEntryPoint, Pe32PlusDllRunsWhereverPlacedAndOnlyCodeThatCanRunIsEntered) {
    const std::vector<uint8_t> file = ReadImage("sample64");
    for (bool baseTaken : {false, true}) {
        SCOPED_TRACE(baseTaken ? "relocated" : "at its preferred base");
        hostNotes.clear();
        Reservation taken(baseTaken ? 0x20000000 : 0, 0x10000);
        HostModules hosts = SampleHosts(true);
        ModulePtr module = Load(file, hosts, EntryPointPolicy::Run);
        ASSERT_NE(module, nullptr);
        auto exported = [&](const char* name) { return FindModuleExport(module.get(), name); };
        EXPECT_EQ(module->imageBase == reinterpret_cast<uint8_t*>(0x20000000), !baseTaken);
        EXPECT_EQ(module->initialised, 1);
        EXPECT_EQ(hostNotes, std::vector<int32_t>{1});
        EXPECT_EQ(*static_cast<int32_t*>(exported("attach_calls")), 1);
        EXPECT_EQ(*static_cast<void**>(exported("instance_seen")), module->imageBase);
        const auto addSeed = reinterpret_cast<AddSeed>(exported("add_seed"));
        ASSERT_NE(addSeed, nullptr);
        EXPECT_EQ(addSeed(5), 5 + 100 + 1000);
        EXPECT_EQ(*static_cast<AddSeed*>(exported("add_seed_ptr")), addSeed);
        module.reset();
        EXPECT_EQ(hostNotes, (std::vector<int32_t>{1, 0}));
    }
    // A DllMain that refuses the attach fails the load and is not told to detach; an entry point
    // in data is not entered, nor is PE32 code, whose image is refused before anything is bound.
    hostNotes.clear();
    attachAnswer = 0;
    HostModules hosts = SampleHosts(true);
    EXPECT_EQ(Load(file, hosts, EntryPointPolicy::Run), nullptr);
    attachAnswer = 1;
    EXPECT_EQ(hostNotes, std::vector<int32_t>{1});
    EXPECT_EQ(hosts.released, kImportOrder);
    std::vector<uint8_t> entryInData = file;
    Put(entryInData, U32(file, 0x3C) + 40, ReadReport("sample64").exports.at("counter"));
    EXPECT_EQ(Load(entryInData, hosts, EntryPointPolicy::Run), nullptr);
    EXPECT_EQ(hostNotes, std::vector<int32_t>{1}) << "an entry point in data is not entered";
    HostModules hosts32 = SampleHosts(false);
    EXPECT_EQ(Load(ReadImage("sample32"), hosts32, EntryPointPolicy::Run), nullptr);
    EXPECT_TRUE(hosts32.loaded.empty());
    EXPECT_TRUE(RangeIsFree(0x20000000, 0x10000) && RangeIsFree(0x21000000, 0x10000));
}

#endif  // __x86_64__

}  // namespace
}  // namespace glowtern
