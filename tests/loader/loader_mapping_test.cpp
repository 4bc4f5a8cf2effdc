// Mapping real mingw-built DLLs without running them: placement, relocation, import binding,
// export lookup and page protection, each checked against objdump's report of the same file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "devices/module_loader.h"
#include "tests/loader/test_images.h"

namespace glowtern::loader_test {
namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;

uint64_t ReadMapped(const uint8_t* at, bool wide) {
    uint64_t value = 0;
    std::memcpy(&value, at, wide ? 8 : 4);
    return value;
}

// Rvas of the import address table slots, with the address bound into each.
std::map<uint32_t, uint64_t> ExpectedSlots(const ObjdumpReport& report) {
    std::map<uint32_t, uint64_t> slots;
    const uint32_t width = report.wide ? 8 : 4;
    for (const ReportImport& library : report.imports) {
        for (size_t i = 0; i < library.entries.size(); ++i) {
            const ReportImportEntry& entry = library.entries[i];
            const std::string symbol =
                entry.ordinal >= 0 ? "#" + std::to_string(entry.ordinal) : entry.name;
            slots[library.firstThunk + static_cast<uint32_t>(i) * width] =
                SampleHostAddress(report.wide, library.library, symbol);
        }
    }
    return slots;
}

// Every readable section byte of the mapping equals the file's, except that each relocation
// target has moved by the placement delta and each import slot holds its bound address.
// Sections that are not readable must be the discardable .reloc section.
void ExpectMappedLikeFile(const LoadedModule& module, const std::vector<uint8_t>& file,
                          const ObjdumpReport& report) {
    const uint64_t delta = reinterpret_cast<uintptr_t>(module.imageBase) - report.imageBase;
    std::vector<uint8_t> expected(report.sizeOfImage);
    std::vector<bool> compared(report.sizeOfImage);
    for (const ReportSection& section : report.sections) {
        if (!section.contents) {
            continue;
        }
        if (PagePermissions(module.imageBase + section.rva)[0] != 'r') {
            EXPECT_EQ(section.name, ".reloc");
            continue;
        }
        for (uint32_t i = 0; i < section.size; ++i) {
            expected[section.rva + i] = file.at(section.fileOffset + i);
            compared[section.rva + i] = true;
        }
    }
    for (const ReportRelocation& relocation : report.relocations) {
        uint8_t* at = expected.data() + relocation.rva;
        if (relocation.type == "HIGHLOW") {
            uint32_t value;
            std::memcpy(&value, at, 4);
            value += static_cast<uint32_t>(delta);
            std::memcpy(at, &value, 4);
        } else if (relocation.type == "DIR64") {
            uint64_t value;
            std::memcpy(&value, at, 8);
            value += delta;
            std::memcpy(at, &value, 8);
        }
    }
    for (const auto& [rva, address] : ExpectedSlots(report)) {
        std::memcpy(expected.data() + rva, &address, report.wide ? 8 : 4);
    }
    int mismatches = 0;
    for (uint32_t rva = 0; rva < report.sizeOfImage; ++rva) {
        if (compared[rva] && module.imageBase[rva] != expected[rva] && ++mismatches <= 5) {
            ADD_FAILURE() << "byte at rva 0x" << std::hex << rva << " is 0x"
                          << int{module.imageBase[rva]} << ", expected 0x" << int{expected[rva]};
        }
    }
    EXPECT_EQ(mismatches, 0);
}

void ExpectExportsAsReported(const LoadedModule& module, const ObjdumpReport& report) {
    ASSERT_FALSE(report.exports.empty());
    for (const auto& [name, rva] : report.exports) {
        EXPECT_EQ(FindModuleExport(&module, name.c_str()), module.imageBase + rva) << name;
    }
}

class MappedImage : public ::testing::TestWithParam<const char*> {
  protected:
    const std::vector<uint8_t> file = ReadImage(GetParam());
    const ObjdumpReport report = ReadReport(GetParam());
    HostModules hosts = SampleHosts(report.wide);
};

TEST_P(MappedImage, FreePreferredBaseIsUsedWithoutRelocating) {
    ASSERT_TRUE(RangeIsFree(report.imageBase, report.sizeOfImage));
    ModulePtr module = Load(file, hosts, EntryPointPolicy::Never);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(module->imageBase), report.imageBase);
    EXPECT_EQ(std::memcmp(module->headers, "PE\0\0", 4), 0);
    EXPECT_EQ(module->initialised, 0);
    ExpectMappedLikeFile(*module, file, report);
    ExpectExportsAsReported(*module, report);
}

