// The Manual, Auto, Rnd and KEY handlers: effect mode, preset flag, band sliders, the
// settings file after every step, and the lock LEDs.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "app/handlers.h"
#include "app/main_window.h"
#include "engine/control_ids.h"
#include "tests/support/program_rig.h"

namespace glowtern::testing {
namespace {

using ::testing::HasSubstr;

// "fr2" .. "fr18" at `value`; "fr1" is missing.
void storeBandValues(ProgramRig& rig, int32_t value) {
    std::string text = "Effect = 1\r\n";
    for (int n = 2; n <= 18; ++n) {
        text += "fr" + std::to_string(n) + " = " + std::to_string(value) + "\r\n";
    }
    writeFile(rig.settingsPath(), text);
}

// The window built and the handlers called directly, with no worker running.
struct HandlerRig : ProgramRig {
    HandlerRig() { CreateMainWindowControls(toolkit); }
    int32_t mode() { return program.engine.effectMode.load(); }
    int32_t band(int n) { return toolkit.controls().state(bandSlider(n)); }
    void setBand(int n, int32_t value) { toolkit.controls().setState(bandSlider(n), value); }
    std::string file() { return readFile(settingsPath()); }
};

TEST(Handlers, ManualLoadsStoredValuesAndAutoSavesThemBack) {
    HandlerRig rig;
    // Without a file Manual only changes the mode, and Auto after it writes nothing.
    OnManualButton(rig.program);
    EXPECT_EQ(rig.mode(), kManualMode);
    EXPECT_EQ(rig.band(1), 15);
    EXPECT_EQ(rig.program.manualPresetFlag, 0);
    OnAutoButton(rig.program);
    EXPECT_FALSE(std::filesystem::exists(rig.settingsPath()));

    storeBandValues(rig, 22);
    OnManualButton(rig.program);
    EXPECT_EQ(rig.mode(), kManualMode);
    EXPECT_EQ(rig.program.manualPresetFlag, 1);
    EXPECT_EQ(rig.band(1), 0) << "a missing key loads as 0";
    for (int n = 2; n <= 18; ++n) {
        EXPECT_EQ(rig.band(n), 22);
    }
    rig.setBand(3, 20);
    OnAutoButton(rig.program);
    EXPECT_THAT(rig.file(), HasSubstr("fr3 = 20\r\n"));
    EXPECT_EQ(rig.program.manualPresetFlag, 0);
    EXPECT_EQ(rig.mode(), kAutoMode);
    for (int n = 1; n <= 18; ++n) {
        EXPECT_EQ(rig.band(n), 0);
    }
    OnManualButton(rig.program);
    EXPECT_EQ(rig.band(3), 20) << "the saved change comes back";
    // Manual again discards unsaved changes.
    rig.setBand(3, 9);
    const std::string before = rig.file();
    OnManualButton(rig.program);
    EXPECT_EQ(rig.band(3), 20);
    EXPECT_EQ(rig.file(), before);
}

TEST(Handlers, ManualRndAutoSavesOnceByRnd) {
    HandlerRig rig;
    storeBandValues(rig, 5);
    OnManualButton(rig.program);
    rig.setBand(2, 30);
    OnRndButton(rig.program);
    EXPECT_THAT(rig.file(), HasSubstr("fr2 = 30\r\n"));
    EXPECT_EQ(rig.mode(), kRndMode);
    EXPECT_EQ(rig.band(2), 0);
    // A hand change to the file after Rnd survives Auto: Auto saves nothing now.
    storeBandValues(rig, 31);
    OnAutoButton(rig.program);
    EXPECT_THAT(rig.file(), HasSubstr("fr2 = 31\r\n"));
    EXPECT_EQ(rig.mode(), kAutoMode);
    // Rnd again and Auto again only zero the sliders.
    for (auto handler : {OnRndButton, OnAutoButton}) {
        handler(rig.program);
        rig.setBand(4, 12);
        const std::string before = rig.file();
        handler(rig.program);
        EXPECT_EQ(rig.band(4), 0);
        EXPECT_EQ(rig.file(), before);
    }
}

TEST(Handlers, ManualRestoredAtStartUpIsNotSavedByRnd) {
    ProgramRig rig;
    writeFile(rig.settingsPath(), "Effect = 1\r\nfr6 = 8\r\n");
    rig.toolkit.script = {[&] {
        EXPECT_EQ(rig.program.engine.effectMode.load(), kManualMode);
        EXPECT_EQ(rig.program.manualPresetFlag, 0);
        rig.toolkit.controls().setState(bandSlider(6), 25);
        rig.toolkit.clickControl(kRndButton);
        rig.toolkit.postEvent({.number = kCloseEvent});
    }};
    ASSERT_EQ(rig.run(), 0);
    EXPECT_THAT(readFile(rig.settingsPath()), HasSubstr("fr6 = 8\r\n"));
    EXPECT_THAT(readFile(rig.settingsPath()), HasSubstr("Effect = 3\r\n"));
}

TEST(Handlers, KeyBoxHandsTheLedsBackInOrderAndRetakesThem) {
    HandlerRig rig;
    FakeKeyboard& keyboard = rig.keyboard;
    keyboard.setLocked(LockKey::CapsLock, true);
    keyboard.setLocked(LockKey::ScrollLock, true);
    TakeSavedLedStates(rig.program);  // start-up
    // The show turns everything off and Num Lock on.
    keyboard.setLocked(LockKey::CapsLock, false);
    keyboard.setLocked(LockKey::ScrollLock, false);
    keyboard.setLocked(LockKey::NumLock, true);
    keyboard.clearPresses();

    rig.toolkit.controls().setState(kKeyCheckBox, 0);
    OnKeyCheckBox(rig.program);
    EXPECT_THAT(keyboard.presses(),
                ::testing::ElementsAre(LockKey::NumLock, LockKey::CapsLock, LockKey::ScrollLock));
    EXPECT_TRUE(keyboard.locked(LockKey::CapsLock));
    EXPECT_FALSE(keyboard.locked(LockKey::NumLock));

    // The user switches Caps Lock off, then ticks the box: that state is kept now.
    keyboard.setLocked(LockKey::CapsLock, false);
    rig.toolkit.controls().setState(kKeyCheckBox, 1);
    keyboard.clearPresses();
    OnKeyCheckBox(rig.program);
    EXPECT_TRUE(keyboard.presses().empty()) << "ticking only takes the states";
    keyboard.setLocked(LockKey::CapsLock, true);  // the show again
    rig.toolkit.controls().setState(kKeyCheckBox, 0);
    OnKeyCheckBox(rig.program);
    EXPECT_FALSE(keyboard.locked(LockKey::CapsLock));
}

// A cycle that began in Auto mode must not move a slider after the Manual handler has loaded
// its values: the handler waits for that cycle to end.
TEST(Handlers, ManualWaitsForTheRunningCycleBeforeLoading) {
    ProgramRig rig;
    storeBandValues(rig, 7);
    std::vector<float> loud(200, 0.02f);
    rig.audio.setSpectrum(loud);
    rig.toolkit.script = {[&] { rig.toolkit.clickControl(kAutoButton); },
                          [&] {
                              rig.waitForCycles(2);
                              // Every cycle from now on is slow, so the next click lands inside
                              // one: 50 ms of pause, then the click in the middle of the fetch.
                              rig.audio.holdFetches(std::chrono::milliseconds(60));
                              rig.waitForCycles(1);
                              std::this_thread::sleep_for(std::chrono::milliseconds(80));
                              rig.toolkit.clickControl(kManualButton);
                          },
                          [&] {
                              rig.waitForCycles(2);
                              for (int n = 2; n <= 18; ++n) {
                                  EXPECT_EQ(rig.toolkit.controls().state(bandSlider(n)), 7) << n;
                              }
                              rig.toolkit.postEvent({.number = kCloseEvent});
                          }};
    ASSERT_EQ(rig.run(), 0);
}

}  // namespace
}  // namespace glowtern::testing
