// Malformed images: truncated at every length, or with one header or directory field pointing
// out of range. Each gives null (or a null lookup) and leaves nothing bound or mapped; ASan builds
// also catch any read past the image, which lies in a heap block of exactly its length.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "devices/module_loader.h"
#include "tests/loader/test_images.h"

namespace glowtern::loader_test {
namespace {

TEST(MalformedImage, EveryTruncationFailsUntilAllSectionDataIsPresent) {
    for (const char* name : {"sample64", "sample32", "plain64", "plain32"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> file = ReadImage(name);
        const ObjdumpReport report = ReadReport(name);
        size_t required = report.sizeOfHeaders;
        for (const FileSection& section : ReadFileSections(file)) {
            required = std::max<size_t>(required, size_t{section.rawOffset} + section.rawSize);
        }
        ASSERT_LE(required, file.size());
        int wrong = 0;
        for (size_t length = 0; length <= file.size(); ++length) {
            const std::vector<uint8_t> cut(file.begin(), file.begin() + length);
            HostModules hosts = SampleHosts(report.wide);
            LoadedModule* module =
                LoadModuleFromMemory(cut.data(), length, hosts, EntryPointPolicy::Never);
            if ((module != nullptr) != (length >= required) && ++wrong <= 3) {
                ADD_FAILURE() << "length " << length << (module ? " loaded" : " failed");
            }
            UnloadModule(module);
            EXPECT_EQ(hosts.released, hosts.loaded);
        }
        EXPECT_EQ(wrong, 0);
    }
}

// A PE32+ image of 1 GiB whose one import's lookup table starts a slot before its address
// table. Each bound address (0x3000, where the image holds only zeros) is read back as the next
// entry, a name found at 0x3002: the empty name, which the host library "k" has.
TEST(MalformedImage, ImportsThatFeedOnTheirOwnAddressesStopWithoutFillingTheMapping) {
    constexpr uint32_t kSizeOfImage = 1u << 30;
    constexpr uint32_t kOptional = 0x58;
    constexpr uint32_t kSection = kOptional + 0xF0;
    constexpr uint32_t kDescriptor = 0x1000;  // raw data 0x200 is mapped here
    constexpr uint32_t kAddressTable = 0x1100;
    std::vector<uint8_t> image(0x400, 0);
    WriteU16(image, 0, 0x5A4D);
    WriteU32(image, 0x3C, 0x40);
    WriteU32(image, 0x40, 0x00004550);
    WriteU16(image, 0x44, 0x8664);
    WriteU16(image, 0x46, 1);  // sections
    WriteU16(image, 0x54, 0xF0);
    WriteU16(image, kOptional, 0x20B);
    WriteU32(image, kOptional + 32, 0x1000);  // SectionAlignment
    WriteU32(image, kOptional + 36, 0x200);   // FileAlignment
    WriteU32(image, kOptional + 56, kSizeOfImage);
    WriteU32(image, kOptional + 60, 0x200);  // SizeOfHeaders
    WriteU32(image, kOptional + 108, 16);
    WriteU32(image, kOptional + 112 + 8, kDescriptor);
    WriteU32(image, kOptional + 112 + 12, 40);
    WriteU32(image, kSection + 8, 0x200);
    WriteU32(image, kSection + 12, kDescriptor);
    WriteU32(image, kSection + 16, 0x200);
    WriteU32(image, kSection + 20, 0x200);
    WriteU32(image, kSection + 36, 0xC0000040);
    const uint32_t raw = 0x200;
    WriteU32(image, raw + 0, kAddressTable - 8);  // OriginalFirstThunk
    WriteU32(image, raw + 12, kDescriptor + 0x80);
    WriteU32(image, raw + 16, kAddressTable);
    image[raw + 0x80] = 'k';
    WriteU32(image, raw + kAddressTable - kDescriptor - 8, 0x3000);

    HostModules hosts;
    RegisterHostLibrary(hosts, "k").symbols[""] = reinterpret_cast<void*>(uintptr_t{0x3000});
    const long before = PeakResidentKiB();
    EXPECT_EQ(Load(image, hosts, EntryPointPolicy::Never), nullptr);
    EXPECT_EQ(hosts.released, hosts.loaded);
    ASSERT_EQ(hosts.loaded.size(), 1u);  // it did get as far as binding
    // Walking on to the end of the image would have made most of its 1 GiB resident.
    EXPECT_LT(PeakResidentKiB() - before, 64 * 1024);
}

struct Patch {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> apply;
};

class PatchedImage : public ::testing::TestWithParam<const char*> {
  protected:
    const std::vector<uint8_t> file = ReadImage(GetParam());
    const ObjdumpReport report = ReadReport(GetParam());
    const uint32_t optional = OptionalHeaderOffset(file);
    const uint32_t peOffset = ReadU32(file, 0x3C);
    const uint32_t directories = optional + (report.wide ? 112 : 96);
    const uint32_t sectionTable = optional + (report.wide ? 240 : 224);

    size_t At(uint32_t rva) const {
        const int64_t offset = report.FileOffset(rva);
        EXPECT_GE(offset, 0) << std::hex << rva;
        return static_cast<size_t>(offset);
    }

    // Loads each patched copy and expects null, with every library it loaded released.
    void ExpectEachFails(const std::vector<Patch>& patches) {
        for (const Patch& patch : patches) {
            std::vector<uint8_t> patched = file;
            patch.apply(patched);
            HostModules hosts = SampleHosts(report.wide);
            EXPECT_EQ(Load(patched, hosts, EntryPointPolicy::Never), nullptr) << patch.what;
            EXPECT_EQ(hosts.released, hosts.loaded) << patch.what;
        }
    }
};

TEST_P(PatchedImage, BrokenHeadersGiveNullBeforeAnythingIsBound) {
    const uint32_t length = static_cast<uint32_t>(file.size());
    const std::vector<Patch> patches = {
        {"DOS signature", [](auto& f) { f[1] = 'X'; }},
        {"PE offset past the end", [&](auto& f) { WriteU32(f, 0x3C, length - 2); }},
        {"PE offset wraps", [](auto& f) { WriteU32(f, 0x3C, 0xFFFFFFF0); }},
        {"PE signature", [&](auto& f) { f[peOffset + 1] = 'X'; }},
        {"optional header magic", [&](auto& f) { WriteU16(f, optional, 0x10C); }},
        {"optional header too small", [&](auto& f) { WriteU16(f, peOffset + 20, 0x40); }},
        {"optional header past the end", [&](auto& f) { WriteU16(f, peOffset + 20, 0xFFFF); }},
        {"section table past the headers", [&](auto& f) { WriteU16(f, peOffset + 6, 0xFFFF); }},
        {"headers longer than the image", [&](auto& f) { WriteU32(f, optional + 60, length + 1); }},
        {"SizeOfImage 0", [&](auto& f) { WriteU32(f, optional + 56, 0); }},
        {"sections past SizeOfImage", [&](auto& f) { WriteU32(f, optional + 56, 0x1000); }},
        {"section data past the end", [&](auto& f) { WriteU32(f, sectionTable + 20, length); }},
        {"section data size wraps", [&](auto& f) { WriteU32(f, sectionTable + 16, 0xFFFFFE00); }},
        {"section address wraps", [&](auto& f) { WriteU32(f, sectionTable + 12, 0xFFFFF000); }},
    };
    ExpectEachFails(patches);
    // None of them got as far as the imports.
    for (const Patch& patch : patches) {
        std::vector<uint8_t> patched = file;
        patch.apply(patched);
        HostModules hosts = SampleHosts(report.wide);
        Load(patched, hosts, EntryPointPolicy::Never);
        EXPECT_TRUE(hosts.loaded.empty()) << patch.what;
    }
}

TEST_P(PatchedImage, BrokenRelocationsFailOnlyWhenTheImageMustMove) {
    const uint32_t relocations = At(report.directories.at(5).first);
    const uint32_t directorySize = report.directories.at(5).second;
    const std::vector<Patch> patches = {
        {"block shorter than its header", [&](auto& f) { WriteU32(f, relocations + 4, 4); }},
        {"block past its directory",
         [&](auto& f) { WriteU32(f, relocations + 4, directorySize + 8); }},
        {"fixup past the image", [&](auto& f) { WriteU32(f, relocations, 0xFFFFF000); }},
        {"directory past the image",
         [&](auto& f) { WriteU32(f, directories + 5 * 8, report.sizeOfImage - 4); }},
    };
    {
        Reservation taken(report.imageBase, report.sizeOfImage);
        ASSERT_TRUE(taken.held());
        ExpectEachFails(patches);
    }
    // At the preferred base nothing is relocated, so the same images load.
    for (const Patch& patch : patches) {
        std::vector<uint8_t> patched = file;
        patch.apply(patched);
        HostModules hosts = SampleHosts(report.wide);
        EXPECT_NE(Load(patched, hosts, EntryPointPolicy::Never), nullptr) << patch.what;
    }
}

TEST_P(PatchedImage, BrokenImportsFailAndReleaseWhatWasLoaded) {
    const ReportImport& first = report.imports.at(0);
    const ReportImport& second = report.imports.at(1);
    const uint32_t descriptor = At(second.descriptorRva);
    const std::vector<Patch> patches = {
        {"library name past the image", [&](auto& f) { WriteU32(f, descriptor + 12, 0xFFFFFF00); }},
        {"library name at the image's last byte",
         [&](auto& f) { WriteU32(f, descriptor + 12, report.sizeOfImage - 1); }},
        {"lookup table past the image", [&](auto& f) { WriteU32(f, descriptor, 0xFFFFFF00); }},
        {"no import address table", [&](auto& f) { WriteU32(f, descriptor + 16, 0); }},
        {"symbol name past the image",
         [&](auto& f) { WriteU32(f, At(second.lookupRva), report.sizeOfImage - 2); }},
        {"first library's symbol name past the image",
         [&](auto& f) { WriteU32(f, At(first.lookupRva), 0x7FFFFFF0); }},
        {"directory past the image",
         [&](auto& f) { WriteU32(f, directories + 1 * 8, report.sizeOfImage - 8); }},
    };
    ExpectEachFails(patches);
}

TEST_P(PatchedImage, BrokenExportTablesGiveNullLookups) {
    const uint32_t exports = At(report.directories.at(0).first);
    const auto& names = report.exportNames;
    const size_t twinA = std::find(names.begin(), names.end(), "twin_a") - names.begin();
    const size_t twinAName = At(report.exportNameTable) + 4 * twinA;
    const std::vector<Patch> patches = {
        {"name table past the image", [&](auto& f) { WriteU32(f, exports + 32, 0xFFFFFF00); }},
        {"ordinal table past the image", [&](auto& f) { WriteU32(f, exports + 36, 0xFFFFFF00); }},
        {"function table past the image",
         [&](auto& f) { WriteU32(f, exports + 28, report.sizeOfImage - 8); }},
        {"more names than the image holds",
         [&](auto& f) { WriteU32(f, exports + 24, 0x7FFFFFFF); }},
        {"directory past the image",
         [&](auto& f) { WriteU32(f, directories, report.sizeOfImage - 4); }},
        {"directory too small for its header", [&](auto& f) { WriteU32(f, directories + 4, 39); }},
        {"functions outside the image",
         [&](auto& f) {
             const uint32_t table = ReadU32(f, exports + 28);
             for (uint32_t i = 0; i < report.exportFunctionCount; ++i) {
                 WriteU32(f, At(table) + 4 * i, report.sizeOfImage);
             }
         }},
    };
    for (const Patch& patch : patches) {
        std::vector<uint8_t> patched = file;
        patch.apply(patched);
        HostModules hosts = SampleHosts(report.wide);
        ModulePtr module = Load(patched, hosts, EntryPointPolicy::Never);
        ASSERT_NE(module, nullptr) << patch.what;
        EXPECT_EQ(FindModuleExport(module.get(), "twin_a"), nullptr) << patch.what;
    }
    // One name string out of reach hides only that name.
    std::vector<uint8_t> patched = file;
    WriteU32(patched, twinAName, report.sizeOfImage - 1);
    HostModules hosts = SampleHosts(report.wide);
    ModulePtr module = Load(patched, hosts, EntryPointPolicy::Never);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(FindModuleExport(module.get(), "twin_a"), nullptr);
    EXPECT_EQ(FindModuleExport(module.get(), "twin_b"),
              module->imageBase + report.exports.at("twin_b"));
}

INSTANTIATE_TEST_SUITE_P(Images, PatchedImage, ::testing::Values("sample64", "sample32"),
                         ImageName);

}  // namespace
}  // namespace glowtern::loader_test
