// The Windows facilities that the shared tests cannot reach: the instance guard and the port
// library mapped from memory.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "devices/port_library.h"
#include "platform/memory_port_module.h"
#include "platform/windows_facilities.h"
#include "tests/support/temp_dir.h"

namespace glowtern {
namespace {

// One copy at a time through a named semaphore; a name that cannot be had (another kind of
// object holds it) counts as held, so two copies never run side by side.
TEST(SemaphoreInstanceGuard, LetsOnlyOneCopyRunAndFailsClosed) {
    const std::string name = "Glowtern-test-" + std::to_string(GetCurrentProcessId());
    SemaphoreInstanceGuard first, second;
    EXPECT_FALSE(first.heldElsewhere(name));
    EXPECT_TRUE(second.heldElsewhere(name));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, (name + "-taken").c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(SemaphoreInstanceGuard().heldElsewhere(name + "-taken"));
    CloseHandle(mutex);
}

// The stand-in port library, mapped by the program's loader: every export found, its writes
// reaching it; a missing file or one that is no image loads nothing.
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

    testing::writeFile(dir.file("portio64.dll"), "MZ but nothing more");
    for (const std::string& path : {dir.file("missing.dll"), dir.file("portio64.dll")}) {
        MemoryPortModule other(path);
        EXPECT_FALSE(other.load()) << path;
        EXPECT_EQ(other.findExport("PortOut"), nullptr);
    }
}

}  // namespace
}  // namespace glowtern
