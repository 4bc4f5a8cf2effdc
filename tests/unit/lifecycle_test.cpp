// Start-up, the event loop and both ways of ending, on the headless toolkit.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "app/ending.h"
#include "app/main_window.h"
#include "app/tray.h"
#include "engine/control_ids.h"
#include "tests/support/eventually.h"
#include "tests/support/program_rig.h"
#ifdef _WIN32
#include "platform/windows_facilities.h"
#else
#include "platform/termination.h"
#endif

namespace glowtern::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr FakeHidDevice kLightDevice{
    .path = "/dev/hidraw3", .vendorId = 0xAAAA, .productId = 0xEF22, .releaseNumber = 0x0100};

size_t indexOf(const std::vector<std::string>& entries, const std::string& entry) {
    return static_cast<size_t>(std::find(entries.begin(), entries.end(), entry) - entries.begin());
}

// The shutdown after the timer stops: at most the rest of the cycle the worker was
// in (its LED reads, reports and port writes), then exactly `tail`.
void expectShutdownTail(const std::vector<std::string>& entries,
                        const std::vector<std::string>& tail) {
    const auto stop = std::find(entries.begin(), entries.end(), "stopTimer 2");
    ASSERT_NE(stop, entries.end());
    const std::vector<std::string> afterStop(stop + 1, entries.end());
    ASSERT_GE(afterStop.size(), tail.size());
    const size_t gap = afterStop.size() - tail.size();
    EXPECT_THAT(
        std::vector<std::string>(afterStop.begin() + static_cast<long>(gap), afterStop.end()),
        ElementsAreArray(tail));
    EXPECT_LE(gap, 8u) << "more than the rest of one worker cycle ran after the stop";
    for (size_t i = 0; i < gap; ++i) {
        const std::string& entry = afterStop[i];
        EXPECT_TRUE(entry.rfind("lockKeyState", 0) == 0 || entry.rfind("hidWrite", 0) == 0 ||
                    entry.rfind("PortOut", 0) == 0)
            << entry;
    }
}

TEST(Lifecycle, StartUpRunsItsStepsInOrderAndEndsHidden) {
    ProgramRig rig;
    bool checked = false;
    rig.toolkit.script.push_back([&] {
        EXPECT_TRUE(rig.toolkit.windowOpen);
        EXPECT_FALSE(rig.toolkit.windowVisible);
        EXPECT_EQ(rig.toolkit.windowTitle, "Glowtern");
        EXPECT_TRUE(rig.toolkit.trayIconShown);
        EXPECT_EQ(rig.toolkit.trayTooltip, "Glowtern");
        EXPECT_THAT(rig.toolkit.trayMenuTexts(),
                    ElementsAre("Open", "Close", "About", "Sound from", "  Default input",
                                "  What this computer plays", "DMX", "-", "Exit"));
        EXPECT_EQ(rig.toolkit.runningTimers.at(2), 500);
        rig.waitForCycles(2);
        EXPECT_GT(rig.audio.fetches(), 0);
        checked = true;
        rig.toolkit.postEvent({.number = kMenuEvent, .id = kMenuExit});
    });
    EXPECT_EQ(RunProgram(rig.program), 0);
    EXPECT_TRUE(checked);

    // Everything up to the timer happens before the worker exists.
    const std::vector<std::string> steps = rig.logged(
        {"hidInitialise", "loadPortLibrary", "instanceGuard", "openMainWindow", "addTrayIcon",
         "setTrayTooltip", "createTrayMenu", "createControl 0", "createControl 320",
         "IsDriverInstalled", "lockKeyState", "startRecording", "startTimer", "hideMainWindow"});
    ASSERT_GE(steps.size(), 15u);
    EXPECT_THAT(std::vector<std::string>(steps.begin(), steps.begin() + 15),
                ElementsAre("hidInitialise", "loadPortLibrary", "instanceGuard Glowtern",
                            "openMainWindow 0,0", "addTrayIcon 25", "setTrayTooltip Glowtern",
                            "createTrayMenu", "createControl 0", "createControl 320",
                            "IsDriverInstalled", "lockKeyState CapsLock", "lockKeyState NumLock",
                            "lockKeyState ScrollLock", "startRecording", "startTimer 2 500"));
    const std::vector<std::string> entries = rig.log.entries();
    EXPECT_LT(indexOf(entries, "startTimer 2 500"), indexOf(entries, "hideMainWindow"));
}