TEST_P(MappedImage, TakenPreferredBaseMovesEveryFixupByTheDelta) {
    Reservation taken(report.imageBase, report.sizeOfImage);
    ASSERT_TRUE(taken.held());
    ModulePtr module = Load(file, hosts, EntryPointPolicy::Never);
    ASSERT_NE(module, nullptr);
    const auto base = reinterpret_cast<uintptr_t>(module->imageBase);
    EXPECT_NE(base, report.imageBase);
    if (!report.wide) {
        EXPECT_LE(base + report.sizeOfImage, k4GiB) << "32-bit addresses must still hold";
    }
    // The copied header names the base actually used.
    const uint8_t* optional = module->headers + 24;
    EXPECT_EQ(ReadMapped(optional + (report.wide ? 24 : 28), report.wide), base);

    int fixups = 0;
    for (const ReportRelocation& relocation : report.relocations) {
        fixups += relocation.type == (report.wide ? "DIR64" : "HIGHLOW");
    }
    EXPECT_GT(fixups, 0);
    ExpectMappedLikeFile(*module, file, report);
    ExpectExportsAsReported(*module, report);

    // Exported data pointers, relocated, lead to the relocated data.
    auto pointee = [&](const char* pointer) {
        return ReadMapped(static_cast<uint8_t*>(FindModuleExport(module.get(), pointer)),
                          report.wide);
    };
    if (report.exports.count("plain_ptr") != 0) {
        EXPECT_EQ(pointee("plain_ptr"),
                  reinterpret_cast<uintptr_t>(FindModuleExport(module.get(), "plain_value")));
    } else {
        EXPECT_EQ(pointee("counter_ptr"),
                  reinterpret_cast<uintptr_t>(FindModuleExport(module.get(), "counter")));
        const uint64_t greeting = pointee("greeting");
        ASSERT_GE(greeting, base);
        ASSERT_LT(greeting, base + report.sizeOfImage);
        EXPECT_STREQ(reinterpret_cast<const char*>(static_cast<uintptr_t>(greeting)), "hello");
    }
}

