// Glowtern: turns the sound of the room into light on a parallel port, the
// keyboard lock LEDs and a USB light device.

#include "app/program.h"
#include "platform/audio_portaudio.h"
#include "platform/hid_hidapi.h"
#include "platform/instance_guard.h"
#include "platform/keyboard_x11.h"
#include "platform/ppdev_port_module.h"
#include "platform/termination.h"
#include "toolkit/qt/qt_toolkit.h"

int main(int argc, char** argv) {
    using namespace glowtern;
    const int terminationFd = InstallTerminationPipe();
    QtToolkit toolkit(argc, argv);
    PortAudioCapture audio;
    X11Keyboard keyboard;
    HidapiBus hid;
    PpdevPortModule portModule;
    FileLockInstanceGuard instanceGuard;
    Program program(toolkit, Platform{.audio = audio,
                                      .keyboard = keyboard,
                                      .hid = hid,
                                      .portModule = portModule,
                                      .instanceGuard = instanceGuard,
                                      .terminationFd = terminationFd});
    return RunProgram(program);
}