TEST(Lifecycle, ExitSavesStopsRestoresLedsThenSwitchesOutputsOff) {
    ProgramRig rig;
    rig.hidState.plug(kLightDevice);
    // Caps Lock is on at start-up; in silence the show turns every lock LED off.
    rig.keyboardState.setLocked(LockKey::CapsLock, true);
    rig.toolkit.script.push_back([&] {
        rig.waitForCycles(3);
        EXPECT_FALSE(rig.keyboardState.locked(LockKey::CapsLock));
        rig.toolkit.postEvent({.number = kMenuEvent, .id = kMenuExit});
    });
    EXPECT_EQ(RunProgram(rig.program), 0);

    const std::vector<std::string> entries = rig.log.entries();
    EXPECT_LT(indexOf(entries, "mainWindowPosition"), indexOf(entries, "stopTimer 2"))
        << "settings are saved first";
    expectShutdownTail(entries,
                       {"lockKeyState NumLock", "lockKeyState CapsLock", "pressAndRelease CapsLock",
                        "lockKeyState ScrollLock", "hidWrite 0x00 0x00", "hidWrite 0x00 0x40",
                        "hidWrite 0x00 0x80", "PortOut 0x378 0x00", "PortOut 0x37A 0x0B",
                        "unloadPortLibrary", "removeTrayIcon", "closeMainWindow"});
    EXPECT_TRUE(rig.keyboardState.locked(LockKey::CapsLock));
    EXPECT_TRUE(std::filesystem::exists(rig.settingsPath()));
}

TEST(Lifecycle, CloseButtonStopsSwitchesOffSavesThenRestoresLeds) {
    ProgramRig rig;
    rig.hidState.plug(kLightDevice);
    rig.keyboardState.setLocked(LockKey::NumLock, true);
    rig.toolkit.script.push_back([&] {
        rig.waitForCycles(2);
        rig.toolkit.postEvent({.number = kCloseEvent});
    });
    EXPECT_EQ(RunProgram(rig.program), 0);

    expectShutdownTail(
        rig.log.entries(),
        {"hidWrite 0x00 0x00", "hidWrite 0x00 0x40", "hidWrite 0x00 0x80", "PortOut 0x378 0x00",
         "PortOut 0x37A 0x0B", "mainWindowPosition", "lockKeyState NumLock",
         "pressAndRelease NumLock", "lockKeyState CapsLock", "lockKeyState ScrollLock",
         "closeMainWindow", "unloadPortLibrary", "removeTrayIcon", "closeMainWindow"});
    EXPECT_TRUE(rig.keyboardState.locked(LockKey::NumLock));
    EXPECT_TRUE(std::filesystem::exists(rig.settingsPath()));
}

TEST(Lifecycle, SecondCopyLeavesAtOnceShowingNothing) {
    ProgramRig rig;
    rig.instanceGuard.held = true;
    EXPECT_EQ(RunProgram(rig.program), 0);
    EXPECT_THAT(rig.log.entries(),
                ElementsAre("hidInitialise", "loadPortLibrary", "instanceGuard Glowtern",
                            "unloadPortLibrary", "removeTrayIcon", "closeMainWindow"));
    EXPECT_FALSE(rig.toolkit.trayIconShown);
    EXPECT_TRUE(rig.toolkit.messageBoxes.empty());
    EXPECT_EQ(rig.audio.fetches(), 0);
    EXPECT_FALSE(std::filesystem::exists(rig.settingsPath()));
}

