// The Manual, Auto, Rnd and KEY handlers: effect mode, preset flag, band sliders, the
// settings file after every step, and the lock LEDs.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include "app/handlers.h"
#include "app/main_window.h"
#include "engine/control_ids.h"
#include "engine/worker.h"
#include "tests/support/eventually.h"
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

// Manual loads the stored band values (a missing key as 0), Auto and Rnd save them back once
// after Manual and otherwise only zero the sliders; Manual again discards unsaved changes.
TEST(Handlers, ManualLoadsStoredValuesAndAutoOrRndSavesThemBackOnce) {
    HandlerRig rig;
    // Without a file Manual only changes the mode, and Auto after it writes nothing.
    OnManualButton(rig.program);
    EXPECT_EQ(std::tuple(rig.mode(), rig.band(1), rig.program.manualPresetFlag),
              std::tuple(kManualMode, 15, 0));
    OnAutoButton(rig.program);
    EXPECT_FALSE(std::filesystem::exists(rig.settingsPath()));

    storeBandValues(rig, 22);
    OnManualButton(rig.program);
    EXPECT_EQ(std::tuple(rig.mode(), rig.band(1), rig.band(18), rig.program.manualPresetFlag),
              std::tuple(kManualMode, 0, 22, 1));
    rig.setBand(3, 20);
    OnAutoButton(rig.program);
    EXPECT_THAT(rig.file(), HasSubstr("fr3 = 20\r\n"));
    EXPECT_EQ(std::tuple(rig.mode(), rig.band(3), rig.program.manualPresetFlag),
              std::tuple(kAutoMode, 0, 0));
    OnManualButton(rig.program);
    EXPECT_EQ(rig.band(3), 20) << "the saved change comes back";
    rig.setBand(3, 9);
    std::string before = rig.file();
    OnManualButton(rig.program);
    EXPECT_EQ(rig.band(3), 20);
    EXPECT_EQ(rig.file(), before);

    rig.setBand(2, 30);
    OnRndButton(rig.program);
    EXPECT_THAT(rig.file(), HasSubstr("fr2 = 30\r\n"));
    EXPECT_EQ(std::tuple(rig.mode(), rig.band(2)), std::tuple(kRndMode, 0));
    // A hand change to the file after Rnd survives Auto: Auto saves nothing now, and Rnd
    // again and Auto again only zero the sliders.
    storeBandValues(rig, 31);
    for (auto handler : {OnAutoButton, OnRndButton, OnAutoButton}) {
        rig.setBand(4, 12);
        handler(rig.program);
        EXPECT_EQ(rig.band(4), 0);
    }
    EXPECT_THAT(rig.file(), HasSubstr("fr2 = 31\r\n"));
    EXPECT_EQ(rig.mode(), kAutoMode);
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

// A cycle about to run in the Auto mode (its sound being fetched) must not move a slider after
// the Manual handler has loaded its values: the cycle reads the mode only once it has the sound.
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

// What the handlers wait for: a cycle lasts until its last lamp is written (a KEY untick
// must not restore the LEDs while the cycle is still setting them), and the wait ends with it.
TEST(Handlers, TheWaitForACycleLastsWhileItsLampsAreWritten) {
    class HeldOutput final : public LightOutput {
      public:
        std::mutex hold;
        std::atomic<bool> entered{false};

      protected:
        void send(const LightFrame&) override {
            entered = true;
            const std::lock_guard wait(hold);
        }
        void sendOff() override {}
    };
    HandlerRig rig;
    HeldOutput output;
    LightOutput* const outputs[] = {&output};
    Worker worker;
    std::unique_lock held(output.hold);
    StartSpectrumWorker(worker, {rig.program.engine, rig.toolkit.controls(), rig.audio, outputs});
    EXPECT_TRUE(Eventually([&] { return output.entered.load(); }));
    EXPECT_FALSE(WaitForCycleEnd(worker, std::chrono::milliseconds(50)));
    held.unlock();
    EXPECT_TRUE(WaitForCycleEnd(worker, std::chrono::seconds(5)));
    JoinSpectrumWorker(worker);
}

}  // namespace
}  // namespace glowtern::testing
