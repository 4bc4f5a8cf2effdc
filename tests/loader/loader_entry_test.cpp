// Entry points and exported functions of the PE32+ sample DLL really run on x86-64; code that
// cannot run here is never entered.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/module_loader.h"
#include "tests/loader/test_images.h"

namespace glowtern::loader_test {
namespace {

class EntryPoint : public ::testing::Test {
  protected:
    void SetUp() override {
        hostNotes.clear();
        attachAnswer = 1;
    }

    static void PatchEntryPoint(std::vector<uint8_t>& image, uint32_t rva) {
        WriteU32(image, OptionalHeaderOffset(image) + 16, rva);  // AddressOfEntryPoint
    }
};

#if defined(__x86_64__)

using AddSeed = int32_t(GLOWTERN_MS_ABI*)(int32_t);

int32_t ExportedInt(const LoadedModule& module, const char* name) {
    return *static_cast<int32_t*>(FindModuleExport(&module, name));
}

TEST_F(EntryPoint, Pe32PlusDllIsAttachedRunsAndIsDetachedWhereverItIsPlaced) {
    const std::vector<uint8_t> file = ReadImage("sample64");
    const ObjdumpReport report = ReadReport("sample64");
    for (bool baseTaken : {false, true}) {
        SCOPED_TRACE(baseTaken ? "relocated" : "at its preferred base");
        hostNotes.clear();
        std::unique_ptr<Reservation> taken;
        if (baseTaken) {
            taken = std::make_unique<Reservation>(report.imageBase, report.sizeOfImage);
            ASSERT_TRUE(taken->held());
        }
        HostModules hosts = SampleHosts(true);
        ModulePtr module = Load(file, hosts, EntryPointPolicy::Run);
        ASSERT_NE(module, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(module->imageBase) == report.imageBase, !baseTaken);
        EXPECT_EQ(module->initialised, 1);
        EXPECT_EQ(hostNotes, std::vector<int32_t>{1});
        // DllMain ran inside the image: it counted the attach in its .bss and kept its instance.
        EXPECT_EQ(ExportedInt(*module, "attach_calls"), 1);
        EXPECT_EQ(*static_cast<void**>(FindModuleExport(module.get(), "instance_seen")),
                  module->imageBase);

        // An export calls both imports (one bound by name, one by ordinal); the relocated
        // function pointer in its data reaches the same code.
        const auto addSeed = reinterpret_cast<AddSeed>(FindModuleExport(module.get(), "add_seed"));
        ASSERT_NE(addSeed, nullptr);
        EXPECT_EQ(addSeed(5), 5 + 100 + 1000);
        const auto viaPointer =
            *static_cast<AddSeed*>(FindModuleExport(module.get(), "add_seed_ptr"));
        EXPECT_EQ(viaPointer, addSeed);
        EXPECT_EQ(viaPointer(-100), -100 + 100 + 1000);

        module.reset();
        EXPECT_EQ(hostNotes, (std::vector<int32_t>{1, 0}));
        EXPECT_EQ(hosts.released, hosts.loaded);
    }
}

// The libraries the sample imports, found by a stand-in for the system's loader instead of being
// registered: "glowaux.dll" (imported first) is known in any case, "glowhost.dll" only when
// `hostKnown`.
struct StandInSystem {
    static inline std::vector<std::string> calls;
    static inline bool hostKnown = true;
    static void* load(const char* name) {
        calls.push_back("load " + std::string(name));
        if (std::string(name) == "glowaux.dll") {
            return reinterpret_cast<void*>(2);
        }
        return hostKnown && std::string(name) == "glowhost.dll" ? reinterpret_cast<void*>(1)
                                                                : nullptr;
    }
    static void* find(void* handle, const char* name) {
        const char* library = handle == reinterpret_cast<void*>(1) ? "glowhost.dll" : "glowaux.dll";
        return reinterpret_cast<void*>(SampleHostAddress(true, library, name));
    }
    static void* findOrdinal(void* handle, uint16_t ordinal) {
        return find(handle, ("#" + std::to_string(ordinal)).c_str());
    }
    static void release(void* handle) {
        calls.push_back(handle == reinterpret_cast<void*>(1) ? "release glowhost.dll"
                                                             : "release glowaux.dll");
    }
    static constexpr SystemLibraries kTable{load, find, findOrdinal, release};
};

TEST_F(EntryPoint, UnregisteredLibrariesComeFromTheSystemLoaderAndAreReleasedToIt) {
    const std::vector<uint8_t> file = ReadImage("sample64");
    for (bool hostKnown : {true, false}) {
        SCOPED_TRACE(hostKnown ? "both found" : "the second library is missing");
        StandInSystem::calls.clear();
        StandInSystem::hostKnown = hostKnown;
        HostModules hosts;
        hosts.system = &StandInSystem::kTable;
        ModulePtr module = Load(file, hosts, EntryPointPolicy::Run);
        ASSERT_EQ(module != nullptr, hostKnown);
        if (module != nullptr) {
            const auto addSeed =
                reinterpret_cast<AddSeed>(FindModuleExport(module.get(), "add_seed"));
            EXPECT_EQ(addSeed(5), 5 + 100 + 1000);
            module.reset();
        }
        const std::vector<std::string> expected =
            hostKnown ? std::vector<std::string>{"load glowaux.dll", "load glowhost.dll",
                                                 "release glowaux.dll", "release glowhost.dll"}
                      : std::vector<std::string>{"load glowaux.dll", "load glowhost.dll",
                                                 "release glowaux.dll"};
        EXPECT_EQ(StandInSystem::calls, expected);
        EXPECT_EQ(hosts.released, hosts.loaded);
    }
}

TEST_F(EntryPoint, AttachAnsweredWithZeroFailsTheLoadWithoutDetach) {
    attachAnswer = 0;
    const std::vector<uint8_t> file = ReadImage("sample64");
    const ObjdumpReport report = ReadReport("sample64");
    HostModules hosts = SampleHosts(true);
    EXPECT_EQ(Load(file, hosts, EntryPointPolicy::Run), nullptr);
    EXPECT_EQ(hostNotes, std::vector<int32_t>{1});
    EXPECT_EQ(hosts.released, hosts.loaded);
    EXPECT_EQ(hosts.loaded.size(), 2u);
    EXPECT_TRUE(RangeIsFree(report.imageBase, report.sizeOfImage));
}

TEST_F(EntryPoint, ImageWithoutEntryPointLoadsAndIsNeverEntered) {
    std::vector<uint8_t> sample = ReadImage("sample64");
    PatchEntryPoint(sample, 0);
    HostModules hosts = SampleHosts(true);
    ModulePtr module = Load(sample, hosts, EntryPointPolicy::Run);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->initialised, 0);
    EXPECT_EQ(ExportedInt(*module, "attach_calls"), 0);
    // Its exports still work without an attach.
    const auto addSeed = reinterpret_cast<AddSeed>(FindModuleExport(module.get(), "add_seed"));
    EXPECT_EQ(addSeed(1), 1101);
    module.reset();
    EXPECT_TRUE(hostNotes.empty());
    EXPECT_EQ(hosts.released, hosts.loaded);
}

#endif  // __x86_64__

TEST_F(EntryPoint, BuiltWithoutEntryPointLoadsUnderRunInBothFormats) {
    for (const char* name : {"plain64", "plain32"}) {
        const ObjdumpReport report = ReadReport(name);
        ASSERT_EQ(report.entryPoint, 0u) << name;
        HostModules hosts;
        ModulePtr module = Load(ReadImage(name), hosts, EntryPointPolicy::Run);
        ASSERT_NE(module, nullptr) << name;
        EXPECT_EQ(module->initialised, 0);
        EXPECT_EQ(*static_cast<int32_t*>(FindModuleExport(module.get(), "plain_value")), 42);
        EXPECT_TRUE(hosts.loaded.empty());
    }
}

TEST_F(EntryPoint, Pe32EntryPointIsRefusedOnThisHostButTheImageCanBeMapped) {
    const std::vector<uint8_t> file = ReadImage("sample32");
    const ObjdumpReport report = ReadReport("sample32");
    HostModules hosts = SampleHosts(false);
#if defined(__x86_64__)
    EXPECT_EQ(Load(file, hosts, EntryPointPolicy::Run), nullptr);
    EXPECT_TRUE(hosts.loaded.empty()) << "refused before anything was bound";
    EXPECT_TRUE(RangeIsFree(report.imageBase, report.sizeOfImage));
#endif
    ModulePtr module = Load(file, hosts, EntryPointPolicy::Never);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->initialised, 0);
}

TEST_F(EntryPoint, EntryPointOutsideExecutableCodeIsNotEntered) {
    std::vector<uint8_t> sample = ReadImage("sample64");
    const ObjdumpReport report = ReadReport("sample64");
    for (uint32_t entry : {report.exports.at("counter"), report.sizeOfImage + 0x1000}) {
        PatchEntryPoint(sample, entry);
        HostModules hosts = SampleHosts(true);
        EXPECT_EQ(Load(sample, hosts, EntryPointPolicy::Run), nullptr) << std::hex << entry;
        EXPECT_EQ(hosts.released, hosts.loaded);
    }
}

}  // namespace
}  // namespace glowtern::loader_test
