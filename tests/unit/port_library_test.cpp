#include "devices/port_library.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/ppdev_port_module.h"

namespace glowtern {
namespace {

// What the fake library's exports saw. The exports are plain functions, as a real
// library's are, so they report through this file-level record.
struct LibraryCalls {
    std::vector<std::pair<uint16_t, uint8_t>> writes;
    int driverQueries = 0;
    int32_t driverResult = 1;
};
LibraryCalls* calls = nullptr;

void FakePortOut(uint16_t port, uint8_t value) {
    calls->writes.emplace_back(port, value);
}

int32_t FakeIsDriverInstalled() {
    ++calls->driverQueries;
    return calls->driverResult;
}

int unusedExport = 0;  // an address to stand for an export that the program never calls

class FakePortModule : public PortModule {
  public:
    bool load() override {
        ++loads;
        return loadResult;
    }
    void* findExport(const char* name) override {
        lookups.emplace_back(name);
        const auto found = exports.find(name);
        return found == exports.end() ? nullptr : found->second;
    }
    void unload() override { ++unloads; }

    bool loadResult = true;
    std::map<std::string, void*> exports = {
        {"PortOut", reinterpret_cast<void*>(&FakePortOut)},
        {"PortIn", &unusedExport},
        {"IsDriverInstalled", reinterpret_cast<void*>(&FakeIsDriverInstalled)},
    };
    int loads = 0;
    int unloads = 0;
    std::vector<std::string> lookups;
};

class PortLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override { calls = &record_; }
    void TearDown() override { calls = nullptr; }

