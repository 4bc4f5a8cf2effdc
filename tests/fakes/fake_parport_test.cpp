// The /dev/parport0 stand-in, and the ppdev port module driven for real through it: this binary
// runs itself as a probe with the stand-in preloaded, and the tests read the stand-in's log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "devices/port_library.h"
#include "platform/ppdev_port_module.h"
#include "tests/support/temp_dir.h"

namespace glowtern {
namespace {

// "module": the port driven as the program does, with an address that is no register, two
// unbinds and a write after them. "shared": two loads of the module; the port stays claimed
// until the second unload. The exit status counts the loads that found the driver.
int Probe(const std::string& mode, const std::string& scratch) {
    PpdevPortModule modules[2];
    PortLibrary libraries[2];
    int successes = 0;
    const int loads = mode == "shared" ? 2 : 1;
    for (int i = 0; i < loads; ++i) {
        BindPortLibrary(libraries[i], modules[i]);
        successes += CheckPortDriver(libraries[i]) ? 1 : 0;
    }
    if (loads == 2) {
        UnbindPortLibrary(libraries[0]);
        WritePort(libraries[1], 0x378, 0x11);
        UnbindPortLibrary(libraries[1]);
        return successes;
    }
    for (const auto& [address, value] : std::vector<std::pair<int, uint8_t>>{
             {0x378, 0x02}, {0x379, 0x55}, {0x37A, 0x0E}, {0x378, 0x00}, {0x37A, 0x0B}}) {
        WritePort(libraries[0], address, value);
    }
    UnbindPortLibrary(libraries[0]);
    UnbindPortLibrary(libraries[0]);
    WritePort(libraries[0], 0x378, 0xFF);
    // Any other file passes by: its ppdev requests reach the real driver, which refuses them.
    const int other = ::open(scratch.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    unsigned char value = 0;
    return ::ioctl(other, PPWDATA, &value) == -1 && ::close(other) == 0 ? successes : 9;
}

class FakeParport : public ::testing::Test {
  protected:
    // Runs this binary as a probe with the stand-in preloaded, the log variable set when
    // `logged`, and `fail` naming the failure asked for; its exit status.
    int probe(const char* mode, bool logged = true, const char* fail = nullptr) {
        std::filesystem::remove(log);
        const pid_t child = ::fork();
        if (child == 0) {
            ::setenv("LD_PRELOAD", GLOWTERN_FAKE_PARPORT_PRELOAD, 1);
            ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(),
                     1);  // no light panel the user runs here
            logged ? ::setenv("GLOWTERN_FAKE_PARPORT_LOG", log.c_str(), 1)
                   : ::unsetenv("GLOWTERN_FAKE_PARPORT_LOG");
            fail ? ::setenv("GLOWTERN_FAKE_PARPORT_FAIL", fail, 1)
                 : ::unsetenv("GLOWTERN_FAKE_PARPORT_FAIL");
            ::execl("/proc/self/exe", "probe", "--probe", mode, dir.file("f").c_str(), nullptr);
            ::_exit(127);
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The events of the log, each line checked for the "<ns> <event>" form, the times never
    // going back.
    std::vector<std::string> events() {
        std::vector<std::string> events;
        std::ifstream file(log);
        int64_t last = 0;
        for (std::string line; std::getline(file, line);) {
            std::istringstream fields(line);
            int64_t nanoseconds = -1;
            EXPECT_TRUE(fields >> nanoseconds && fields.get() == ' ' && nanoseconds >= last)
                << line;
            last = nanoseconds;
            std::getline(fields, events.emplace_back());
        }
        return events;
    }

    testing::TempDir dir;
    const std::string log = dir.file("port.log");
};

TEST_F(FakeParport, PortModuleGetsThePortOnlyWhenItCanBeOpenedAndClaimed) {
    // The probe, whether the log variable is set, the failure asked for, how many loads find the
    // driver, and the events logged.
    const std::tuple<const char*, bool, const char*, int, std::string> runs[] = {
        {"module", true, nullptr, 1,
         "OPEN RDWR CLOEXEC, CLAIM, DATA 0x02, CONTROL 0x0e, DATA 0x00, CONTROL 0x0b, RELEASE, "
         "CLOSE"},
        {"shared", true, nullptr, 2, "OPEN RDWR CLOEXEC, CLAIM, DATA 0x11, RELEASE, CLOSE"},
        // The descriptor is given back at once; no write is even tried, nothing released.
        {"module", true, "claim", 0, "OPEN RDWR CLOEXEC, CLAIM-FAILED, CLOSE"},
        {"module", true, "open", 0, "OPEN-FAILED"},
        // Without the log variable the port is missing, as on a machine without one.
        {"module", false, nullptr, 0, ""},
    };
    for (const auto& [mode, logged, fail, drivers, expected] : runs) {
        SCOPED_TRACE(std::string(mode) + " " + (fail ? fail : "") + (logged ? "" : "unlogged"));
        if (!logged && ::access("/dev/parport0", F_OK) == 0) {
            continue;  // this machine has a real port
        }
        EXPECT_EQ(probe(mode, logged, fail), drivers);
        std::string seen;
        for (const std::string& event : events()) {
            seen += (seen.empty() ? "" : ", ") + event;
        }
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(std::filesystem::exists(log), logged);
    }
}

}  // namespace
}  // namespace glowtern

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--probe") == 0) {
        return glowtern::Probe(argv[2], argv[3]);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
