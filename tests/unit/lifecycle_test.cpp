// Start-up, the event loop and both ways of ending, on the headless toolkit.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/ending.h"
#include "app/tray.h"
#include "engine/control_ids.h"
#include "tests/support/eventually.h"
#include "tests/support/program_rig.h"
#ifndef _WIN32
#include "platform/termination.h"
#endif

namespace glowtern::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
namespace fs = std::filesystem;

const FakeHidDevice kLightDevice{.path = "/dev/hidraw3"};
const std::vector<std::string> kLampsOff = {"hidWrite 0x00 0x00", "hidWrite 0x00 0x40",
                                            "hidWrite 0x00 0x80", "PortOut 0x378 0x00",
                                            "PortOut 0x37A 0x0B"};

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The end after the timer stops: at most the rest of the cycle the worker was in (its LED
// reads, reports and port writes), then exactly `tail`.
void expectShutdownTail(const std::vector<std::string>& entries,
                        const std::vector<std::string>& tail) {
    ASSERT_GE(entries.size(), tail.size());
    const auto tailStart = entries.end() - static_cast<long>(tail.size());
    const auto stop = std::ranges::find(entries, "stopTimer 2");
    ASSERT_LT(stop, tailStart);
    EXPECT_EQ(std::vector(tailStart, entries.end()), tail);
    EXPECT_LE(tailStart - stop, 9) << "more than the rest of one worker cycle ran after the stop";
    for (auto entry = stop + 1; entry < tailStart; ++entry) {
        EXPECT_THAT(*entry, ::testing::ContainsRegex("^(lockKeyState|hidWrite|PortOut)"));
    }
}

// Start-up ends hidden, the device status polled on the timer's ticks.
TEST(Lifecycle, StartUpRunsItsStepsInOrderAndEndsHidden) {
    ProgramRig rig;
    const auto label = [&] { return rig.toolkit.controls().text(kDeviceStatusLabel); };
    rig.toolkit.script = {
        [&] {
            EXPECT_TRUE(rig.toolkit.windowOpen && !rig.toolkit.windowVisible);
            EXPECT_THAT(rig.toolkit.trayMenuTexts(),
                        ElementsAre("Open", "Close", "About", "Sound from", "  Default input",
                                    "  What this computer plays", "DMX", "-", "Exit"));
            EXPECT_EQ(label(), "Device OFF");
            rig.hid.plug(kLightDevice);
            rig.toolkit.tick(2);
        },
        [&] {
            EXPECT_EQ(label(), "Device ON");
            rig.waitForCycles(2);
            EXPECT_GT(rig.audio.fetches(), 0);
            rig.toolkit.postEvent(menu(kMenuExit));
        }};
    EXPECT_EQ(rig.run(), 0);
    // Everything up to the timer happens before the worker exists.
    const std::vector<std::string> steps = rig.logged(
        {"hidInitialise", "loadPortLibrary", "instanceGuard", "openMainWindow", "addTrayIcon",
         "setTrayTooltip", "createTrayMenu", "createControl 0", "createControl 320",
         "IsDriverInstalled", "lockKeyState", "startRecording", "startTimer"});
    ASSERT_GE(steps.size(), 15u);
    EXPECT_THAT(std::vector(steps.begin(), steps.begin() + 15),
                ElementsAre("hidInitialise", "loadPortLibrary", "instanceGuard Glowtern",
                            "openMainWindow 0,0", "addTrayIcon 25", "setTrayTooltip Glowtern",
                            "createTrayMenu", "createControl 0", "createControl 320",
                            "IsDriverInstalled", "lockKeyState CapsLock", "lockKeyState NumLock",
                            "lockKeyState ScrollLock", "startRecording", "startTimer 2 500"));
    EXPECT_EQ(rig.hid.badWrites, 0);

    // Without a DMX link or a choice of sources (the Windows build), neither has an entry.
    std::vector<std::string> texts;
    for (const MenuItem& item : TrayMenu(ProgramRig(true).program)) {
        texts.push_back(item.text);
    }
    EXPECT_THAT(texts, ElementsAre("Open", "Close", "About", "", "Exit"));
}

// Exit (and a termination request) saves first and hands the lock LEDs back before the lamps
// go off; the close button switches the lamps off first. Both restore the LED that was on.
TEST(Lifecycle, ExitAndCloseEndInTheirOwnOrder) {
    const std::vector<std::string> close = {"mainWindowPosition",      "lockKeyState NumLock",
                                            "pressAndRelease NumLock", "lockKeyState CapsLock",
                                            "lockKeyState ScrollLock", "closeMainWindow"};
    const std::vector<std::string> exit = {"lockKeyState NumLock", "pressAndRelease NumLock",
                                           "lockKeyState CapsLock", "lockKeyState ScrollLock"};
    const std::vector<std::string> end = {"unloadPortLibrary", "removeTrayIcon", "closeMainWindow"};
    for (const auto& [event, tail] :
         {std::pair{menu(kMenuExit), concat(concat(exit, kLampsOff), end)},
          std::pair{Event{.number = kCloseEvent}, concat(concat(kLampsOff, close), end)}}) {
        ProgramRig rig;
        rig.hid.plug(kLightDevice);
        rig.keyboard.setLocked(LockKey::NumLock, true);  // the show turns it off in silence
        rig.toolkit.script = {[&] {
            rig.waitForCycles(3);
            EXPECT_FALSE(rig.keyboard.locked(LockKey::NumLock));
            rig.toolkit.postEvent(event);
        }};
        EXPECT_EQ(rig.run(), 0);
        const std::vector<std::string> entries = rig.log.entries();
        if (event.number == kMenuEvent) {
            EXPECT_LT(std::ranges::find(entries, "mainWindowPosition"),
                      std::ranges::find(entries, "stopTimer 2"))
                << "settings are saved first";
        }
        expectShutdownTail(entries, tail);
        EXPECT_TRUE(rig.keyboard.locked(LockKey::NumLock));
        EXPECT_TRUE(fs::exists(rig.settingsPath()));
    }
}

// A second copy, or a missing port driver (with the message), ends at once: nothing recorded,
// lit or saved, nothing left in the tray.
TEST(Lifecycle, SecondCopyOrMissingDriverEndsAtOnce) {
    ProgramRig second;
    second.instanceGuard.held = true;
    EXPECT_EQ(second.run(), 0);
    EXPECT_THAT(second.log.entries(),
                ElementsAre("hidInitialise", "loadPortLibrary", "instanceGuard Glowtern",
                            "unloadPortLibrary", "removeTrayIcon", "closeMainWindow"));
    EXPECT_TRUE(second.toolkit.messageBoxes.empty());

    ProgramRig noDriver;
    noDriver.portModule.driverInstalled = 0;
    EXPECT_EQ(noDriver.run(), 0);
    ASSERT_EQ(noDriver.toolkit.messageBoxes.size(), 1u);
    EXPECT_EQ(noDriver.toolkit.messageBoxes[0].text, "Ошибка драйвера!");
    EXPECT_EQ(noDriver.toolkit.messageBoxes[0].icon, MessageIcon::Error);
    EXPECT_FALSE(noDriver.portModule.loaded);
    for (ProgramRig* rig : {&second, &noDriver}) {
        EXPECT_TRUE(rig->logged({"startRecording", "startTimer", "PortOut"}).empty());
        EXPECT_FALSE(fs::exists(rig->settingsPath()));
        EXPECT_FALSE(rig->toolkit.trayIconShown);
    }
}

#ifndef _WIN32  // (the Windows guard and end: tests/windows/facilities_test.cpp)
// One copy at a time, the lock in a place no other user can claim first; a lock that cannot
// be taken counts as held, so two copies never run side by side.
TEST(Lifecycle, FileLockGuardLetsOnlyOneCopyRun) {
    TempDir home;
    const fs::path runUser = home.path() / "run-user";  // stands in for /run/user
    const fs::path userRuntime = runUser / std::to_string(geteuid());
    const fs::path session = home.path() / "xdg";
    ScopedEnvironment runtime("XDG_RUNTIME_DIR", nullptr);
    ScopedEnvironment cacheHome("XDG_CACHE_HOME", nullptr);
    ScopedEnvironment homeDir("HOME", home.path().c_str());
    const auto held = [&] {
        return FileLockInstanceGuard(runUser.string()).heldElsewhere("Glowtern");
    };
    // flock() locks belong to one open of the file: ask from another process, as a second
    // copy of the program would.
    const auto heldInChild = [&] {
        const pid_t child = fork();
        if (child == 0) {
            _exit(held() ? 0 : 1);
        }
        int status = 0;
        return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    for (const fs::path& directory : {session, userRuntime}) {
        fs::create_directories(directory);
        fs::permissions(directory, fs::perms::owner_all);
    }
    // XDG_RUNTIME_DIR; else /run/user/<uid>; else (not absolute, and no /run/user/<uid>) the
    // cache, made private.
    const std::pair<const char*, fs::path> places[] = {
        {session.c_str(), session},
        {nullptr, userRuntime},
        {"relative", home.path() / ".cache/glowtern"},
    };
    for (const auto& [runtimeDir, lockDirectory] : places) {
        SCOPED_TRACE(lockDirectory);
        runtime.set(runtimeDir);
        if (runtimeDir == places[2].first) {
            fs::remove_all(runUser);
        }
        {
            FileLockInstanceGuard first(runUser.string());
            EXPECT_FALSE(first.heldElsewhere("Glowtern"));
            EXPECT_TRUE(fs::is_regular_file(lockDirectory / "Glowtern.lock"));
            EXPECT_EQ(fs::status(lockDirectory).permissions() & fs::perms::all,
                      fs::perms::owner_all);
            EXPECT_TRUE(heldInChild());
        }
        EXPECT_FALSE(heldInChild()) << "the lock goes with its holder";
    }
    // No lock to be had: a runtime directory that is not there, a lock that is a link (never
    // followed), a cache directory open to others.
    runtime.set("/nonexistent/glowtern");
    EXPECT_TRUE(held());
    runtime.set("relative");
    const fs::path lockFile = home.path() / ".cache/glowtern/Glowtern.lock";
    fs::remove(lockFile);
    fs::create_symlink(home.path() / "elsewhere", lockFile);
    EXPECT_TRUE(held());
    EXPECT_FALSE(fs::exists(home.path() / "elsewhere"));
    fs::remove(lockFile);
    fs::permissions(lockFile.parent_path(), fs::perms::owner_all | fs::perms::group_exec);
    EXPECT_TRUE(held());
}

// The sound server dies mid-show and takes the worker with it into its library: a click on a
// mode button still returns, and a termination request still ends the program, switching
// every output off from the main thread and saving the settings.
TEST(Lifecycle, TerminationEndsTheShowEvenWithTheWorkerStuckInTheSoundLibrary) {
    ProgramRig rig;
    rig.hid.plug(kLightDevice);
    rig.program.platform.terminationFd = InstallTerminationPipe();
    ASSERT_GE(rig.program.platform.terminationFd, 0);
    rig.toolkit.script = {[&] {
                              rig.waitForCycles(1);
                              rig.audio.jamFetches(true);
                              EXPECT_TRUE(Eventually([&] { return rig.audio.fetchStuck(); }));
                              rig.toolkit.clickControl(kAutoButton);
                          },
                          [&] { raise(SIGTERM); }};
    EXPECT_EQ(rig.run(), 0);
    EXPECT_TRUE(rig.program.workerLeftBehind);
    const std::vector<std::string> writes = rig.logged({"hidWrite", "PortOut"});
    ASSERT_GE(writes.size(), 5u);
    EXPECT_EQ(std::vector(writes.end() - 5, writes.end()), kLampsOff);
    EXPECT_EQ(rig.log.entries().back(), "closeMainWindow");
    EXPECT_THAT(readFile(rig.settingsPath()), ::testing::HasSubstr("Effect = 2\r\n"));

    // The library lets go at last: nothing the worker does now reaches a lamp.
    rig.audio.jamFetches(false);
    JoinSpectrumWorker(rig.program.worker);
    EXPECT_EQ(rig.logged({"hidWrite", "PortOut"}), writes);
}

#endif

// When an end hangs (a library, a server), its deadline switches the lamps off and ends the
// process; an end that finished in time only ends the process.
TEST(Lifecycle, EndDeadlineSwitchesOffWhatTheEndDidNot) {
    static std::atomic<int> endedWith{-1};
    for (const bool finished : {false, true}) {
        std::atomic<int> lampsOff{0};
        endedWith = -1;
        EndWatchdog watchdog;
        watchdog.arm(
            std::chrono::milliseconds(20), [&] { ++lampsOff; },
            [](int status) { endedWith = status; });
        if (finished) {
            watchdog.dropLampsOff();
        }
        EXPECT_TRUE(Eventually([&] { return watchdog.expired(); }));
        EXPECT_EQ(lampsOff.load(), finished ? 0 : 1);
        EXPECT_TRUE(Eventually([&] { return endedWith == 0; }));
    }
}

TEST(Lifecycle, TrayAndWindowActions) {
    ProgramRig rig;
    HeadlessToolkit& toolkit = rig.toolkit;
    const auto tray = [](int type) { return Event{.number = kTrayEvent, .id = 25, .type = type}; };
    // What the user does, and whether the window is visible afterwards.
    const std::pair<Event, bool> actions[] = {
        {tray(kTrayLeftPress), true},
        {{.number = kMinimiseEvent}, false},  // minimising hides to the tray
        {tray(kTrayLeftDoubleClick), false},
        {tray(kTrayLeftPress), true},  // and restores the minimised window
        {menu(kMenuClose), false},
        {menu(kMenuClose), false},  // already hidden
        {menu(kMenuAbout), false},
        {menu(kMenuOpen), true},
        {menu(99), true},  // no such item: ignored
    };
    bool visible = false;
    for (const auto& action : actions) {
        toolkit.script.push_back([&] {
            EXPECT_EQ(toolkit.windowVisible, visible) << "before " << action.first.number;
            EXPECT_EQ(toolkit.windowActive, visible);
            EXPECT_FALSE(visible && toolkit.windowMinimised);
            if (action.first.number == kMinimiseEvent) {
                toolkit.minimiseByUser();
            } else {
                toolkit.postEvent(action.first);
            }
            visible = action.second;
        });
    }
    toolkit.script.push_back([&] {
        ASSERT_EQ(toolkit.messageBoxes.size(), 1u);
        EXPECT_EQ(toolkit.messageBoxes[0].icon, MessageIcon::Information);
        toolkit.chooseFromTrayMenu(kMenuExit);
        toolkit.postEvent(tray(kTrayRightPress));
    });
    EXPECT_EQ(rig.run(), 0);
    EXPECT_FALSE(toolkit.windowOpen);
}

}  // namespace
}  // namespace glowtern::testing
