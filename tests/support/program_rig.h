#pragma once

#include <string>
#include <vector>

#include "app/program.h"
#include "tests/support/call_log.h"
#include "tests/support/fake_dmx_link.h"
#include "tests/support/fake_hid_bus.h"
#include "tests/support/fake_keyboard.h"
#include "tests/support/fake_platform.h"
#include "tests/support/headless_toolkit.h"
#include "tests/support/temp_dir.h"

namespace glowtern::testing {

// The whole program on the headless toolkit and platform fakes, with every call
// of interest in one log and the settings file in a fresh directory.
struct ProgramRig {
    // `asOnWindows`: no DMX link, and a recording without a choice of sources.
    explicit ProgramRig(bool asOnWindows = false);

    // The entries of the log that start with any of `prefixes`, in order.
    std::vector<std::string> logged(std::initializer_list<std::string> prefixes) const;
    // Blocks (on the program's thread, inside a script step) until the worker has
    // finished `count` more cycles.
    void waitForCycles(int count);
    std::string settingsPath() const { return directory.file("setting.dat"); }

    CallLog log;
    TempDir directory;
    HeadlessToolkit toolkit{&log};
    FakeAudioCapture audio{&log};
    FakeKeyboard keyboardState;
    LoggingKeyboard keyboard{keyboardState, log};
    FakeHidBus hidState;
    LoggingHidBus hid{hidState, log};
    FakePortModule portModule{&log};
    FakeInstanceGuard instanceGuard{&log};
    FakeDmxLink dmx;
    Program program;
};

}  // namespace glowtern::testing
