#include "devices/port_library.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/fake_platform.h"

namespace glowtern {
namespace {

using ::testing::ElementsAre;

// Binding loads the library and asks it nothing; writes go through in order; binding again
// or unbinding unloads, once.
TEST(PortLibrary, BindWriteAndUnbindReachTheLibraryInOrder) {
    testing::CallLog log;
    testing::FakePortModule module(&log);
    testing::FakePortModule other(&log);
    PortLibrary library;
    BindPortLibrary(library, module);
    WritePort(library, 0x378, 0x01);
    WritePort(library, 0x37A, 0x0E);
    BindPortLibrary(library, other);
    EXPECT_EQ(library.module, &other);
    UnbindPortLibrary(library);
    UnbindPortLibrary(library);
    WritePort(library, 0x378, 0x02);
    EXPECT_FALSE(CheckPortDriver(library));
    EXPECT_THAT(log.entries(),
                ElementsAre("loadPortLibrary", "PortOut 0x378 0x01", "PortOut 0x37A 0x0E",
                            "unloadPortLibrary", "loadPortLibrary", "unloadPortLibrary"));
}

TEST(PortLibrary, TheDriverIsAskedOnlyWhenTheLibraryCanAnswer) {
    testing::CallLog log;
    testing::FakePortModule module(&log);
    PortLibrary library;
    // A failed load, a missing export, or missing PortOut: false without a call, no writes.
    module.loadSucceeds = false;
    BindPortLibrary(library, module);
    EXPECT_EQ(library.module, nullptr);
    EXPECT_FALSE(CheckPortDriver(library));
    module.loadSucceeds = true;
    module.missing = {"IsDriverInstalled", "PortOut"};
    BindPortLibrary(library, module);
    EXPECT_FALSE(CheckPortDriver(library));
    WritePort(library, 0x378, 0x01);
    EXPECT_THAT(log.entries(), ElementsAre("loadPortLibrary", "loadPortLibrary"));

    // Any non-zero answer means installed.
    module.missing.clear();
    BindPortLibrary(library, module);
    for (const int32_t answer : {0, -1, 2}) {
        module.driverInstalled = answer;
        EXPECT_EQ(CheckPortDriver(library), answer != 0) << answer;
    }
    EXPECT_EQ(std::ranges::count(log.entries(), "IsDriverInstalled"), 3);
}

}  // namespace
}  // namespace glowtern
