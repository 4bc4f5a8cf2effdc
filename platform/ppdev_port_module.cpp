#include "platform/ppdev_port_module.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/light_panel_client.h"

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

// Without a port the module hands the writes to the light panel, when one runs. The
// link is used by PortOut on the worker thread and by load, unload and IsDriverInstalled
// on the main thread; the mutex is never held across anything that waits, except the
// Welcome wait of the first connection in load, before the worker exists.
constexpr int kPanelWelcomeWaitMs = 500;
constexpr int64_t kPanelRetryNanoseconds = 1'000'000'000;

struct PanelFallback {
    std::mutex mutex;
    bool armed = false;  // the port could not be had: writes go to the panel
    PanelLink link;
    int64_t lastAttempt = 0;  // monotonic ns of the last connection attempt
};

PanelFallback& panelFallback() {
    static PanelFallback fallback;
    return fallback;
}

// The one wait on the panel: the start-up driver check runs once, before the window exists,
// and has to know whether the panel answers to decide on the missing-driver message.
void armPanel() {
    PanelFallback& panel = panelFallback();
    std::lock_guard lock(panel.mutex);
    panel.armed = true;
    panel.lastAttempt = PanelMonotonicNanoseconds();
    ConnectPanelLink(panel.link, LightPanelSocketPath(false), kPanelPort, kPanelWelcomeWaitMs);
}

void disarmPanel() {
    PanelFallback& panel = panelFallback();
    std::lock_guard lock(panel.mutex);
    panel.armed = false;
    ClosePanelLink(panel.link);
}

// Worker thread: never waits. A panel that went away is looked for again at most once a
// second; until it answers, writes go nowhere.
void writeToPanel(uint16_t port, uint8_t value) {
    if (port != kDataRegister && port != kControlRegister) {
        return;
    }
    PanelFallback& panel = panelFallback();
    std::lock_guard lock(panel.mutex);
    if (!panel.armed) {
        return;
    }
    if (panel.link.fd >= 0) {
        PumpPanelLink(panel.link);  // takes the Welcome; notices a panel that hung up
    }
    if (panel.link.fd < 0) {
        const int64_t now = PanelMonotonicNanoseconds();
        if (now - panel.lastAttempt < kPanelRetryNanoseconds) {
            return;
        }
        panel.lastAttempt = now;
        if (ConnectPanelLink(panel.link, LightPanelSocketPath(false), kPanelPort, 0) !=
            PanelConnectResult::Connected) {
            return;
        }
    }
    PanelMessage write;
    write.type = PanelMessageType::PortWrite;
    write.port = port;
    write.value = value;
    SendToPanel(panel.link, write);  // dropped when the panel is behind
}

bool panelConnected() {
    PanelFallback& panel = panelFallback();
    std::lock_guard lock(panel.mutex);
    return panel.armed && panel.link.fd >= 0 && PumpPanelLink(panel.link) && panel.link.welcomed;
}

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
        writeToPanel(port, value);
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
    if (!openAndClaim()) {
        armPanel();
    }
}

int32_t IsDriverInstalled() {
    acquirePortOnce();
    return portFd.load(std::memory_order_acquire) >= 0 || panelConnected() ? 1 : 0;
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
        disarmPanel();
        acquisitionTried = false;
    }
}

}  // namespace glowtern
