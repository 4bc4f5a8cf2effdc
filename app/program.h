#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "app/ending.h"
#include "devices/keyboard_led.h"
#include "devices/port_library.h"
#include "devices/usb_device.h"
#include "engine/engine_state.h"
#include "engine/worker.h"
#include "outputs/light_outputs.h"
#include "platform/audio.h"
#include "platform/dmx.h"
#include "platform/hid.h"
#include "platform/instance_guard.h"
#include "platform/keyboard.h"
#include "platform/port_module.h"
#include "toolkit/settings_file.h"
#include "toolkit/toolkit.h"

namespace glowtern {

// The platform facilities the program runs on; main() hands in the real ones,
// tests hand in fakes.
struct Platform {
    AudioCapture& audio;
    Keyboard& keyboard;
    HidBus& hid;
    PortModule& portModule;
    InstanceGuard& instanceGuard;
    int terminationFd = -1;  // read end of the termination pipe, -1 for none
    // The deadline of every end (none in tests that do not ask for one), and how the
    // process is ended when the deadline passes or the display has gone (none: it is not).
    EndWatchdog* endWatchdog = nullptr;
    EndWatchdog::EndProcess endProcess = nullptr;
    std::string panelSocket;  // where the light panel listens; empty: no panel
    DmxLink* dmx = nullptr;   // the lighting daemon; null: no DMX
};

// The one program state: made in main(), passed down, alive until the end.
struct Program {
    Program(Toolkit& toolkit, const Platform& platform);
    ~Program();  // a worker still running is stopped and waited for; nothing outlives it
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    Toolkit& toolkit;
    Platform platform;
    std::string settingsFileName = "setting.dat";

    EngineState engine;
    Worker worker;
    KeyboardLedOutput leds;
    UsbDevice usb;
    PortLibrary port;
    SavedLedStates savedLeds;
    LightOutputs outputs;
    SettingsFile settings;

    WindowPosition windowPosition;
    // Where the sound comes from, as chosen in the tray menu or read from the settings.
    SoundSourceChoice soundFrom;
    // The sources the tray menu showed when it was last opened, for its choices.
    std::vector<SoundSource> listedSources;
    // setting.dat was there at start-up (without it, the first start shows how to begin).
    bool settingsFileFound = false;
    int32_t manualPresetFlag = 0;
    bool saveDmxKeys = false;  // the file had DMX keys, or DMX was switched on
    bool quit = false;
    bool workerStarted = false;
    bool showStarted = false;  // the worker was started: lamps may be lit
    // The worker did not stop in time at the end (stuck in a library): the process must
    // end without waiting for it.
    bool workerLeftBehind = false;
    // The end: begun (main thread), the settings saved once, and the whole sequence done.
    bool ending = false;
    bool settingsSaved = false;
    std::atomic<bool> ended{false};
};

// Start-up, the event loop and the end of the program. Returns the exit status.
int RunProgram(Program& program);

}  // namespace glowtern
