#include "devices/port_library.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#include "platform/memory_port_module.h"
#include "tests/support/temp_dir.h"
#else
#include <unistd.h>

#include "platform/ppdev_port_module.h"
#endif

namespace glowtern {
namespace {

using Writes = std::vector<std::pair<uint16_t, uint8_t>>;

// What the fake library's exports saw. The exports are plain functions, as a real
// library's are, so they report through this file-level record.
struct LibraryCalls {
    Writes writes;
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

TEST_F(PortLibraryTest, BindLoadsOnceAndLooksUpTheThirteenNamesInOrderCallingNothing) {
    BindPortLibrary(library_, module_);
    EXPECT_EQ(module_.loads, 1);
    EXPECT_EQ(module_.lookups,
              (std::vector<std::string>{"PortOut", "PortWordOut", "PortDWordOut", "PortIn",
                                        "PortWordIn", "PortDWordIn", "SetPortBit", "ClrPortBit",
                                        "NotPortBit", "GetPortBit", "RightPortShift",
                                        "LeftPortShift", "IsDriverInstalled"}));
    EXPECT_EQ(library_.entries[3], &unusedExport);
    EXPECT_EQ(library_.entries[4], nullptr);
    EXPECT_EQ(record_.driverQueries, 0);
    EXPECT_TRUE(record_.writes.empty());

    // Writes are forwarded in order.
    WritePort(library_, 0x378, 0x01);
    WritePort(library_, 0x37A, 0x0E);
    EXPECT_EQ(record_.writes, (Writes{{0x378, 0x01}, {0x37A, 0x0E}}));
    // Binding again unloads the module bound before.
    FakePortModule other;
    BindPortLibrary(library_, other);
    EXPECT_EQ(module_.unloads, 1);
    EXPECT_EQ(library_.module, &other);
}

TEST_F(PortLibraryTest, DriverCheckAsksTheLibraryOnlyWhenItCan) {
    // Missing export, failed load, no module: false without a call.
    module_.exports.erase("IsDriverInstalled");
    BindPortLibrary(library_, module_);
    EXPECT_FALSE(CheckPortDriver(library_));
    module_.loadResult = false;
    module_.exports["IsDriverInstalled"] = reinterpret_cast<void*>(&FakeIsDriverInstalled);
    BindPortLibrary(library_, module_);
    EXPECT_EQ(library_.module, nullptr);
    EXPECT_FALSE(CheckPortDriver(library_));
    WritePort(library_, 0x378, 0x01);
    EXPECT_TRUE(record_.writes.empty());
    PortLibrary orphan;
    orphan.isDriverInstalled = &FakeIsDriverInstalled;
    EXPECT_FALSE(CheckPortDriver(orphan));
    EXPECT_EQ(record_.driverQueries, 0);

    // Any non-zero answer means installed.
    module_.loadResult = true;
    BindPortLibrary(library_, module_);
    for (const int32_t answer : {0, -1, 2}) {
        record_.driverResult = answer;
        EXPECT_EQ(CheckPortDriver(library_), answer != 0) << answer;
    }
    EXPECT_EQ(record_.driverQueries, 3);
}

TEST_F(PortLibraryTest, NothingIsWrittenWithoutPortOutAndUnbindIsSafeTwice) {
    module_.exports.erase("PortOut");
    BindPortLibrary(library_, module_);
    WritePort(library_, 0x378, 0xFF);
    module_.exports["PortOut"] = reinterpret_cast<void*>(&FakePortOut);
    BindPortLibrary(library_, module_);
    UnbindPortLibrary(library_);
    EXPECT_EQ(module_.unloads, 2);
    WritePort(library_, 0x378, 0x01);
    EXPECT_FALSE(CheckPortDriver(library_));
    UnbindPortLibrary(library_);
    EXPECT_EQ(module_.unloads, 2);
    EXPECT_TRUE(record_.writes.empty());
    EXPECT_EQ(record_.driverQueries, 0);
}

#ifdef _WIN32
// The port library mapped from memory by the program's loader: the stand-in library's exports
// all found and its writes reaching it; a missing file or one that is no image loads nothing.
TEST(MemoryPortModule, MapsThePortLibraryFromItsFileAndNothingElse) {
    testing::TempDir dir;
    const std::string log = dir.file("port.log");
    testing::ScopedEnvironment logVariable("GLOWTERN_FAKE_PORT_LOG", log.c_str());
    MemoryPortModule module(GLOWTERN_PORT_STAND_IN);
    PortLibrary library;
    BindPortLibrary(library, module);
    EXPECT_TRUE(CheckPortDriver(library));
    for (const char* name : kPortLibraryExportNames) {
        EXPECT_NE(module.findExport(name), nullptr) << name;
    }
    WritePort(library, 0x378, 0x02);
    WritePort(library, 0x37A, 0x0B);
    UnbindPortLibrary(library);
    EXPECT_EQ(testing::readFile(log), "ATTACH\r\nDATA 0x02\r\nCONTROL 0x0b\r\nDETACH\r\n");

    const std::string noImage = dir.file("portio64.dll");
    testing::writeFile(noImage, "MZ but nothing more");
    for (const std::string& path : {dir.file("missing.dll"), noImage}) {
        MemoryPortModule other(path);
        EXPECT_FALSE(other.load()) << path;
        EXPECT_EQ(other.findExport("PortOut"), nullptr);
    }
}
#else
// The ppdev module's export table and, on a machine without a port, its answers.
TEST(PpdevPortModule, ProvidesOnlyPortOutAndIsDriverInstalledOnceLoaded) {
    PpdevPortModule module;
    EXPECT_EQ(module.findExport("PortOut"), nullptr) << "exports before load";
    ASSERT_TRUE(module.load());
    for (const char* name : kPortLibraryExportNames) {
        const std::string exported = name;
        EXPECT_EQ(module.findExport(name) != nullptr,
                  exported == "PortOut" || exported == "IsDriverInstalled")
            << name;
    }
    for (const char* name : {"portout", "PortOutX", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(module.findExport(name), nullptr);
    }
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
    EXPECT_FALSE(CheckPortDriver(library));
    WritePort(library, 0x378, 0x01);
    UnbindPortLibrary(library);
    UnbindPortLibrary(library);
}

#endif

}  // namespace
}  // namespace glowtern
