// Start-up, the event loop and the two ways the program ends.

#include <random>

#include "app/ending.h"
#include "app/handlers.h"
#include "app/main_window.h"
#include "app/program.h"
#include "app/settings.h"
#include "app/tray.h"
#include "engine/control_ids.h"
#include "outputs/panel_output.h"
#include "outputs/port_output.h"

namespace glowtern {

namespace {

constexpr int kUsbPollTimer = 2;
constexpr int kUsbPollMilliseconds = 500;
constexpr std::string_view kDriverMessage = "Ошибка драйвера!";

void showRestoredMainWindow(Program& program) {
    program.toolkit.showMainWindow();
    program.toolkit.restoreMainWindow();
}

// The end's deadline passed: the thread that ends the program is stuck somewhere. The
// lamps go off from the watch thread; the keyboard is left, since what hangs may be the
// display it lives on.
void switchOutputsOffFromAnyThread(Program& program) {
    CloseOutputs(program.outputs);
    SwitchLampsOff(program.outputs);
}

// The USB label says whether a light device is there: the real one or the light panel's.
void pollUsbDevice(Program& program) {
    PollUsbDevice(program.usb, program.toolkit.controls(),
                  program.outputs.get<PanelOutput>().usbPlugged());
}

void startWorker(Program& program) {
    const WorkerContext context{.shared = program.engine,
                                .controls = program.toolkit.controls(),
                                .audio = program.platform.audio,
                                .outputs = program.outputs.inOrder(),
                                .randomSeed = std::random_device{}()};
    StartSpectrumWorker(program.worker, context);
    program.workerStarted = true;
    program.showStarted = true;
}

// Every end starts here: from now on the process ends within kEndLimit, and its lamps go
// off, whatever a library or server does.
void beginEnding(Program& program) {
    if (program.ending) {
        return;
    }
    program.ending = true;
    if (EndWatchdog* watchdog = program.platform.endWatchdog) {
        watchdog->arm(
            kEndLimit, [&program] { switchOutputsOffFromAnyThread(program); },
            program.platform.endProcess);
    }
}

void stopTimerAndWorker(Program& program) {
    program.toolkit.stopTimer(kUsbPollTimer);
    if (program.workerStarted) {
        // A worker stuck in the sound library is left behind: the outputs are closed to
        // it below, so nothing it might still do reaches a lamp.
        program.workerLeftBehind = !StopSpectrumWorker(program.worker, kWorkerStopLimit);
        program.workerStarted = false;
    }
    CloseOutputs(program.outputs);
}

void saveAtShutdown(Program& program) {
    if (program.settingsSaved) {
        return;
    }
    program.settingsSaved = true;
    if (program.engine.effectMode.load() == kManualMode) {
        saveBandValues(program);
    }
    saveSettings(program);
}

// The lamps are off and the settings saved: what is left of the end may take no lamp
// with it.
void finishEnding(Program& program) {
    program.ended.store(true);
    if (EndWatchdog* watchdog = program.platform.endWatchdog) {
        watchdog->dropLampsOff();
    }
}

void runExitSequence(Program& program) {
    beginEnding(program);
    saveAtShutdown(program);
    stopTimerAndWorker(program);
    SwitchDisplayOutputsOff(program.outputs);
    SwitchLampsOff(program.outputs);
    finishEnding(program);
    program.quit = true;
}

void runCloseSequence(Program& program) {
    beginEnding(program);
    stopTimerAndWorker(program);
    SwitchLampsOff(program.outputs);
    saveAtShutdown(program);
    SwitchDisplayOutputsOff(program.outputs);
    finishEnding(program);
    program.quit = true;
    program.toolkit.closeMainWindow();
}

void onMinimised(Program& program) {
    // Hidden to the tray only when there is a tray to bring it back from.
    if (program.toolkit.trayAvailable()) {
        program.toolkit.hideMainWindow();
    }
}

void dispatch(Program& program, const Event& event) {
    Toolkit& toolkit = program.toolkit;
    switch (event.number) {
        case kTrayEvent:
            if (event.type == kTrayRightPress) {
                toolkit.showTrayMenu();
            } else if (event.type == kTrayLeftPress) {
                showRestoredMainWindow(program);
            }
            break;
        case kMenuEvent:
            switch (event.id) {
                case kMenuOpen:
                    showRestoredMainWindow(program);
                    break;
                case kMenuClose:
                    toolkit.hideMainWindow();
                    break;
                case kMenuAbout:
                    ShowAboutBox(toolkit);
                    break;
                case kMenuDmx:
                    ToggleDmx(program);
                    break;
                case kMenuExit:
                    runExitSequence(program);
                    break;
                default:
                    ChooseSoundFrom(program, event.id);
                    break;
            }
            break;
        case kTimerEvent:
            if (event.id == kUsbPollTimer) {
                pollUsbDevice(program);
            }
            break;
        case kMinimiseEvent:
            onMinimised(program);
            break;
        case kCloseEvent:
            runCloseSequence(program);
            break;
        case kTerminationEvent:
            // A logout or kill ends the program as the Exit menu item does.
            runExitSequence(program);
            break;
        case kControlEvent:
            switch (event.id) {
                case kManualButton:
                    OnManualButton(program);
                    break;
                case kAutoButton:
                    OnAutoButton(program);
                    break;
                case kRndButton:
                    OnRndButton(program);
                    break;
                case kKeyCheckBox:
                    OnKeyCheckBox(program);
                    break;
                default:
                    break;
            }
            break;
        default:
            break;
    }
}

void runEventLoop(Program& program) {
    while (true) {
        const Event event = program.toolkit.waitEvent();
        dispatch(program, event);
        if (event.number == kCloseEvent || program.quit) {
            return;
        }
    }
}

// Reached from the loop, from the single-instance guard and from a failed driver
// check; releases what is still held.
int endProgram(Program& program) {
    UnbindPortLibrary(program.port);
    program.toolkit.removeTrayIcon();
    program.settings.close();
    program.toolkit.closeMainWindow();
    return 0;
}

}  // namespace

Program::Program(Toolkit& programToolkit, const Platform& programPlatform)
    : toolkit(programToolkit),
      platform(programPlatform),
      leds(programPlatform.keyboard),
      outputs(OutputContext{.controls = programToolkit.controls(),
                            .leds = leds,
                            .savedLeds = savedLeds,
                            .port = port,
                            .usb = usb,
                            .panelSocket = programPlatform.panelSocket,
                            .dmx = programPlatform.dmx}) {}

Program::~Program() {
    // A worker left behind at the end (stuck in a library) is waited for here: in the
    // program the process has ended before; in tests the library is let go first.
    JoinSpectrumWorker(worker);
    if (platform.endWatchdog != nullptr) {
        platform.endWatchdog->dropLampsOff();
    }
}

void EndAfterLostDisplay(Program& program) {
    if (program.ended.load() || !program.showStarted) {
        return;  // ended by its own sequence, or it had not started its show
    }
    runExitSequence(program);
    if (program.platform.endProcess != nullptr) {
        program.platform.endProcess(0);
    }
}

int RunProgram(Program& program) {
    Toolkit& toolkit = program.toolkit;

    // 1. Program state starts zeroed: `program` is freshly made.
    // 2. Runtime services: HID access first, the port library last.
    PrepareHidAccess(program.usb, program.platform.hid);
    BindPortLibrary(program.port, program.platform.portModule);
    // 3. One copy at a time: a second one leaves silently.
    if (program.platform.instanceGuard.heldElsewhere(std::string(kProgramName))) {
        return endProgram(program);
    }
    // 4. Shared arrays, held group levels and the Manual preset flag start at 0.
    program.manualPresetFlag = 0;
    // 5. The meter picture belongs to the worker, which makes it when it starts.
    // 6. Window position from the settings file.
    loadWindowPosition(program);
    // 7. The main window, hidden. Termination requests are watched from here on.
    OpenMainWindow(toolkit, program.windowPosition.x, program.windowPosition.y);
    toolkit.watchTermination(program.platform.terminationFd);
    // 8. Tray icon, tooltip and menu.
    const bool trayShown = AddTrayIconAndMenu(program);
    // 9. Quit flag.
    program.quit = false;
    // 10. Every control with its initial state, meters included.
    CreateMainWindowControls(toolkit);
    // 11. The outputs open, the port's driver check first. Without the port's lines, its
    //     own or the light panel's standing in for them, the program cannot make light.
    for (LightOutput* output : program.outputs.inOrder()) {
        output->open();
    }
    if (!program.outputs.get<PortOutput>().reached() &&
        !program.outputs.get<PanelOutput>().drivesPortLines()) {
        toolkit.messageBox(kDriverMessage, "", MessageIcon::Error);
        return endProgram(program);
    }
    // 12. Settings into the controls and the effect mode.
    loadSettings(program);
    // 13. Rnd mode does not use the band sliders: they stand at 0.
    if (program.engine.effectMode.load() == kRndMode) {
        for (int band = 1; band <= 18; ++band) {
            toolkit.controls().setState(bandSlider(band), 0);
        }
    }
    // 14. Lock-key states to hand back at the end.
    TakeSavedLedStates(program);
    // 15. Recording starts from the chosen source; a channel of 0 means no sound, and the
    //     show goes on dark.
    program.platform.audio.chooseSource(program.soundFrom);
    program.engine.recordingChannel.store(program.platform.audio.startRecording());
    // 16. The device status is right before the window is first shown.
    pollUsbDevice(program);
    // 17. USB presence poll every 500 ms.
    toolkit.startTimer(kUsbPollTimer, kUsbPollMilliseconds);
    // 18. The worker.
    startWorker(program);
    // 19. The window stays hidden behind the tray icon. Without a tray the user
    //     would have no way to reach it, so it is shown instead.
    if (trayShown) {
        toolkit.hideMainWindow();
        // Started for the first time (no settings file), no effect is chosen and nothing
        // lights up yet: say how to begin, once.
        if (!program.settingsFileFound) {
            ShowFirstStartNotice(program);
        }
    } else {
        showRestoredMainWindow(program);
    }
    // 20. The event loop.
    runEventLoop(program);
    return endProgram(program);
}

}  // namespace glowtern