#ifdef _WIN32
// One copy at a time through a named semaphore; a name that cannot be had (another kind of
// object holds it) counts as held, so two copies never run side by side.
TEST(Lifecycle, SemaphoreGuardLetsOnlyOneCopyRun) {
    const std::string name = "Glowtern-test-" + std::to_string(GetCurrentProcessId());
    SemaphoreInstanceGuard first;
    SemaphoreInstanceGuard second;
    EXPECT_FALSE(first.heldElsewhere(name));
    EXPECT_TRUE(second.heldElsewhere(name));
    const std::string taken = name + "-mutex";
    HANDLE mutex = CreateMutexA(nullptr, FALSE, taken.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(SemaphoreInstanceGuard().heldElsewhere(taken));
    CloseHandle(mutex);
}
#else
// One copy at a time, the lock in a place no other user can claim first; a lock
// that cannot be taken counts as held, so two copies never run side by side.
TEST(Lifecycle, FileLockGuardLetsOnlyOneCopyRun) {
    namespace fs = std::filesystem;
    TempDir home;
    const fs::path userRuntimeRoot = home.path() / "run-user";  // stands in for /run/user
    const fs::path userRuntime = userRuntimeRoot / std::to_string(geteuid());
    ScopedEnvironment runtime("XDG_RUNTIME_DIR", nullptr);
    ScopedEnvironment cacheHome("XDG_CACHE_HOME", nullptr);
    ScopedEnvironment homeDir("HOME", home.path().c_str());
    // flock() locks belong to one open of the file: ask from another process, as
    // a second copy of the program would.
    const auto heldInChild = [&] {
        const pid_t child = fork();
        if (child == 0) {
            FileLockInstanceGuard guard(userRuntimeRoot.string());
            _exit(guard.heldElsewhere("Glowtern") ? 0 : 1);
        }
        int status = 0;
        return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    const auto makeDirectory = [](const fs::path& path, fs::perms mode) {
        fs::create_directories(path);
        fs::permissions(path, mode);
    };

    struct Place {
        const char* runtimeDir;
        fs::perms userRuntimeMode;  // none: no such directory
        fs::path lockDirectory;
    };
    const std::string sessionRuntime = home.file("xdg");
    makeDirectory(sessionRuntime, fs::perms::owner_all);
    const Place places[] = {
        {sessionRuntime.c_str(), fs::perms::none, sessionRuntime},
        {nullptr, fs::perms::owner_all, userRuntime},
        {"relative", fs::perms::all, home.path() / ".cache/glowtern"},
    };
    for (const Place& place : places) {
        SCOPED_TRACE(place.lockDirectory);
        fs::remove_all(userRuntimeRoot);
        if (place.userRuntimeMode != fs::perms::none) {
            makeDirectory(userRuntime, place.userRuntimeMode);
        }
        runtime.set(place.runtimeDir);
        {
            FileLockInstanceGuard first(userRuntimeRoot.string());
            EXPECT_FALSE(first.heldElsewhere("Glowtern"));
            EXPECT_TRUE(fs::is_regular_file(place.lockDirectory / "Glowtern.lock"));
            EXPECT_EQ(fs::status(place.lockDirectory).permissions() & fs::perms::all,
                      fs::perms::owner_all);
            EXPECT_TRUE(heldInChild());
        }
        EXPECT_FALSE(heldInChild()) << "the lock goes with its holder";
    }

    // No lock to be had: behave as the second copy.
    fs::remove_all(userRuntimeRoot);
    runtime.set(nullptr);
    const std::string cache = home.file("cache");
    const fs::path lockFile = fs::path(cache) / "glowtern/Glowtern.lock";
    const std::function<void()> blockers[] = {
        [&] { runtime.set("/nonexistent/glowtern"); },
        [&] { fs::create_directories(lockFile); },
        [&] {
            makeDirectory(lockFile.parent_path(), fs::perms::owner_all);
            fs::create_symlink(home.path() / "elsewhere", lockFile);
        },
        [&] {
            makeDirectory(lockFile.parent_path(),
                          fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
        },
        [&] {
            homeDir.set(nullptr);
            cacheHome.set(nullptr);
        },
    };
    for (size_t i = 0; i < std::size(blockers); ++i) {
        SCOPED_TRACE(i);
        cacheHome.set(cache.c_str());
        blockers[i]();
        FileLockInstanceGuard guard(userRuntimeRoot.string());
        EXPECT_TRUE(guard.heldElsewhere("Glowtern"));
        EXPECT_FALSE(fs::exists(home.path() / "elsewhere")) << "a link is never followed";
        runtime.set(nullptr);
        homeDir.set(home.path().c_str());
        fs::remove_all(cache);
    }
}
#endif

TEST(Lifecycle, MissingDriverShowsTheMessageAndStartsNothing) {
    ProgramRig rig;
    rig.portModule.driverInstalled = 0;
    EXPECT_EQ(RunProgram(rig.program), 0);
    ASSERT_EQ(rig.toolkit.messageBoxes.size(), 1u);
    EXPECT_EQ(rig.toolkit.messageBoxes[0].text, "Ошибка драйвера!");
    EXPECT_EQ(rig.toolkit.messageBoxes[0].caption, "");
    EXPECT_EQ(rig.toolkit.messageBoxes[0].icon, MessageIcon::Error);
    EXPECT_TRUE(rig.logged({"startRecording", "startTimer", "PortOut"}).empty());
    EXPECT_EQ(rig.audio.fetches(), 0);
    EXPECT_FALSE(std::filesystem::exists(rig.settingsPath()));
    EXPECT_FALSE(rig.toolkit.trayIconShown);
    EXPECT_FALSE(rig.portModule.loaded());
}

// The sound server dies mid-show and takes the worker with it into its library: a click
// on a mode button still returns, and a termination request still ends the program,
// switching every output off from the main thread and saving the settings.
TEST(Lifecycle, TerminationEndsTheShowEvenWithTheWorkerStuckInTheSoundLibrary) {
    ProgramRig rig;
    rig.hidState.plug(kLightDevice);
#ifndef _WIN32
    const int terminationFd = InstallTerminationPipe();
    ASSERT_GE(terminationFd, 0);
    rig.program.platform.terminationFd = terminationFd;
#endif
    rig.toolkit.script.push_back([&] {
        rig.waitForCycles(1);
        rig.audio.jamFetches(true);
        while (!rig.audio.fetchStuck()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        rig.toolkit.clickControl(kAutoButton);
    });
    rig.toolkit.script.push_back([&] {
        EXPECT_EQ(rig.program.engine.effectMode.load(), kAutoMode);
#ifdef _WIN32
        rig.toolkit.postEvent({.number = kTerminationEvent});  // as the Win32 toolkit raises it
#else
        raise(SIGTERM);
#endif
    });
    EXPECT_EQ(RunProgram(rig.program), 0);
    EXPECT_TRUE(rig.program.workerLeftBehind);

    const std::vector<std::string> writes = rig.logged({"hidWrite", "PortOut"});
    ASSERT_GE(writes.size(), 5u);
    EXPECT_THAT(std::vector<std::string>(writes.end() - 5, writes.end()),
                ElementsAre("hidWrite 0x00 0x00", "hidWrite 0x00 0x40", "hidWrite 0x00 0x80",
                            "PortOut 0x378 0x00", "PortOut 0x37A 0x0B"));
    const std::vector<std::string> entries = rig.log.entries();
    EXPECT_LT(indexOf(entries, "mainWindowPosition"), indexOf(entries, "stopTimer 2"));
    EXPECT_EQ(entries.back(), "closeMainWindow");
    const std::string text = readFile(rig.settingsPath());
    EXPECT_NE(text.find("Effect = 2\r\n"), std::string::npos) << text;

    // The library lets go at last: nothing the worker does now reaches a lamp.
    const size_t written = rig.logged({"hidWrite", "PortOut"}).size();
    rig.audio.jamFetches(false);
    JoinSpectrumWorker(rig.program.worker);
    EXPECT_EQ(rig.logged({"hidWrite", "PortOut"}).size(), written);
}

// When an end hangs (a library, a server), its deadline switches the lamps off and ends
// the process; an end that finished in time only ends the process.
TEST(Lifecycle, EndDeadlineSwitchesOffWhatTheEndDidNot) {
    static std::atomic<int> endedWith{-1};
    const auto endProcess = [](int status) { endedWith.store(status); };
    std::atomic<int> lampsOff{0};
    {
        EndWatchdog hung;
        hung.arm(
            std::chrono::milliseconds(20), [&] { ++lampsOff; }, endProcess);
        while (!hung.expired()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(lampsOff.load(), 1);
    EXPECT_EQ(endedWith.exchange(-1), 0);
    {
        EndWatchdog finished;
        finished.arm(
            std::chrono::milliseconds(20), [&] { ++lampsOff; }, endProcess);
        finished.dropLampsOff();
        while (!finished.expired()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(lampsOff.load(), 1);
    EXPECT_EQ(endedWith.load(), 0);
}

TEST(Lifecycle, TrayAndWindowActions) {
    ProgramRig rig;
    HeadlessToolkit& toolkit = rig.toolkit;
    auto& script = toolkit.script;
    script.push_back([&] { toolkit.postEvent({.number = kTrayEvent, .id = 25, .type = 0}); });
    script.push_back([&] {
        EXPECT_TRUE(toolkit.windowVisible);
        EXPECT_TRUE(toolkit.windowActive);
        toolkit.minimiseByUser();
    });
    script.push_back([&] {
        EXPECT_FALSE(toolkit.windowVisible) << "minimising hides to the tray";
        toolkit.postEvent({.number = kTrayEvent, .id = 25, .type = 2});  // double click
    });
    script.push_back([&] {
        EXPECT_FALSE(toolkit.windowVisible);
        toolkit.postEvent({.number = kTrayEvent, .id = 25, .type = 0});
    });
    script.push_back([&] {
        EXPECT_TRUE(toolkit.windowVisible);
        EXPECT_FALSE(toolkit.windowMinimised) << "a left press restores a minimised window";
        toolkit.postEvent({.number = kMenuEvent, .id = kMenuClose});
    });
    script.push_back([&] {
        EXPECT_FALSE(toolkit.windowVisible);
        toolkit.postEvent({.number = kMenuEvent, .id = kMenuClose});  // already hidden
    });
    script.push_back([&] {
        EXPECT_FALSE(toolkit.windowVisible);
        toolkit.setTrayChoice(kMenuAbout);
        toolkit.postEvent({.number = kTrayEvent, .id = 25, .type = 1});
    });
    script.push_back([&] {
        ASSERT_EQ(toolkit.messageBoxes.size(), 1u);
        EXPECT_EQ(toolkit.messageBoxes[0].caption, "");
        EXPECT_EQ(toolkit.messageBoxes[0].icon, MessageIcon::Information);
        EXPECT_FALSE(toolkit.messageBoxes[0].text.empty());
        toolkit.postEvent({.number = kMenuEvent, .id = kMenuOpen});
    });
    script.push_back([&] {
        EXPECT_TRUE(toolkit.windowVisible);
        toolkit.postEvent({.number = kMenuEvent, .id = 99});  // no such item: ignored
    });
    script.push_back([&] {
        EXPECT_TRUE(toolkit.windowOpen);
        toolkit.setTrayChoice(kMenuExit);
        toolkit.postEvent({.number = kTrayEvent, .id = 25, .type = 1});
    });
    EXPECT_EQ(RunProgram(rig.program), 0);
    EXPECT_TRUE(script.empty());
    EXPECT_FALSE(toolkit.windowOpen);
}

// DMX ticked in the tray menu: the entry says how the daemon is reached, the universe goes
// out, and the end sends it once more with every channel at 0, after the other lamps. A
// program without DMX and without a choice of sources (Windows) has entries for neither.
TEST(Lifecycle, DmxFromTheTrayMenuShowsItsStateAndEndsDark) {
    std::vector<std::string> asOnWindows;
    for (const MenuItem& item : TrayMenu(ProgramRig(true).program)) {
        asOnWindows.push_back(item.text);
    }
    EXPECT_EQ(asOnWindows, (std::vector<std::string>{"Open", "Close", "About", "", "Exit"}));
    ProgramRig rig;
    rig.dmx.answers = false;
    const auto dmxEntry = [&rig] {
        const std::vector<MenuItem> menu = TrayMenu(rig.program);
        return std::pair{menu[4].text, menu[4].checkable && menu[4].checked};
    };
    rig.toolkit.script.push_back([&] {
        EXPECT_EQ(dmxEntry(), (std::pair{std::string("DMX"), false}));
        rig.toolkit.postEvent({.number = kMenuEvent, .id = kMenuDmx});
    });
    rig.toolkit.script.push_back([&] {
        EXPECT_TRUE(rig.dmx.waitFor([](FakeDmxLink& link) { return link.connects > 0; }));
        EXPECT_TRUE(testing::Eventually([&] {
            return dmxEntry() == std::pair{std::string("DMX (olad not running)"), true};
        }));
        rig.dmx.set(&FakeDmxLink::answers, true);
        EXPECT_TRUE(rig.dmx.waitFor([](FakeDmxLink& link) { return !link.sent.empty(); }));
        EXPECT_EQ(dmxEntry(), (std::pair{std::string("DMX (connected)"), true}));
        rig.toolkit.postEvent({.number = kMenuEvent, .id = kMenuExit});
    });
    EXPECT_EQ(RunProgram(rig.program), 0);
    EXPECT_EQ(rig.dmx.sent.back().second, DmxChannelValues{});
    EXPECT_EQ(rig.dmx.closes, 1);
}

TEST(Lifecycle, WithoutATrayTheWindowIsShownAndMinimiseKeepsIt) {
    ProgramRig rig;
    rig.toolkit.trayHost = false;
    rig.toolkit.script.push_back([&] {
        EXPECT_TRUE(rig.toolkit.windowVisible);
        EXPECT_TRUE(rig.toolkit.windowActive);
        rig.toolkit.minimiseByUser();
    });
    rig.toolkit.script.push_back([&] {
        EXPECT_TRUE(rig.toolkit.windowVisible) << "no tray to come back from: stays minimised";
        EXPECT_TRUE(rig.toolkit.windowMinimised);
        rig.toolkit.postEvent({.number = kCloseEvent});
    });
    EXPECT_EQ(RunProgram(rig.program), 0);
}

TEST(Lifecycle, UsbPollFollowsTheDeviceOnTimerTicks) {
    ProgramRig rig;
    ControlModel& controls = rig.toolkit.controls();
    rig.toolkit.script.push_back([&] {
        EXPECT_EQ(controls.text(kDeviceStatusLabel), "Device OFF");
        rig.hidState.plug(kLightDevice);
        rig.toolkit.tick(2);
    });
    rig.toolkit.script.push_back([&] {
        EXPECT_EQ(controls.text(kDeviceStatusLabel), "Device ON");
        rig.hidState.unplug(kLightDevice.path);
        rig.toolkit.tick(2);
    });
    rig.toolkit.script.push_back([&] {
        EXPECT_EQ(controls.text(kDeviceStatusLabel), "Device OFF");
        rig.toolkit.postEvent({.number = kCloseEvent});
    });
    EXPECT_EQ(RunProgram(rig.program), 0);
    EXPECT_EQ(rig.hidState.badWrites(), 0);
}

}  // namespace
}  // namespace glowtern::testing
