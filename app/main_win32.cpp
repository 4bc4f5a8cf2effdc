// Glowtern for Windows: the same program as on Linux (RunProgram), on the Win32 toolkit and the
// Windows facilities: waveIn recording, GetKeyState and keybd_event for the lock LEDs, SetupAPI
// and the HID API for the USB light device, and the port-I/O library mapped from memory by the
// program's own loader.

#include <windows.h>

#include <atomic>

#include "app/ending.h"
#include "app/program.h"
#include "platform/audio_wavein.h"
#include "platform/hid_win32.h"
#include "platform/memory_port_module.h"
#include "platform/windows_facilities.h"
#include "toolkit/win32/win32_toolkit.h"

namespace {

// The toolkit that console control events reach; null outside the show.
std::atomic<glowtern::Win32Toolkit*> toolkitToTell{nullptr};

void requestTermination() {
    if (glowtern::Win32Toolkit* toolkit = toolkitToTell.load()) {
        toolkit->requestTermination();
    }
}

// Like _exit on Linux: no library gets to run anything on the way out.
void endProcessNow(int status) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
}

}  // namespace

int main() {
    using namespace glowtern;
    // Made first, so that it outlives everything else: a teardown that hangs still ends in time.
    EndWatchdog endWatchdog;
    Win32Toolkit toolkit;
    WaveInCapture audio;
    Win32Keyboard keyboard;
    Win32HidBus hid;
    MemoryPortModule portModule;
    SemaphoreInstanceGuard instanceGuard;
    Program program(toolkit, Platform{.audio = audio,
                                      .keyboard = keyboard,
                                      .hid = hid,
                                      .portModule = portModule,
                                      .instanceGuard = instanceGuard,
                                      .terminationFd = -1,
                                      .endWatchdog = &endWatchdog,
                                      .endProcess = endProcessNow,
                                      .panelSocket = {},  // no light panel on Windows
                                      .dmx = nullptr});   // nor OLA: no DMX
    // Closing the console (when there is one), logoff and shutdown end the show like Exit; the
    // console's handler holds the process until that end has run, within its deadline.
    toolkitToTell.store(&toolkit);
    RouteConsoleEvents(requestTermination, static_cast<uint32_t>(kEndLimit.count()) + 1000);
    // The end of the Windows session: Windows may end the process as soon as it is told, so
    // the Exit sequence runs right there, and the process ends with it.
    toolkit.setSessionEndHandler([&program] { EndAfterLostDisplay(program); });
    const int status = RunProgram(program);
    toolkitToTell.store(nullptr);
    if (program.workerLeftBehind) {
        endProcessNow(status);  // the lamps are off and the settings saved
    }
    return status;
}