    LibraryCalls record_;
    FakePortModule module_;
    PortLibrary library_;
};

TEST_F(PortLibraryTest, BindLoadsOnceAndLooksUpTheThirteenNamesInOrder) {
    BindPortLibrary(library_, module_);
    EXPECT_EQ(module_.loads, 1);
    const std::vector<std::string> names = {
        "PortOut",        "PortWordOut",   "PortDWordOut",      "PortIn",     "PortWordIn",
        "PortDWordIn",    "SetPortBit",    "ClrPortBit",        "NotPortBit", "GetPortBit",
        "RightPortShift", "LeftPortShift", "IsDriverInstalled",
    };
    EXPECT_EQ(module_.lookups, names);
    EXPECT_EQ(library_.module, &module_);
    EXPECT_EQ(library_.entries[0], reinterpret_cast<void*>(&FakePortOut));
    EXPECT_EQ(library_.entries[3], &unusedExport);
    EXPECT_EQ(library_.entries[12], reinterpret_cast<void*>(&FakeIsDriverInstalled));
    for (size_t i : {1, 2, 4, 5, 6, 7, 8, 9, 10, 11}) {
        EXPECT_EQ(library_.entries[i], nullptr) << names[i];
    }
    EXPECT_EQ(library_.portOut, &FakePortOut);
    EXPECT_EQ(library_.isDriverInstalled, &FakeIsDriverInstalled);
    // Binding calls no export.
    EXPECT_EQ(record_.driverQueries, 0);
    EXPECT_TRUE(record_.writes.empty());
}

TEST_F(PortLibraryTest, FailedLoadLeavesEverythingNullAndCallsNothing) {
    module_.loadResult = false;
    BindPortLibrary(library_, module_);
    EXPECT_TRUE(module_.lookups.empty());
    EXPECT_EQ(library_.module, nullptr);
    for (void* entry : library_.entries) {
        EXPECT_EQ(entry, nullptr);
    }
    EXPECT_FALSE(CheckPortDriver(library_));
    WritePort(library_, 0x378, 0x01);
    UnbindPortLibrary(library_);
    EXPECT_EQ(record_.driverQueries, 0);
    EXPECT_TRUE(record_.writes.empty());
    EXPECT_EQ(module_.unloads, 0);
}

TEST_F(PortLibraryTest, DriverCheckAsksTheLibraryOnceAndOnlyWhenItCan) {
    module_.exports.erase("IsDriverInstalled");
    BindPortLibrary(library_, module_);
    EXPECT_FALSE(CheckPortDriver(library_));

    module_.exports["IsDriverInstalled"] = reinterpret_cast<void*>(&FakeIsDriverInstalled);
    BindPortLibrary(library_, module_);
    record_.driverResult = 0;
    EXPECT_FALSE(CheckPortDriver(library_));
    EXPECT_EQ(record_.driverQueries, 1);
    // Any non-zero value means installed.
    record_.driverResult = -1;
    EXPECT_TRUE(CheckPortDriver(library_));
    record_.driverResult = 2;
    EXPECT_TRUE(CheckPortDriver(library_));
    EXPECT_EQ(record_.driverQueries, 3);

    // An entry without its module (never bound, or unbound) is not called either.
    PortLibrary orphan;
    orphan.isDriverInstalled = &FakeIsDriverInstalled;
    EXPECT_FALSE(CheckPortDriver(orphan));
    EXPECT_EQ(record_.driverQueries, 3);
}

TEST_F(PortLibraryTest, WritesReachPortOutInOrderAndStopWhenItIsMissing) {
    BindPortLibrary(library_, module_);
    WritePort(library_, 0x378, 0x01);
    WritePort(library_, 0x37A, 0x0E);
    WritePort(library_, 0x378, 0x00);
    WritePort(library_, 0x37A, 0x0B);
    const std::vector<std::pair<uint16_t, uint8_t>> expected = {
        {0x378, 0x01}, {0x37A, 0x0E}, {0x378, 0x00}, {0x37A, 0x0B}};
    EXPECT_EQ(record_.writes, expected);

    module_.exports.erase("PortOut");
    BindPortLibrary(library_, module_);
    WritePort(library_, 0x378, 0xFF);
    EXPECT_EQ(record_.writes, expected);
}

TEST_F(PortLibraryTest, UnbindUnloadsOnceAndLeavesNothingCallable) {
    BindPortLibrary(library_, module_);
    UnbindPortLibrary(library_);
    EXPECT_EQ(module_.unloads, 1);
    EXPECT_EQ(library_.module, nullptr);
    EXPECT_EQ(library_.portOut, nullptr);
    EXPECT_EQ(library_.isDriverInstalled, nullptr);
    WritePort(library_, 0x378, 0x01);
    EXPECT_FALSE(CheckPortDriver(library_));
    EXPECT_TRUE(record_.writes.empty());
    EXPECT_EQ(record_.driverQueries, 0);

    UnbindPortLibrary(library_);
    EXPECT_EQ(module_.unloads, 1);
}

TEST_F(PortLibraryTest, BindingAgainUnloadsTheModuleBoundBefore) {
    FakePortModule other;
    BindPortLibrary(library_, module_);
    BindPortLibrary(library_, other);
    EXPECT_EQ(module_.unloads, 1);
    EXPECT_EQ(library_.module, &other);
    UnbindPortLibrary(library_);
    EXPECT_EQ(other.unloads, 1);
    EXPECT_EQ(module_.unloads, 1);
}

// The ppdev module's export table, without any port behind it.
TEST(PpdevPortModule, ProvidesOnlyPortOutAndIsDriverInstalledOnceLoaded) {
    PpdevPortModule module;
    EXPECT_EQ(module.findExport("PortOut"), nullptr) << "exports before load";
    ASSERT_TRUE(module.load());
    for (const char* name : kPortLibraryExportNames) {
        const bool provided =
            std::strcmp(name, "PortOut") == 0 || std::strcmp(name, "IsDriverInstalled") == 0;
        EXPECT_EQ(module.findExport(name) != nullptr, provided) << name;
    }
    EXPECT_EQ(module.findExport("portout"), nullptr);
    EXPECT_EQ(module.findExport("PortOutX"), nullptr);
    EXPECT_EQ(module.findExport(""), nullptr);
    EXPECT_EQ(module.findExport(nullptr), nullptr);
    module.unload();
    EXPECT_EQ(module.findExport("PortOut"), nullptr) << "exports after unload";
}

TEST(PpdevPortModule, WithoutAPortTheDriverIsMissingAndWritesAreHarmless) {
    if (::access("/dev/parport0", F_OK) == 0) {
        GTEST_SKIP() << "this machine has a real /dev/parport0";
    }
    PpdevPortModule module;
    PortLibrary library;
    BindPortLibrary(library, module);
    ASSERT_NE(library.isDriverInstalled, nullptr);
    EXPECT_EQ(library.isDriverInstalled(), 0);
    EXPECT_FALSE(CheckPortDriver(library));
    WritePort(library, 0x378, 0x01);
    WritePort(library, 0x37A, 0x0B);
    UnbindPortLibrary(library);
    UnbindPortLibrary(library);
}

}  // namespace
}  // namespace glowtern
