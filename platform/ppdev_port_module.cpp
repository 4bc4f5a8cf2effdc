#include "platform/ppdev_port_module.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace glowtern {

namespace {

constexpr const char* kPortDevice = "/dev/parport0";

// The registers of the first parallel port (base 0x378) that ppdev can write.
constexpr uint16_t kDataRegister = 0x378;
constexpr uint16_t kControlRegister = 0x37A;

// The module's own data. `portFd` is read by PortOut on the worker thread and set by
// load and unload on the main thread (never at the same time), so an atomic keeps
// those accesses well defined without a lock. `loadCount` is only touched by load and
// unload on the main thread.
std::atomic<int> portFd{-1};
int loadCount = 0;
bool acquisitionTried = false;  // main thread only, like loadCount

int retryOnInterrupt(int fd, unsigned long request, void* argument) {
    int result;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result != 0 && errno == EINTR);
    return result;
}

bool openAndClaim() {
    const int fd = ::open(kPortDevice, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    if (retryOnInterrupt(fd, PPCLAIM, nullptr) != 0) {
        ::close(fd);
        return false;
    }
    portFd.store(fd, std::memory_order_release);
    return true;
}

void releaseAndClose() {
    const int fd = portFd.exchange(-1, std::memory_order_acq_rel);
    if (fd < 0) {
        return;
    }
    retryOnInterrupt(fd, PPRELEASE, nullptr);
    ::close(fd);
}

// --- The exports ---

void PortOut(uint16_t port, uint8_t value) {
    const int fd = portFd.load(std::memory_order_acquire);
    if (fd < 0) {
        return;
    }
    unsigned char byte = value;
    if (port == kDataRegister) {
        ::ioctl(fd, PPWDATA, &byte);
    } else if (port == kControlRegister) {
        ::ioctl(fd, PPWCONTROL, &byte);
    }
}

// The port is taken when the driver check first asks for it, not at load: a second copy
// of the program loads the library before it finds the first copy running, and must
// leave alone the port the first one holds (a claim would even wait for it).
void acquirePortOnce() {
    if (acquisitionTried || loadCount == 0) {
        return;
    }
    acquisitionTried = true;
    openAndClaim();
}

int32_t IsDriverInstalled() {
    acquirePortOnce();
    return portFd.load(std::memory_order_acquire) >= 0 ? 1 : 0;
}

// Checked at compile time against the types the binding calls them through.
constexpr PortOutFunction kPortOut = &PortOut;
constexpr IsDriverInstalledFunction kIsDriverInstalled = &IsDriverInstalled;

struct Export {
    const char* name;
    void* entry;
};

}  // namespace

PpdevPortModule::~PpdevPortModule() {
    PpdevPortModule::unload();
}

bool PpdevPortModule::load() {
    if (!loaded_) {
        loaded_ = true;
        ++loadCount;
    }
    return true;
}

void* PpdevPortModule::findExport(const char* name) {
    if (!loaded_ || name == nullptr) {
        return nullptr;
    }
    const Export exports[] = {
        {"PortOut", reinterpret_cast<void*>(kPortOut)},
        {"PortWordOut", nullptr},
        {"PortDWordOut", nullptr},
        {"PortIn", nullptr},
        {"PortWordIn", nullptr},
        {"PortDWordIn", nullptr},
        {"SetPortBit", nullptr},
        {"ClrPortBit", nullptr},
        {"NotPortBit", nullptr},
        {"GetPortBit", nullptr},
        {"RightPortShift", nullptr},
        {"LeftPortShift", nullptr},
        {"IsDriverInstalled", reinterpret_cast<void*>(kIsDriverInstalled)},
    };
    for (const Export& entry : exports) {
        if (std::strcmp(entry.name, name) == 0) {
            return entry.entry;
        }
    }
    return nullptr;
}

void PpdevPortModule::unload() {
    if (!loaded_) {
        return;
    }
    loaded_ = false;
    if (--loadCount == 0) {
        releaseAndClose();
        acquisitionTried = false;
    }
}

}  // namespace glowtern
