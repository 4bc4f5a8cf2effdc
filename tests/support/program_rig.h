#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "app/program.h"
#include "tests/support/fake_platform.h"
#include "tests/support/headless_toolkit.h"
#include "tests/support/temp_dir.h"

namespace glowtern::testing {

// The whole program on the headless toolkit and platform fakes, with every call of interest
// in one log and the settings file in a fresh directory.
struct ProgramRig {
    // `asOnWindows`: no DMX link, and a recording without a choice of sources.
    explicit ProgramRig(bool asOnWindows = false) : withDmx(!asOnWindows) {
        audio.sourceChoice = !asOnWindows;
        program.settingsFileName = settingsPath();
    }

    // The entries of the log that start with any of `prefixes`, in order.
    std::vector<std::string> logged(std::initializer_list<std::string> prefixes) const {
        std::vector<std::string> matching;
        for (const std::string& entry : log.entries()) {
            if (std::ranges::any_of(prefixes, [&](auto& p) { return entry.starts_with(p); })) {
                matching.push_back(entry);
            }
        }
        return matching;
    }
    // Blocks (on the program's thread, inside a script step) until the worker has finished
    // `count` more cycles.
    void waitForCycles(int count) {
        const uint64_t target = CyclesCompleted(program.worker) + count;
        for (int i = 0; i < 2000 && CyclesCompleted(program.worker) < target; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    std::string settingsPath() const { return directory.file("setting.dat"); }
    int run() { return RunProgram(program); }

    CallLog log;
    TempDir directory;
    HeadlessToolkit toolkit{&log};
    FakeAudioCapture audio{&log};
    FakeKeyboard keyboard{&log};
    FakeHidBus hid{&log};
    FakePortModule portModule{&log};
    FakeInstanceGuard instanceGuard{log};
    FakeDmxLink dmx;
    bool withDmx;
    Program program{toolkit, Platform{.audio = audio,
                                      .keyboard = keyboard,
                                      .hid = hid,
                                      .portModule = portModule,
                                      .instanceGuard = instanceGuard,
                                      .terminationFd = -1,
                                      .endWatchdog = nullptr,
                                      .endProcess = nullptr,
                                      .panelSocket = {},
                                      .dmx = withDmx ? &dmx : nullptr}};
};

// The main window's controls with their initial states, without a window.
inline void DefineMainWindowControls(ControlModel& controls) {
    for (const ControlSpec& control : MainWindowControls()) {
        controls.define(control);
    }
}

// A frame with `bandsOn` on.
inline LightFrame FrameWith(std::initializer_list<int> bandsOn, bool decided = true) {
    LightFrame frame;
    for (int band : bandsOn) {
        frame.channels[band - 1] = true;
    }
    frame.bandsDecided = decided;
    return frame;
}

// A tray menu choice.
inline Event menu(int item) {
    return {.number = kMenuEvent, .id = item};
}

}  // namespace glowtern::testing
