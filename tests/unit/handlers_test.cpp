// The Manual, Auto, Rnd and KEY handlers: effect mode, preset flag, band sliders,
// the settings file after every step, and the lock LEDs.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "app/handlers.h"
#include "app/main_window.h"
#include "engine/control_ids.h"
#include "tests/support/program_rig.h"

namespace glowtern::testing {
namespace {

void storeBandValues(ProgramRig& rig, int32_t value) {
    std::string text = "Effect = 1\r\n";
    for (int n = 1; n <= 18; ++n) {
        text += "fr" + std::to_string(n) + " = " + std::to_string(value) + "\r\n";
    }
    writeFile(rig.settingsPath(), text);
}

// The window built and the handlers called directly, with no worker running.
struct HandlerRig : ProgramRig {
    HandlerRig() {
        OpenMainWindow(toolkit, 0, 0);
        CreateMainWindowControls(toolkit);
    }
    int32_t mode() { return program.engine.effectMode.load(); }
    int32_t band(int n) { return toolkit.controls().state(bandSlider(n)); }
    void setBand(int n, int32_t value) { toolkit.controls().setState(bandSlider(n), value); }
    std::string file() { return readFile(settingsPath()); }
    void storeBands(int32_t value) { storeBandValues(*this, value); }
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(Handlers, ManualWithoutAFileOnlyChangesTheMode) {
    HandlerRig rig;
    OnManualButton(rig.program);
    EXPECT_EQ(rig.mode(), kManualMode);
    EXPECT_EQ(rig.band(1), 15);
    EXPECT_EQ(rig.program.manualPresetFlag, 0);
    // Flag 0: Auto writes nothing, and no file appears.
    OnAutoButton(rig.program);
    EXPECT_FALSE(std::filesystem::exists(rig.settingsPath()));
    EXPECT_EQ(rig.mode(), kAutoMode);
    EXPECT_EQ(rig.band(1), 0);
}

TEST(Handlers, ManualLoadsStoredValuesAndAutoSavesThemBack) {
    HandlerRig rig;
    rig.storeBands(22);
    OnManualButton(rig.program);
    EXPECT_EQ(rig.mode(), kManualMode);
    EXPECT_EQ(rig.program.manualPresetFlag, 1);
    for (int n = 1; n <= 18; ++n) {
        EXPECT_EQ(rig.band(n), 22);
    }
    rig.setBand(3, 20);
    OnAutoButton(rig.program);
    EXPECT_TRUE(contains(rig.file(), "fr3 = 20\r\n"));
    EXPECT_EQ(rig.program.manualPresetFlag, 0);
    EXPECT_EQ(rig.mode(), kAutoMode);
    for (int n = 1; n <= 18; ++n) {
        EXPECT_EQ(rig.band(n), 0);
    }
    OnManualButton(rig.program);
    EXPECT_EQ(rig.band(3), 20) << "the saved change comes back";
}

TEST(Handlers, ManualAgainDiscardsUnsavedChanges) {
    HandlerRig rig;
    rig.storeBands(9);
    OnManualButton(rig.program);
    rig.setBand(3, 20);
    const std::string before = rig.file();
    OnManualButton(rig.program);
    EXPECT_EQ(rig.band(3), 9);
    EXPECT_EQ(rig.file(), before);
}

TEST(Handlers, MissingBandKeysLoadAsZero) {
    HandlerRig rig;
    writeFile(rig.settingsPath(), "fr2 = 17\r\n");
    OnManualButton(rig.program);
    EXPECT_EQ(rig.band(1), 0);
    EXPECT_EQ(rig.band(2), 17);
    EXPECT_EQ(rig.program.manualPresetFlag, 1);
}

TEST(Handlers, ManualRndAutoSavesOnceByRnd) {
    HandlerRig rig;
    rig.storeBands(5);
    OnManualButton(rig.program);
    rig.setBand(1, 30);
    OnRndButton(rig.program);
    EXPECT_TRUE(contains(rig.file(), "fr1 = 30\r\n"));
    EXPECT_EQ(rig.mode(), kRndMode);
    EXPECT_EQ(rig.band(1), 0);
    // A hand change to the file after Rnd survives Auto: Auto saves nothing now.
    std::string text = rig.file();
    text.replace(text.find("fr1 = 30"), 8, "fr1 = 31");
    writeFile(rig.settingsPath(), text);
    OnAutoButton(rig.program);
    EXPECT_TRUE(contains(rig.file(), "fr1 = 31\r\n"));
    EXPECT_EQ(rig.mode(), kAutoMode);
}

TEST(Handlers, RndAgainAndAutoAgainOnlyZeroTheSliders) {
    HandlerRig rig;
    rig.storeBands(5);
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
    rig.toolkit.script.push_back([&] {
        EXPECT_EQ(rig.program.engine.effectMode.load(), kManualMode);
        EXPECT_EQ(rig.program.manualPresetFlag, 0);
        rig.toolkit.controls().setState(bandSlider(6), 25);
        rig.toolkit.clickControl(kRndButton);
    });
    rig.toolkit.script.push_back([&] {
        EXPECT_TRUE(contains(readFile(rig.settingsPath()), "fr6 = 8\r\n"));
        rig.toolkit.postEvent({.number = kCloseEvent});
    });
    ASSERT_EQ(RunProgram(rig.program), 0);
    EXPECT_TRUE(contains(readFile(rig.settingsPath()), "fr6 = 8\r\n"));
    EXPECT_TRUE(contains(readFile(rig.settingsPath()), "Effect = 3\r\n"));
}

TEST(Handlers, KeyBoxHandsTheLedsBackInOrderAndRetakesThem) {
    HandlerRig rig;
    rig.keyboardState.setLocked(LockKey::CapsLock, true);
    rig.keyboardState.setLocked(LockKey::ScrollLock, true);
    TakeSavedLedStates(rig.program);  // start-up
    // The show turns everything off and Num Lock on.
    rig.keyboardState.setLocked(LockKey::CapsLock, false);
    rig.keyboardState.setLocked(LockKey::ScrollLock, false);
    rig.keyboardState.setLocked(LockKey::NumLock, true);
    rig.keyboardState.clearPresses();

    rig.toolkit.controls().setState(kKeyCheckBox, 0);
    OnKeyCheckBox(rig.program);
    EXPECT_THAT(rig.keyboardState.presses(),
                ::testing::ElementsAre(LockKey::NumLock, LockKey::CapsLock, LockKey::ScrollLock));
    EXPECT_TRUE(rig.keyboardState.locked(LockKey::CapsLock));
    EXPECT_FALSE(rig.keyboardState.locked(LockKey::NumLock));

    // The user switches Caps Lock off, then ticks the box: that state is kept now.
    rig.keyboardState.setLocked(LockKey::CapsLock, false);
    rig.toolkit.controls().setState(kKeyCheckBox, 1);
    rig.keyboardState.clearPresses();
    OnKeyCheckBox(rig.program);
    EXPECT_TRUE(rig.keyboardState.presses().empty()) << "ticking only takes the states";
    rig.keyboardState.setLocked(LockKey::CapsLock, true);  // the show again
    rig.toolkit.controls().setState(kKeyCheckBox, 0);
    OnKeyCheckBox(rig.program);
    EXPECT_FALSE(rig.keyboardState.locked(LockKey::CapsLock));
}

TEST(Handlers, ControlsWithoutAHandlerChangeNothing) {
    ProgramRig rig;
    rig.toolkit.script.push_back([&] {
        for (int id : {bandSlider(3), kLevelSlider, kLinkLabel, kLptCheckBox, outputSelector(2)}) {
            rig.toolkit.clickControl(id);
        }
    });
    rig.toolkit.script.push_back([&] {
        EXPECT_EQ(rig.program.engine.effectMode.load(), kNoMode);
        EXPECT_FALSE(std::filesystem::exists(rig.settingsPath()));
        EXPECT_TRUE(rig.toolkit.messageBoxes.empty());
        rig.toolkit.postEvent({.number = kCloseEvent});
    });
    ASSERT_EQ(RunProgram(rig.program), 0);
}

// A cycle that began in Auto mode must not move a slider after the Manual handler
// has loaded its values: the handler waits for that cycle to end.
TEST(Handlers, ManualWaitsForTheRunningCycleBeforeLoading) {
    ProgramRig rig;
    storeBandValues(rig, 7);
    std::vector<float> loud(kSpectrumBins, 0.0f);
    for (int bin = 0; bin < 200; ++bin) {
        loud[bin] = 0.02f;
    }
    rig.audio.setSpectrum(loud);
    rig.toolkit.script.push_back([&] { rig.toolkit.clickControl(kAutoButton); });
    rig.toolkit.script.push_back([&] {
        rig.waitForCycles(2);
        // Every cycle from now on is slow, so the next click lands inside one.
        rig.audio.holdFetches(std::chrono::milliseconds(60));
        rig.waitForCycles(1);
        // 50 ms of pause, then the click lands in the middle of the slow fetch.
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        rig.toolkit.clickControl(kManualButton);
    });
    rig.toolkit.script.push_back([&] {
        rig.waitForCycles(2);
        for (int n = 1; n <= 18; ++n) {
            EXPECT_EQ(rig.toolkit.controls().state(bandSlider(n)), 7) << "band " << n;
        }
        rig.toolkit.postEvent({.number = kCloseEvent});
    });
    ASSERT_EQ(RunProgram(rig.program), 0);
}

}  // namespace
}  // namespace glowtern::testing
