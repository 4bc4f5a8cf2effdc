// Glowtern: turns the sound of the room into light on a parallel port, the
// keyboard lock LEDs, a USB light device and DMX lamps.

#include <stdlib.h>
#include <unistd.h>

#include <atomic>

#include "app/ending.h"
#include "app/program.h"
#include "platform/audio_desktop.h"
#include "platform/dmx_module.h"
#include "platform/hid_hidapi.h"
#include "platform/instance_guard.h"
#include "platform/keyboard_x11.h"
#include "platform/light_panel_protocol.h"
#include "platform/ppdev_port_module.h"
#include "platform/termination.h"
#include "toolkit/qt/qt_toolkit.h"

namespace {

// The program that a call of exit() from inside a library (the window system's, when the
// display goes away) has to end properly; null outside the show.
std::atomic<glowtern::Program*> programToEnd{nullptr};

void endProgramOnExit(int /*status*/, void* /*unused*/) {
    if (glowtern::Program* program = programToEnd.exchange(nullptr)) {
        glowtern::EndAfterLostDisplay(*program);
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace glowtern;
    // Made first, so that it outlives everything else: a teardown that hangs (a sound
    // server that no longer answers) still ends in time.
    EndWatchdog endWatchdog;
    const int terminationFd = InstallTerminationPipe();
    QtToolkit toolkit(argc, argv);
    DesktopAudioCapture audio;
    X11Keyboard keyboard;
    HidapiBus hid;
    PpdevPortModule portModule;
    FileLockInstanceGuard instanceGuard;
    DmxModuleLink dmx;
    Program program(toolkit, Platform{.audio = audio,
                                      .keyboard = keyboard,
                                      .hid = hid,
                                      .portModule = portModule,
                                      .instanceGuard = instanceGuard,
                                      .terminationFd = terminationFd,
                                      .endWatchdog = &endWatchdog,
                                      .endProcess = _exit,
                                      .panelSocket = LightPanelSocketPath(false),
                                      .dmx = &dmx});
    on_exit(endProgramOnExit, nullptr);
    programToEnd.store(&program);
    const int status = RunProgram(program);
    programToEnd.store(nullptr);
    if (program.workerLeftBehind) {
        _exit(status);  // the lamps are off and the settings saved; the worker cannot be waited for
    }
    return status;
}