TEST_P(MappedImage, SectionsGetTheirProtectionAndRelocationsAreDiscarded) {
    ModulePtr module = Load(file, hosts, EntryPointPolicy::Never);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(PagePermissions(module->imageBase), "rw-") << "headers";
    for (const ReportSection& section : report.sections) {
        std::string expected = section.code ? "r-x" : section.readOnly ? "r--" : "rw-";
        if (section.name == ".reloc") {
            expected = "---";
        }
        EXPECT_EQ(PagePermissions(module->imageBase + section.rva), expected) << section.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Images, MappedImage,
                         ::testing::Values("sample64", "sample32", "plain64", "plain32"),
                         ImageName);

class SampleImage : public ::testing::TestWithParam<const char*> {
  protected:
    const std::vector<uint8_t> file = ReadImage(GetParam());
    const ObjdumpReport report = ReadReport(GetParam());
};

TEST_P(SampleImage, ObjdumpSeesTheLayoutTheSourcesAskFor) {
    // What the other tests compare against is what the build was meant to produce.
    EXPECT_EQ(report.wide, std::string(GetParam()) == "sample64");
    EXPECT_EQ(report.imageBase, report.wide ? 0x20000000u : 0x21000000u);
    EXPECT_NE(report.entryPoint, 0u);
    EXPECT_EQ(std::set<std::string>(report.exportNames.begin(), report.exportNames.end()),
              (std::set<std::string>{"Value", "add_seed", "add_seed_ptr", "attach_calls", "counter",
                                     "counter_ptr", "greeting", "instance_seen", "twin_a", "twin_b",
                                     "value"}));
    ASSERT_EQ(report.imports.size(), 2u);
    std::map<std::string, std::vector<std::string>> imported;
    const auto [importRva, importSize] = report.directories.at(1);
    for (const ReportImport& library : report.imports) {
        EXPECT_GE(library.descriptorRva, importRva);
        EXPECT_LT(library.descriptorRva, importRva + importSize);
        EXPECT_NE(library.lookupRva, 0u);
        EXPECT_NE(library.firstThunk, 0u);
        for (const ReportImportEntry& entry : library.entries) {
            imported[library.library].push_back(
                entry.ordinal >= 0 ? "#" + std::to_string(entry.ordinal) : entry.name);
        }
    }
    EXPECT_EQ(imported["glowhost.dll"], (std::vector<std::string>{"host_note", "#7"}));
    EXPECT_EQ(imported["glowaux.dll"], (std::vector<std::string>{"aux_offset"}));
}

TEST_P(SampleImage, ImportsBindByNameAndOrdinalAndAreReleasedInLoadOrder) {
    HostModules hosts = SampleHosts(report.wide);
    ModulePtr module = Load(file, hosts, EntryPointPolicy::Never);
    ASSERT_NE(module, nullptr);
    std::vector<std::string> libraries;
    for (const ReportImport& library : report.imports) {
        libraries.push_back(library.library);
    }
    EXPECT_EQ(hosts.loaded, libraries);
    EXPECT_TRUE(hosts.released.empty());
    for (const auto& [rva, address] : ExpectedSlots(report)) {
        EXPECT_NE(address, 0u);
        EXPECT_EQ(ReadMapped(module->imageBase + rva, report.wide), address) << std::hex << rva;
    }
    module.reset();
    EXPECT_EQ(hosts.released, libraries);
}

TEST_P(SampleImage, MissingLibraryOrSymbolFailsAndReleasesWhatWasLoaded) {
    const std::string first = report.imports.at(0).library;
    const std::string second = report.imports.at(1).library;
    {
        // Only the first library exists: the second cannot be loaded.
        HostModules hosts;
        HostModules full = SampleHosts(report.wide);
        for (const HostLibrary& library : full.libraries) {
            if (library.name == first) {
                RegisterHostLibrary(hosts, first) = library;
            }
        }
        EXPECT_EQ(Load(file, hosts, EntryPointPolicy::Never), nullptr);
        EXPECT_EQ(hosts.loaded, std::vector<std::string>{first});
        EXPECT_EQ(hosts.released, std::vector<std::string>{first});
    }
    for (const char* missing : {"host_note", "#7", "aux_offset"}) {
        HostModules hosts = SampleHosts(report.wide);
        for (HostLibrary& library : hosts.libraries) {
            if (std::string(missing) == "#7") {
                library.ordinals.erase(7);
            } else {
                library.symbols.erase(missing);
            }
        }
        EXPECT_EQ(Load(file, hosts, EntryPointPolicy::Never), nullptr) << missing;
        EXPECT_FALSE(hosts.loaded.empty());
        EXPECT_EQ(hosts.released, hosts.loaded) << missing;
    }
    // Nothing of the failed loads stays mapped.
    EXPECT_TRUE(RangeIsFree(report.imageBase, report.sizeOfImage));
}

TEST_P(SampleImage, ExportsAreFoundOnlyByTheirExactName) {
    HostModules hosts = SampleHosts(report.wide);
    ModulePtr module = Load(file, hosts, EntryPointPolicy::Never);
    ASSERT_NE(module, nullptr);
    void* lower = FindModuleExport(module.get(), "value");
    void* upper = FindModuleExport(module.get(), "Value");
    EXPECT_EQ(lower, module->imageBase + report.exports.at("value"));
    EXPECT_EQ(upper, module->imageBase + report.exports.at("Value"));
    EXPECT_NE(lower, upper);
    for (const char* near : {"VALUE", "valu", "value ", "values", "", "hidden", "add_seed\n"}) {
        EXPECT_EQ(FindModuleExport(module.get(), near), nullptr) << '"' << near << '"';
    }
    EXPECT_EQ(FindModuleExport(module.get(), nullptr), nullptr);
    EXPECT_EQ(FindModuleExport(nullptr, "value"), nullptr);
}

TEST_P(SampleImage, FirstOfTwoEqualNamesWins) {
    // Rename one of the adjacent exports twin_a and twin_b to the other's name in the export
    // name strings: whichever name both carry, the entry earlier in the table (twin_a's) wins.
    const ReportSection* edata = nullptr;
    for (const ReportSection& section : report.sections) {
        if (section.name == ".edata") {
            edata = &section;
        }
    }
    ASSERT_NE(edata, nullptr);
    auto nameOffset = [&](const char* name) {
        const auto begin = file.begin() + edata->fileOffset;
        const auto end = begin + edata->size;
        const auto found = std::search(begin, end, name, name + std::strlen(name) + 1);
        EXPECT_NE(found, end) << name;
        return found - file.begin();
    };
    const uint32_t twinA = report.exports.at("twin_a");
    ASSERT_NE(twinA, report.exports.at("twin_b"));
    for (const char* shared : {"twin_a", "twin_b"}) {
        std::vector<uint8_t> patched = file;
        const char* other = std::string(shared) == "twin_a" ? "twin_b" : "twin_a";
        std::memcpy(patched.data() + nameOffset(other), shared, std::strlen(shared));
        HostModules hosts = SampleHosts(report.wide);
        ModulePtr module = Load(patched, hosts, EntryPointPolicy::Never);
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(FindModuleExport(module.get(), shared), module->imageBase + twinA) << shared;
        EXPECT_EQ(FindModuleExport(module.get(), other), nullptr) << other;
    }
}

TEST_P(SampleImage, NameWhoseOrdinalIsPastTheFunctionTableIsNotFound) {
    std::vector<uint8_t> patched = file;
    const auto& names = report.exportNames;
    const size_t index = std::find(names.begin(), names.end(), "add_seed") - names.begin();
    const int64_t ordinals = report.FileOffset(report.exportOrdinalTable);
    ASSERT_GE(ordinals, 0);
    ASSERT_EQ(report.exportFunctionCount, 12u);
    WriteU16(patched, ordinals + 2 * index, 12);  // one past the last function
    HostModules hosts = SampleHosts(report.wide);
    ModulePtr module = Load(patched, hosts, EntryPointPolicy::Never);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(FindModuleExport(module.get(), "add_seed"), nullptr);
    EXPECT_NE(FindModuleExport(module.get(), "twin_a"), nullptr);
}

TEST(Pe32Image, HostAddressesBeyond32BitsAreNotTruncatedIntoTheImage) {
    const std::vector<uint8_t> file = ReadImage("sample32");
    HostModules hosts = SampleHosts(false);
    hosts.libraries.back().symbols["aux_offset"] =
        reinterpret_cast<void*>(static_cast<uintptr_t>(k4GiB + 0x2001));
    EXPECT_EQ(Load(file, hosts, EntryPointPolicy::Never), nullptr);
    EXPECT_EQ(hosts.released, hosts.loaded);
}

INSTANTIATE_TEST_SUITE_P(Images, SampleImage, ::testing::Values("sample64", "sample32"), ImageName);

}  // namespace
}  // namespace glowtern::loader_test
