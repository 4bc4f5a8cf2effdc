// Drives the port as the program does, so that a test can run it under the
// /dev/parport0 stand-in and read what reached the port.
//
//   parport_probe module   bind the ppdev module, print "driver=<0|1>", write a few
//                          registers (and one address that is not a register), unbind
//                          twice and write once more
//   parport_probe shared   two loads of the module: the port stays claimed until the
//                          second unload
//   parport_probe threads  several threads open, claim, write, release and close the
//                          port at once while others open and ioctl ordinary files
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "devices/port_library.h"
#include "platform/ppdev_port_module.h"

namespace glowtern {
namespace {

int runModule() {
    PpdevPortModule module;
    PortLibrary library;
    BindPortLibrary(library, module);
    std::printf("driver=%d\n", CheckPortDriver(library) ? 1 : 0);
    WritePort(library, 0x378, 0x02);
    WritePort(library, 0x379, 0x55);  // status register: not writable, ignored
    WritePort(library, 0x37A, 0x0E);
    WritePort(library, 0x378, 0x00);
    WritePort(library, 0x37A, 0x0B);
    UnbindPortLibrary(library);
    UnbindPortLibrary(library);
    WritePort(library, 0x378, 0xFF);  // after unbind: must go nowhere
    return 0;
}

int runShared() {
    PpdevPortModule first;
    PpdevPortModule second;
    PortLibrary one;
    PortLibrary two;
    BindPortLibrary(one, first);
    BindPortLibrary(two, second);
    std::printf("driver=%d,%d\n", CheckPortDriver(one) ? 1 : 0, CheckPortDriver(two) ? 1 : 0);
    UnbindPortLibrary(one);
    WritePort(two, 0x378, 0x11);  // the second load still holds the port
    UnbindPortLibrary(two);
    return 0;
}

// Each port thread writes kWrites data values; the ordinary threads check that
// open, ioctl and close of other files still behave.
constexpr int kPortThreads = 4;
constexpr int kOtherThreads = 2;
constexpr int kWrites = 200;

bool portThread(int index) {
    const int fd = ::open("/dev/parport0", O_RDWR | O_CLOEXEC);
    if (fd < 0 || ::ioctl(fd, PPCLAIM) != 0) {
        return false;
    }
    bool ok = true;
    for (int i = 0; i < kWrites; ++i) {
        unsigned char value = static_cast<unsigned char>(index * 64 + i % 64);
        ok = ok && ::ioctl(fd, PPWDATA, &value) == 0;
    }
    ok = ok && ::ioctl(fd, PPRELEASE) == 0;
    return ::close(fd) == 0 && ok;
}

bool otherThread(const std::string& path) {
    bool ok = true;
    for (int i = 0; i < kWrites; ++i) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ok = ok && fd >= 0 && ::write(fd, "x", 1) == 1;
        int pending = -1;
        int pipeFds[2];
        ok = ok && ::pipe(pipeFds) == 0;
        ok = ok && ::write(pipeFds[1], "ab", 2) == 2;
        ok = ok && ::ioctl(pipeFds[0], FIONREAD, &pending) == 0 && pending == 2;
        // ppdev requests on a file that is not the port reach the real driver.
        unsigned char value = 0;
        ok = ok && ::ioctl(fd, PPWDATA, &value) == -1;
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        ok = ok && ::close(fd) == 0;
    }
    return ok;
}

int runThreads(const char* scratch) {
    std::vector<char> results(kPortThreads + kOtherThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kPortThreads; ++i) {
        threads.emplace_back([&results, i] { results[i] = portThread(i) ? 1 : 0; });
    }
    for (int i = 0; i < kOtherThreads; ++i) {
        const std::string path = std::string(scratch) + "/other" + std::to_string(i);
        threads.emplace_back(
            [&results, i, path] { results[kPortThreads + i] = otherThread(path) ? 1 : 0; });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    int failures = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i] == 0) {
            std::printf("thread %zu failed\n", i);
            ++failures;
        }
    }
    std::printf("threads=%s\n", failures == 0 ? "ok" : "failed");
    return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace glowtern

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "module") == 0) {
        return glowtern::runModule();
    }
    if (argc >= 2 && std::strcmp(argv[1], "shared") == 0) {
        return glowtern::runShared();
    }
    if (argc >= 3 && std::strcmp(argv[1], "threads") == 0) {
        return glowtern::runThreads(argv[2]);
    }
    std::fprintf(stderr, "usage: parport_probe module|shared|threads <dir>\n");
    return 2;
}
